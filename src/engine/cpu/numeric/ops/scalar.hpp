#pragma once
// Tensor-with-number operations. The number is rounded to the element type
// first, then every element is combined with it; the result keeps the
// operand's memory order.
#include "engine/cpu/numeric/core.hpp"

namespace mirel {

template <class T>
NdArray<T> scalar_binary(BinaryOp op, const NdArray<T>& a, float x);

template <class T>
NdArray<bool> scalar_compare(CompareOp op, const NdArray<T>& a, float x);

}  // namespace mirel
