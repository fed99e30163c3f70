#pragma once
// Tensor-with-number operations. The number is rounded to the element type
// first, then every element is combined with it; the result keeps the
// operand's memory order. Op is a functor of numeric/core.hpp.
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/numeric/core.hpp"

namespace mirel {

template <class R, class T>
NdArray<R> with_scalar(const NdArray<T>& a, float x, BinaryLoop<R, T> loop) {
  const T number = narrow<T>(x);
  NdArray<R> out = NdArray<R>::uninit_like_layout(a.shape(), a.strides());
  loop(out.size(), out.data(), 1, a.data(), 1, &number, 0);  // dense: one pass over the buffer
  return out;
}

// Every element divided by d in f32 and rounded once: d is not rounded to the
// element type first (a mean's count need not be a half value).
template <class T>
NdArray<T> divide_in_f32(const NdArray<T>& a, float d) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(a.shape(), a.strides());
  const T* x = a.data();
  T* o = out.data();
  for (std::size_t i = 0, n = a.size(); i < n; ++i) o[i] = narrow<T>(widen(x[i]) / d);
  return out;
}

template <class Op, class T>
NdArray<T> scalar_binary(const NdArray<T>& a, float x) {
  return with_scalar<T>(a, x, BinaryLoops<Widened<Op>, T, T>::best);
}

template <class Op, class T>
NdArray<bool> scalar_compare(const NdArray<T>& a, float x) {
  return with_scalar<bool>(a, x, BinaryLoops<Widened<Op>, bool, T>::best);
}

}  // namespace mirel
