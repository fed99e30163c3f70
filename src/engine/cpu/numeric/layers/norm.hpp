#pragma once
// Layer normalisation and RMS normalisation over the trailing axes of x, seen
// as `rows` rows of n elements (all operands row-major).
//
// Note [summation order of norms]
// Each row is read into f32 once; every sum below is sum_run's (Note
// [summation order]: the order of `sum`, independent of CPU), every other
// step one f32 operation in the order written, and each result is rounded
// once to the element type.
// * layer_norm: mean = sum(x) / n; var = sum((x - mean)^2) / n (two passes,
//   never negative); rstd = 1 / sqrt(var + eps); y = ((x - mean) * rstd) * w + b.
// * rms_norm: ms = sum(x * x) / n; rstd = 1 / sqrt(ms + eps); y = (x * rstd) * w.
// Gradients, per row, with xhat = (x - mean) * rstd (rms: x * rstd) as in the
// forward pass and gy = g * w (g without a weight):
// * x: rstd * ((gy - sum(gy) / n) - xhat * (sum(gy * xhat) / n)); rms_norm
//   drops the sum(gy) / n term;
// * w: g * xhat and b: g, each summed over the rows in the order `sum` gives
//   a column of a row-major [rows, n] array.
// The forward pass keeps mean and rstd per row (f32) for the gradient.
#include <optional>

#include "engine/cpu/array/ndarray.hpp"

namespace mirel {

struct NormStats {
  NdArray<float> mean;  // empty for rms_norm
  NdArray<float> rstd;
};

struct NormInput {
  std::size_t rows, n;
  float eps;
  bool rms;
};

// y at x's shape; stats filled when asked for.
template <class T>
NdArray<T> norm_forward(const NdArray<T>& x, const NdArray<T>* w, const NdArray<T>* b, const NormInput& in,
                        NormStats* keep);

template <class T>
struct NormGrads {
  std::optional<NdArray<T>> x, weight, bias;
};

// Gradients of x, weight and bias (each only when wanted and, for weight and
// bias, present); g at x's shape.
template <class T>
NormGrads<T> norm_backward(const NdArray<T>& g, const NdArray<T>& x, const NdArray<T>* w, const NormInput& in,
                           const NormStats& stats, bool want_x, bool want_w, bool want_b);

}  // namespace mirel
