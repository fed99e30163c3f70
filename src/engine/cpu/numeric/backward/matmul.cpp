#include "engine/cpu/numeric/backward/matmul.hpp"

#include <utility>

#include "engine/cpu/numeric/ops/matmul.hpp"

namespace mirel {
namespace {

// The last two axes exchanged, as a view: the product reads it through its strides,
// so no transposed copy is ever made. A rank below 2 is left alone for the product
// to report.
template <class T>
View<T> swap_last_two(const NdArray<T>& a) {
  View<T> v = view_of(a);
  const std::size_t r = v.shape.size();
  if (r >= 2) {
    std::swap(v.shape[r - 2], v.shape[r - 1]);
    std::swap(v.strides[r - 2], v.strides[r - 1]);
  }
  return v;
}

// a·b, or only its checks when the gradient is not wanted.
template <class T>
Expected<NdArray<T>> product(bool wanted, const View<T>& a, const View<T>& b) {
  if (!wanted) {
    if (auto c = matmul_check(a, b); !c) return std::unexpected(std::move(c.error()));
    return NdArray<T>{};
  }
  return matmul(a, b);
}

}  // namespace

template <class T>
Expected<std::pair<NdArray<T>, NdArray<T>>> backward_matmul(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                             const NdArray<T>& rhs, GradWanted want) {
  auto grad_lhs = product(want.lhs, view_of(grad), swap_last_two(rhs));
  if (!grad_lhs) return std::unexpected(std::move(grad_lhs.error()));
  auto grad_rhs = product(want.rhs, swap_last_two(lhs), view_of(grad));
  if (!grad_rhs) return std::unexpected(std::move(grad_rhs.error()));
  return std::pair{std::move(*grad_lhs), std::move(*grad_rhs)};
}

template Expected<std::pair<NdArray<float>, NdArray<float>>> backward_matmul(const NdArray<float>&,
                                                                             const NdArray<float>&,
                                                                             const NdArray<float>&, GradWanted);
template Expected<std::pair<NdArray<F16>, NdArray<F16>>> backward_matmul(const NdArray<F16>&, const NdArray<F16>&,
                                                                         const NdArray<F16>&, GradWanted);
template Expected<std::pair<NdArray<BF16>, NdArray<BF16>>> backward_matmul(const NdArray<BF16>&,
                                                                           const NdArray<BF16>&,
                                                                           const NdArray<BF16>&, GradWanted);

}  // namespace mirel
