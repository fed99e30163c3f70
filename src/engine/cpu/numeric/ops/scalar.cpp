#include "engine/cpu/numeric/ops/scalar.hpp"

namespace mirel {

template <class T>
NdArray<T> scalar_binary(BinaryOp op, const NdArray<T>& a, float x) {
  const float xs = widen(narrow<T>(x));
  return with_binary_fn(op, [&](auto fn) { return map<T>(a, [=](float e) { return fn(e, xs); }); });
}

template <class T>
NdArray<bool> scalar_compare(CompareOp op, const NdArray<T>& a, float x) {
  const float xs = widen(narrow<T>(x));
  return with_compare_fn(op, [&](auto fn) { return map<bool>(a, [=](float e) { return fn(e, xs); }); });
}

template NdArray<float> scalar_binary(BinaryOp, const NdArray<float>&, float);
template NdArray<F16> scalar_binary(BinaryOp, const NdArray<F16>&, float);
template NdArray<BF16> scalar_binary(BinaryOp, const NdArray<BF16>&, float);
template NdArray<bool> scalar_compare(CompareOp, const NdArray<float>&, float);
template NdArray<bool> scalar_compare(CompareOp, const NdArray<F16>&, float);
template NdArray<bool> scalar_compare(CompareOp, const NdArray<BF16>&, float);

}  // namespace mirel
