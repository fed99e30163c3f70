#pragma once
// Dropout: each element kept or zeroed by its own word of a Philox stream
// (Note [counter-based random numbers]), so the backward pass draws the same
// mask again from (seed, offset) instead of storing it.
//
// Element i (row-major position) is dropped when word i falls below p
// (w * 2^-32 < p), and kept with probability 1 - p. The result is
// x * scale where kept and x * 0 where dropped (a NaN stays NaN, as in
// PyTorch), in f32 and rounded once, scale = 1 / (1 - p) in f32 with 1 - p
// rounded to f32 first. The gradient is the same map applied to g.
#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/random/philox.hpp"

namespace mirel {

// x row-major; the result is row-major.
template <class T>
NdArray<T> dropout(const NdArray<T>& x, const PhiloxStream& s, double p);

// The factor of a kept element.
float dropout_scale(double p) noexcept;

}  // namespace mirel
