#pragma once
// One-operand math on whole arrays. Op is a functor of math.hpp. The result
// keeps a's shape and strides: every array is dense, so the pass is one loop
// over the buffer, run by the best variant this CPU has.
#include "engine/cpu/array/ndarray.hpp"

namespace mirel {

template <class Op, class T>
NdArray<T> unary(const NdArray<T>& a);

}  // namespace mirel
