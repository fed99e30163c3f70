#pragma once
// Reductions over a set of axes: the result is a new row-major array whose
// reduced axes are gone, or kept as length 1 (keepdims). axes: sorted, unique,
// each below the rank; none reduces nothing (each result is one element).
// The operand is a View, so a broadcast (stride-0) operand reduces in place
// and gives the bits of the materialised array.
//
// sum and mean (float types): Note [summation order]; a mean is the f32 sum
// divided by the count in f32, rounded once; the sum of no elements is +0, the
// mean NaN. max and min (float types and bool, where they are any and all):
// Note [extrema]. argmax: the first index of the maximum in the sequence's
// logical order, a NaN counting as the maximum (the first NaN); for bool, the
// first true. max, min and argmax of no elements are errors (extremum_check).
#include <cstdint>

#include "engine/cpu/array/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

template <class T>
Expected<NdArray<T>> sum_over(const View<T>& a, const Axes& axes, bool keepdims);
template <class T>
Expected<NdArray<T>> mean_over(const View<T>& a, const Axes& axes, bool keepdims);
template <class T>
Expected<NdArray<T>> max_over(const View<T>& a, const Axes& axes, bool keepdims);
template <class T>
Expected<NdArray<T>> min_over(const View<T>& a, const Axes& axes, bool keepdims);
template <class T>
Expected<NdArray<std::int64_t>> argmax_over(const View<T>& a, const Axes& axes, bool keepdims);

// One contiguous f32 run x[0, n), n >= 1, for kernels that reduce lines of
// their own: its sum in the order of Note [summation order] (the bits sum_over
// gives), and its largest element by Note [extrema] (a NaN when one is NaN).
float sum_run(const float* x, std::size_t n) noexcept;
float max_run(const float* x, std::size_t n) noexcept;

// The error of `name` (max, min, argmax) over axes of shape when some result
// would have no elements: it names the axis of length 0 and the shape.
Expected<void> extremum_check(const char* name, const Shape& shape, const Axes& axes);

}  // namespace mirel
