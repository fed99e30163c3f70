#pragma once
// Gradients of out = A·B over the last two axes: grad·Bᵀ for A and Aᵀ·grad for B,
// through the forward product. Batch axes are kept, not summed: gradients are
// never reduced to their operand's shape.
#include <utility>

#include "engine/cpu/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

// (gradient of lhs, gradient of rhs); T is float, F16 or BF16.
template <class T>
Expected<std::pair<NdArray<T>, NdArray<T>>> matmul_backward(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                             const NdArray<T>& rhs);

extern template Expected<std::pair<NdArray<float>, NdArray<float>>> matmul_backward(const NdArray<float>&,
                                                                                    const NdArray<float>&,
                                                                                    const NdArray<float>&);
extern template Expected<std::pair<NdArray<F16>, NdArray<F16>>> matmul_backward(const NdArray<F16>&,
                                                                                const NdArray<F16>&,
                                                                                const NdArray<F16>&);
extern template Expected<std::pair<NdArray<BF16>, NdArray<BF16>>> matmul_backward(const NdArray<BF16>&,
                                                                                  const NdArray<BF16>&,
                                                                                  const NdArray<BF16>&);

}  // namespace mirel
