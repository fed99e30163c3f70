#pragma once
// Softmax, log-softmax and cross-entropy along one axis, fused and stable:
// each line is read once into f32, its maximum taken out before exp, and every
// result rounded once to the element type. A line is summed in the order of
// Note [summation order], whatever the layout. Gradients sit beside their
// forward kernels.
#include <cstdint>

#include "engine/cpu/array/ndarray.hpp"

namespace mirel {

// How a loss over rows is reduced: kept per row, summed, or averaged.
enum class Reduction { None, Sum, Mean };

// softmax(x) = exp(x - m) / sum(exp(x - m)); log-softmax(x) = (x - m) - log(sum(exp(x - m))),
// m the line's maximum. The result keeps x's layout.
template <class T>
NdArray<T> softmax(const NdArray<T>& x, std::size_t axis, bool log);

// grad has y's shape. softmax: y * (g - sum(g * y)); log-softmax: g - exp(y) * sum(g).
template <class T>
NdArray<T> backward_softmax(const NdArray<T>& grad, const NdArray<T>& y, std::size_t axis, bool log);

// What cross-entropy's gradient reads back of its forward pass: exp(x - m)
// of every logit in f32, row-major [N, C] (m the row's maximum), and each
// row's sum of them.
struct SoftmaxRows {
  NdArray<float> exps;
  NdArray<float> totals;
};

// Rows of logits [N, C] (axis 1 holds the classes) against class indices
// labels[N], each already checked to lie in [0, C): per row the f32 loss
// log(sum(exp(x - m))) - (x[label] - m), m the row's maximum. With keep
// (allocated [N, C] and [N]), the exps and sums are kept for the gradient.
template <class T>
void cross_entropy_rows(const NdArray<T>& logits, const std::int64_t* labels, float* loss, SoftmaxRows* keep);

// d loss_i / d logits[i, j] = row_grad[i] * (p - [j == labels[i]]) with
// p = exps[i, j] / totals[i], rounded once into logits' layout.
template <class T>
NdArray<T> backward_cross_entropy(const NdArray<T>& logits, const std::int64_t* labels, const SoftmaxRows& kept,
                                  const float* row_grad);

}  // namespace mirel
