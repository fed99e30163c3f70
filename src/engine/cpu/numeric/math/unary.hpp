#pragma once
// One-operand math on whole arrays. Op is a functor of math.hpp. The result
// keeps a's shape and strides: every array is dense, so the pass is one loop
// over the buffer, run by the best variant this CPU has.
#include "engine/cpu/array/ndarray.hpp"

namespace mirel {

template <class Op, class T>
NdArray<T> unary(const NdArray<T>& a);

// gelu of a (unary<Gelu>'s bits) with its slope in f32, both at a's layout:
// what a recorded gelu keeps for its gradient instead of a.
template <class T>
struct GeluKept {
  NdArray<T> y;
  NdArray<float> slope;
};
template <class T>
GeluKept<T> gelu_keeping_slope(const NdArray<T>& a);

// grad times the kept slope, rounded once: the gelu gradient rule's bits.
template <class T>
NdArray<T> gelu_gradient(const NdArray<T>& grad, const NdArray<float>& slope);

}  // namespace mirel
