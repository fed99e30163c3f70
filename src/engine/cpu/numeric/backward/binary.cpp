#include "engine/cpu/numeric/backward/binary.hpp"

#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/format.hpp"

namespace mirel {

template <class T>
Expected<ArrayPair<T>> mul_backward(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs) {
  auto gl = binary(BinaryOp::Mul, grad, rhs);
  if (!gl) return std::unexpected(std::move(gl.error()));
  auto gr = binary(BinaryOp::Mul, grad, lhs);
  if (!gr) return std::unexpected(std::move(gr.error()));
  return ArrayPair<T>{std::move(*gl), std::move(*gr)};
}

namespace {

// d(a/b)/da = g/b and d(a/b)/db = -(g·a)/(b·b), each operation rounded to T.
template <class T>
inline void div_grads(T g, T a, T b, T& gl, T& gr) noexcept {
  if constexpr (std::is_same_v<T, float>) {
    gl = g / b;
    gr = -(g * a) / (b * b);
  } else {
    using Ops = TensorOps<T>;
    gl = Ops::kernel_div(g, b);
    const T neg_g{std::uint16_t(g.bits ^ 0x8000u)};
    gr = Ops::kernel_div(Ops::kernel_mul(neg_g, a), Ops::kernel_mul(b, b));
  }
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
  const std::size_t n = gl.size(), rank = shape->size();
  SmallVec<std::size_t> idx(rank, 0);
  std::ptrdiff_t og = 0, oa = 0, ob = 0;
  for (std::size_t k = 0; k < n; ++k) {  // row-major walk, the last axis fastest
    div_grads(vg->data[og], va->data[oa], vb->data[ob], gl.data()[k], gr.data()[k]);
    for (std::size_t d = rank; d-- > 0;) {
      og += vg->strides[d], oa += va->strides[d], ob += vb->strides[d];
      if (++idx[d] < (*shape)[d]) break;
      const auto len = std::ptrdiff_t((*shape)[d]);
      og -= vg->strides[d] * len, oa -= va->strides[d] * len, ob -= vb->strides[d] * len;
      idx[d] = 0;
    }
  }
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
