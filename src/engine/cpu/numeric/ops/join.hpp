#pragma once
// Joining arrays along an axis and cutting them apart again: concatenate
// writes each part into its slab of a row-major result; slice copies one slab
// out (the gradient of concatenate). Shapes are checked by the caller: every
// part has the result's shape but along the axis.
#include <vector>

#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace mirel {

template <class T>
NdArray<T> concatenate(const std::vector<const NdArray<T>*>& parts, std::size_t axis) {
  Shape shape = parts.front()->shape();
  shape[axis] = 0;
  for (const auto* p : parts) shape[axis] += p->shape()[axis];
  NdArray<T> out = NdArray<T>::uninit(shape);
  if (out.size() == 0) return out;
  std::ptrdiff_t start = 0;
  for (const auto* p : parts) {
    // The slab of the result this part fills: the result's strides, from its first element.
    Plan<2> plan{p->shape(), {out.strides(), p->strides()}};
    coalesce(plan);
    T* o = out.data() + start * out.strides()[axis];
    const T* src = p->data();
    parallel_walk(plan, kElementGrain, [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) {
      for (std::size_t j = 0; j < n; ++j) o[off[0] + std::ptrdiff_t(j) * step[0]] = src[off[1] + std::ptrdiff_t(j) * step[1]];
    });
    start += std::ptrdiff_t(p->shape()[axis]);
  }
  return out;
}

// Elements [start, start + length) along the axis, as a row-major array.
template <class T>
NdArray<T> slice(const NdArray<T>& a, std::size_t axis, std::size_t start, std::size_t length) {
  Shape shape = a.shape();
  shape[axis] = length;
  NdArray<T> out = NdArray<T>::uninit(shape);
  if (out.size() == 0) return out;
  copy_to_row_major(a.data() + std::ptrdiff_t(start) * a.strides()[axis], shape, a.strides(), out.data(),
                    [](const T* p) { return *p; });
  return out;
}

}  // namespace mirel
