#pragma once
// Softmax, log-softmax and cross-entropy along one axis, fused and stable:
// each line is read once into f32, its maximum taken out before exp, and every
// result rounded once to the element type. A line is summed in index order,
// whatever the layout. Gradients sit beside their forward kernels.
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

// Rows of logits [N, C] (axis 1 holds the classes) against class indices
// labels[N], each already checked to lie in [0, C): per row the f32 loss
// logsumexp(row) - row[label] and the logsumexp itself.
template <class T>
void cross_entropy_rows(const NdArray<T>& logits, const std::int64_t* labels, float* loss, float* lse);

// d loss_i / d logits[i, j] = row_grad[i] * (exp(logits[i, j] - lse[i]) - [j == labels[i]]), rounded once.
template <class T>
NdArray<T> backward_cross_entropy(const NdArray<T>& logits, const std::int64_t* labels, const float* lse,
                                  const float* row_grad);

}  // namespace mirel
