#pragma once
// Gradients of elementwise multiplication and division. Results keep the
// broadcast shape of their factors: nothing is reduced to an operand's shape.
#include <utility>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
#include "util/error.hpp"

namespace mirel {

// An unwanted gradient is checked, not computed (Note [checked, not computed]),
// and comes back as an empty, default-constructed array.
template <class T>
using ArrayPair = std::pair<NdArray<T>, NdArray<T>>;

template <class T>
Expected<ArrayPair<T>> backward_mul(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                    GradWanted want = {});

template <class T>
Expected<ArrayPair<T>> backward_div(const NdArray<T>& grad, const NdArray<T>& lhs, const NdArray<T>& rhs,
                                    GradWanted want = {});

}  // namespace mirel
