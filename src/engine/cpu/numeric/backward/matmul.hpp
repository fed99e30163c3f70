#pragma once
// Gradients of out = A·B over the last two axes: grad·Bᵀ for A and Aᵀ·grad for B,
// through the forward product. Batch axes are kept, not summed: gradients are
// never reduced to their operand's shape.
#include <utility>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
#include "util/error.hpp"

namespace mirel {

// (gradient of lhs, gradient of rhs); T is float, F16 or BF16. An unwanted gradient
// is checked, not computed, and comes back empty (Note [checked, not computed]).
template <class T>
Expected<std::pair<NdArray<T>, NdArray<T>>> backward_matmul(const NdArray<T>& grad, const NdArray<T>& lhs,
                                                             const NdArray<T>& rhs, GradWanted want = {});

extern template Expected<std::pair<NdArray<float>, NdArray<float>>> backward_matmul(const NdArray<float>&,
                                                                                    const NdArray<float>&,
                                                                                    const NdArray<float>&, GradWanted);
extern template Expected<std::pair<NdArray<F16>, NdArray<F16>>> backward_matmul(const NdArray<F16>&,
                                                                                const NdArray<F16>&,
                                                                                const NdArray<F16>&, GradWanted);
extern template Expected<std::pair<NdArray<BF16>, NdArray<BF16>>> backward_matmul(const NdArray<BF16>&,
                                                                                  const NdArray<BF16>&,
                                                                                  const NdArray<BF16>&, GradWanted);

}  // namespace mirel
