#include "engine/cpu/numeric/ops/binary.hpp"

#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace mirel {

template <class T>
Expected<NdArray<T>> binary(BinaryOp op, const NdArray<T>& a, const NdArray<T>& b) {
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return with_binary_fn(op, [&](auto fn) { return zip_collect<T, T>(views->first, views->second, fn); });
}

template <class T>
Expected<NdArray<bool>> compare(CompareOp op, const NdArray<T>& a, const NdArray<T>& b) {
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return with_compare_fn(op, [&](auto fn) { return zip_collect<bool, T>(views->first, views->second, fn); });
}

template Expected<NdArray<float>> binary(BinaryOp, const NdArray<float>&, const NdArray<float>&);
template Expected<NdArray<F16>> binary(BinaryOp, const NdArray<F16>&, const NdArray<F16>&);
template Expected<NdArray<BF16>> binary(BinaryOp, const NdArray<BF16>&, const NdArray<BF16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<float>&, const NdArray<float>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<F16>&, const NdArray<F16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<BF16>&, const NdArray<BF16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<bool>&, const NdArray<bool>&);

}  // namespace mirel
