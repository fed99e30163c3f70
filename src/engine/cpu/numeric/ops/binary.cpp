#include "engine/cpu/numeric/ops/binary.hpp"

#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace mirel {

namespace {

// Same shape, both row-major: the result is row-major and the pass one flat
// loop, with no broadcasting or planning at all (the common case, and the one
// where per-call cost shows on small tensors).
template <class T>
bool same_standard_layout(const NdArray<T>& a, const NdArray<T>& b) noexcept {
  return a.shape() == b.shape() && a.is_standard_layout() && b.is_standard_layout();
}

template <class R, class T, class F>
NdArray<R> flat_collect(const NdArray<T>& a, const NdArray<T>& b, F fn) {
  NdArray<R> out = NdArray<R>::uninit(a.shape());
  detail::binary_run<R, T, false>(out.size(), out.data(), 1, a.data(), 1, b.data(), 1, fn);
  return out;
}

}  // namespace

template <class T>
Expected<NdArray<T>> binary(BinaryOp op, const NdArray<T>& a, const NdArray<T>& b) {
  if (same_standard_layout(a, b)) {
    return with_binary_fn(op, [&](auto fn) { return flat_collect<T>(a, b, fn); });
  }
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return with_binary_fn(op, [&](auto fn) { return zip_collect<T, T>(views->first, views->second, fn); });
}

template <class T>
Expected<void> binary_check(const NdArray<T>& a, const NdArray<T>& b) {
  if (same_standard_layout(a, b)) return {};
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  NdArray<T>::checked_size(views->first.shape);
  return {};
}

template <class T>
Expected<NdArray<bool>> compare(CompareOp op, const NdArray<T>& a, const NdArray<T>& b) {
  if (same_standard_layout(a, b)) {
    return with_compare_fn(op, [&](auto fn) { return flat_collect<bool>(a, b, fn); });
  }
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return with_compare_fn(op, [&](auto fn) { return zip_collect<bool, T>(views->first, views->second, fn); });
}

template Expected<NdArray<float>> binary(BinaryOp, const NdArray<float>&, const NdArray<float>&);
template Expected<NdArray<F16>> binary(BinaryOp, const NdArray<F16>&, const NdArray<F16>&);
template Expected<NdArray<BF16>> binary(BinaryOp, const NdArray<BF16>&, const NdArray<BF16>&);
template Expected<void> binary_check(const NdArray<float>&, const NdArray<float>&);
template Expected<void> binary_check(const NdArray<F16>&, const NdArray<F16>&);
template Expected<void> binary_check(const NdArray<BF16>&, const NdArray<BF16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<float>&, const NdArray<float>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<F16>&, const NdArray<F16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<BF16>&, const NdArray<BF16>&);
template Expected<NdArray<bool>> compare(CompareOp, const NdArray<bool>&, const NdArray<bool>&);

}  // namespace mirel
