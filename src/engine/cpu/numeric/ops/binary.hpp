#pragma once
// Broadcasting elementwise arithmetic (float types) and comparisons (all types).
#include "engine/cpu/numeric/core.hpp"
#include "util/error.hpp"

namespace mirel {

template <class T>
Expected<NdArray<T>> binary(BinaryOp op, const NdArray<T>& a, const NdArray<T>& b);

// The checks of binary() without the arithmetic (Note [checked, not computed]).
template <class T>
Expected<void> binary_check(const NdArray<T>& a, const NdArray<T>& b);

template <class T>
Expected<NdArray<bool>> compare(CompareOp op, const NdArray<T>& a, const NdArray<T>& b);

}  // namespace mirel
