#include "engine/cpu/numeric/backward/binary.hpp"

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "util/format.hpp"

namespace mirel {

namespace {

// grad × other, or only its checks when the gradient is not wanted.
template <class T>
Expected<NdArray<T>> product_or_check(bool wanted, const NdArray<T>& grad, const NdArray<T>& other) {
  if (wanted) return binary<Mul>(grad, other);
  if (auto c = binary_check(grad, other); !c) return std::unexpected(std::move(c.error()));
  return NdArray<T>{};
}

}  // namespace

template <class T>
Expected<ArrayPair<T>> backward_mul(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                    GradWanted want) {
  auto gl = product_or_check(want.lhs, grad, rhs);
  if (!gl) return std::unexpected(std::move(gl.error()));
  auto gr = product_or_check(want.rhs, grad, lhs);
  if (!gr) return std::unexpected(std::move(gr.error()));
  return ArrayPair<T>{std::move(*gl), std::move(*gr)};
}

namespace {

// d(a/b)/da = g/b and d(a/b)/db = -(g·a)/(b·b), each operation rounded to T.
template <class T>
inline T div_grad_lhs(T g, T b) noexcept {
  return Widened<Div>{}(g, b);
}

template <class T>
inline T div_grad_rhs(T g, T a, T b) noexcept {
  using W = Widened<Div>;
  using M = Widened<Mul>;
  if constexpr (std::is_same_v<T, float>) return W{}(-M{}(g, a), M{}(b, b));
  else return W{}(M{}(T{std::uint16_t(g.bits ^ 0x8000u)}, a), M{}(b, b));
}

// One planned walk writing only the wanted gradients (both row-major at the
// broadcast shape, so they share strides).
template <bool WantL, bool WantR, class T>
void div_walk(Plan<4>& p, const View<T>& vg, const View<T>& va, const View<T>& vb, T* ol, T* orr) {
  coalesce(p);
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<4>& off, const Offsets<4>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      const std::ptrdiff_t o = off[0] + i * step[0];
      const T g = vg.data[off[1] + i * step[1]], b = vb.data[off[3] + i * step[3]];
      if constexpr (WantL) ol[o] = div_grad_lhs(g, b);
      if constexpr (WantR) orr[o] = div_grad_rhs(g, va.data[off[2] + i * step[2]], b);
    }
  });
}

}  // namespace

template <class T>
Expected<ArrayPair<T>> backward_div(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                    GradWanted want) {
  auto ga = broadcast_tensors(grad, lhs);
  if (!ga) return std::unexpected(std::move(ga.error()));
  auto shape = broadcast_shapes(ga->first.shape, rhs.shape());
  if (!shape) return std::unexpected(std::move(shape.error()));
  auto vg = broadcast_view(grad, *shape);
  auto va = broadcast_view(lhs, *shape);
  auto vb = broadcast_view(rhs, *shape);
  if (!vg || !va) return std::unexpected(broadcast_failed('A', lhs.shape(), *shape));
  if (!vb) return std::unexpected(concat("Broadcast failed for RHS: ", shape_str(rhs.shape()), " -> ", shape_str(*shape)));

  // Both gradients have the shape S, so one size check stands for both buffers.
  NdArray<T>::checked_size(*shape);
  NdArray<T> gl = want.lhs ? NdArray<T>::uninit(*shape) : NdArray<T>{};
  NdArray<T> gr = want.rhs ? NdArray<T>::uninit(*shape) : NdArray<T>{};
  if (!want.lhs && !want.rhs) return ArrayPair<T>{std::move(gl), std::move(gr)};
  Plan<4> p{*shape, {(want.lhs ? gl : gr).strides(), vg->strides, va->strides, vb->strides}};
  if (want.lhs && want.rhs) div_walk<true, true>(p, *vg, *va, *vb, gl.data(), gr.data());
  else if (want.lhs) div_walk<true, false>(p, *vg, *va, *vb, gl.data(), gr.data());
  else div_walk<false, true>(p, *vg, *va, *vb, gl.data(), gr.data());
  return ArrayPair<T>{std::move(gl), std::move(gr)};
}

#define MIREL_INSTANTIATE(T)                                                                                          \
  template Expected<ArrayPair<T>> backward_mul(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, GradWanted); \
  template Expected<ArrayPair<T>> backward_div(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, GradWanted);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
