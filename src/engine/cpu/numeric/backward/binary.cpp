#include "engine/cpu/numeric/backward/binary.hpp"

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/format.hpp"

namespace mirel {

namespace {

// grad × other, or only its checks when the gradient is not wanted.
template <class T>
Expected<NdArray<T>> product_or_check(bool wanted, const NdArray<T>& grad, const NdArray<T>& other) {
  if (wanted) return binary(BinaryOp::Mul, grad, other);
  if (auto c = binary_check(grad, other); !c) return std::unexpected(std::move(c.error()));
  return NdArray<T>{};
}

}  // namespace

template <class T>
Expected<ArrayPair<T>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
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
  if constexpr (std::is_same_v<T, float>) return g / b;
  else return TensorOps<T>::kernel_div(g, b);
}

template <class T>
inline T div_grad_rhs(T g, T a, T b) noexcept {
  if constexpr (std::is_same_v<T, float>) {
    return -(g * a) / (b * b);
  } else {
    using Ops = TensorOps<T>;
    const T neg_g{std::uint16_t(g.bits ^ 0x8000u)};
    return Ops::kernel_div(Ops::kernel_mul(neg_g, a), Ops::kernel_mul(b, b));
  }
}

// Row-major walk over shape, the last axis fastest, writing only the wanted gradients.
template <bool WantL, bool WantR, class T>
void div_walk(const Shape& shape, const View<T>& vg, const View<T>& va, const View<T>& vb, T* gl, T* gr) {
  const std::size_t n = numel(shape), rank = shape.size();
  SmallVec<std::size_t> idx(rank, 0);
  std::ptrdiff_t og = 0, oa = 0, ob = 0;
  for (std::size_t k = 0; k < n; ++k) {
    if constexpr (WantL) gl[k] = div_grad_lhs(vg.data[og], vb.data[ob]);
    if constexpr (WantR) gr[k] = div_grad_rhs(vg.data[og], va.data[oa], vb.data[ob]);
    for (std::size_t d = rank; d-- > 0;) {
      og += vg.strides[d], oa += va.strides[d], ob += vb.strides[d];
      if (++idx[d] < shape[d]) break;
      const auto len = std::ptrdiff_t(shape[d]);
      og -= vg.strides[d] * len, oa -= va.strides[d] * len, ob -= vb.strides[d] * len;
      idx[d] = 0;
    }
  }
}

}  // namespace

template <class T>
Expected<ArrayPair<T>> div_backward(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
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
  if (want.lhs && want.rhs) div_walk<true, true>(*shape, *vg, *va, *vb, gl.data(), gr.data());
  else if (want.lhs) div_walk<true, false>(*shape, *vg, *va, *vb, gl.data(), gr.data());
  else if (want.rhs) div_walk<false, true>(*shape, *vg, *va, *vb, gl.data(), gr.data());
  return ArrayPair<T>{std::move(gl), std::move(gr)};
}

#define MIREL_INSTANTIATE(T)                                                                              \
  template Expected<ArrayPair<T>> mul_backward(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, GradWanted); \
  template Expected<ArrayPair<T>> div_backward(const NdArray<T>&, const NdArray<T>&, const NdArray<T>&, GradWanted);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
