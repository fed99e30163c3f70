#include "engine/cpu/numeric/backward/binary.hpp"

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/walk.hpp"
#include "util/format.hpp"

namespace mirel {

template <class T>
Expected<ArrayPair<T>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs) {
  auto gl = binary<Mul>(grad, rhs);
  if (!gl) return std::unexpected(std::move(gl.error()));
  auto gr = binary<Mul>(grad, lhs);
  if (!gr) return std::unexpected(std::move(gr.error()));
  return ArrayPair<T>{std::move(*gl), std::move(*gr)};
}

namespace {

// d(a/b)/da = g/b and d(a/b)/db = -(g·a)/(b·b), each operation rounded to T.
template <class T>
inline void div_grads(T g, T a, T b, T& gl, T& gr) noexcept {
  using W = Widened<Div>;
  using M = Widened<Mul>;
  gl = W{}(g, b);
  if constexpr (std::is_same_v<T, float>) gr = W{}(-M{}(g, a), M{}(b, b));
  else gr = W{}(M{}(T{std::uint16_t(g.bits ^ 0x8000u)}, a), M{}(b, b));
}

}  // namespace

template <class T>
Expected<ArrayPair<T>> div_backward(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs) {
  auto ga = broadcast_tensors(grad, lhs);
  if (!ga) return std::unexpected(std::move(ga.error()));
  auto shape = broadcast_shapes(ga->first.shape, rhs.shape());
  if (!shape) return std::unexpected(std::move(shape.error()));
  auto vg = broadcast_view(grad, *shape);
  auto va = broadcast_view(lhs, *shape);
  auto vb = broadcast_view(rhs, *shape);
  if (!vg || !va) return std::unexpected(broadcast_failed('A', lhs.shape(), *shape));
  if (!vb) return std::unexpected(concat("Broadcast failed for RHS: ", shape_str(rhs.shape()), " -> ", shape_str(*shape)));

  NdArray<T> gl = NdArray<T>::uninit(*shape), gr = NdArray<T>::uninit(*shape);
  // Both results are row-major, so they share strides.
  Plan<4> p{*shape, {gl.strides(), vg->strides, va->strides, vb->strides}};
  coalesce(p);
  T *ol = gl.data(), *orr = gr.data();
  walk(p, [&](std::size_t n, const Offsets<4>& off, const Offsets<4>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      const std::ptrdiff_t o = off[0] + i * step[0];
      div_grads(vg->data[off[1] + i * step[1]], va->data[off[2] + i * step[2]], vb->data[off[3] + i * step[3]], ol[o],
                orr[o]);
    }
  });
  return ArrayPair<T>{std::move(gl), std::move(gr)};
}

#define MIREL_INSTANTIATE(T)                                                                              \
  template Expected<ArrayPair<T>> mul_backward(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&); \
  template Expected<ArrayPair<T>> div_backward(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
