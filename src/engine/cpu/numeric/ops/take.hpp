#pragma once
// take: the rows (along one axis) that integer indices name, NumPy's
// np.take(a, indices, axis); the result has shape a[:axis] + indices + a[axis+1:].
// Indices are checked by the caller (in range, negatives already wrapped).
// Its gradient adds each incoming row into the row it was taken from, in
// index order, so repeated indices accumulate (an embedding's gradient).
#include <algorithm>
#include <cstdint>

#include "engine/cpu/iter/walk.hpp"

namespace mirel {

namespace detail {

// Calls row(at, o, r, k) for every outer position o and index i of a row-major
// array of shape a_shape: `at` is where the taken row starts in the result, r
// the index of the row taken along the axis, k the row's length.
template <class Row>
void take_rows(const Shape& a_shape, std::size_t axis, const NdArray<std::int64_t>& idx, Row row) {
  std::size_t outer = 1, inner = 1;
  for (std::size_t d = 0; d < axis; ++d) outer *= a_shape[d];
  for (std::size_t d = axis + 1; d < a_shape.size(); ++d) inner *= a_shape[d];
  const std::size_t n = idx.size();
  for (std::size_t o = 0; o < outer; ++o) {
    for (std::size_t i = 0; i < n; ++i) row(std::ptrdiff_t((o * n + i) * inner), o, std::size_t(idx.data()[i]), inner);
  }
}

}  // namespace detail

// a is read as row-major (the caller passes a row-major array).
template <class T>
NdArray<T> take(const NdArray<T>& a, std::size_t axis, const NdArray<std::int64_t>& idx) {
  Shape shape;
  for (std::size_t d = 0; d < axis; ++d) shape.push_back(a.shape()[d]);
  for (std::size_t d : idx.shape()) shape.push_back(d);
  for (std::size_t d = axis + 1; d < a.ndim(); ++d) shape.push_back(a.shape()[d]);
  NdArray<T> out = NdArray<T>::uninit(shape);
  if (out.size() == 0) return out;
  const std::size_t len = a.shape()[axis];
  detail::take_rows(a.shape(), axis, idx, [&](std::ptrdiff_t at, std::size_t o, std::size_t r, std::size_t k) {
    const T* src = a.data() + std::ptrdiff_t((o * len + r) * k);
    std::copy(src, src + k, out.data() + at);
  });
  return out;
}

// grad has take's result shape (row-major); the result has `shape`, zeros
// where nothing was taken. Sums are f32 for half types, rounded once at the end.
template <class T>
NdArray<T> backward_take(const NdArray<T>& grad, const Shape& shape, std::size_t axis, const NdArray<std::int64_t>& idx) {
  NdArray<float> acc = NdArray<float>::filled(shape, 0.0f);
  const std::size_t len = shape[axis];
  detail::take_rows(shape, axis, idx, [&](std::ptrdiff_t at, std::size_t o, std::size_t r, std::size_t k) {
    float* dst = acc.data() + std::ptrdiff_t((o * len + r) * k);
    const T* g = grad.data() + at;
    for (std::size_t j = 0; j < k; ++j) dst[j] += widen(g[j]);
  });
  NdArray<T> out = NdArray<T>::uninit(shape);
  for (std::size_t i = 0; i < out.size(); ++i) out.data()[i] = narrow<T>(acc.data()[i]);
  return out;
}

}  // namespace mirel
