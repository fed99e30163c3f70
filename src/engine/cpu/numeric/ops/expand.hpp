#pragma once
// Copies at a broadcast shape, and the shapes that reductions keep. The
// gradients of sums, means and extrema, and broadcast_to, are built from these.
#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/format.hpp"

namespace mirel {

// The shape with every reduced axis kept as length 1.
inline Shape kept_shape(const Shape& shape, const Axes& axes) {
  Shape kept = shape;
  for (std::size_t a : axes) kept[a] = 1;
  return kept;
}

// A row-major copy of a at `shape`, to which it must broadcast.
template <class T>
Expected<NdArray<T>> broadcast_to(const NdArray<T>& a, const Shape& shape) {
  auto v = broadcast_view(a, shape);
  if (!v) return std::unexpected(concat("cannot broadcast ", shape_str(a.shape()), " to ", shape_str(shape)));
  NdArray<T> out = NdArray<T>::uninit(shape);
  if (out.size()) copy_to_row_major(v->data, v->shape, v->strides, out.data(), [](const T* p) { return *p; });
  return out;
}

}  // namespace mirel
