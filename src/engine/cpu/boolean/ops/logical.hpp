#pragma once
// Logical kernels on Bool arrays. Broadcasting and the result's memory order
// follow the elementwise kernels; NOT keeps its operand's layout.
#include "engine/cpu/array/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

struct And { bool operator()(bool x, bool y) const noexcept { return x & y; } };
struct Or { bool operator()(bool x, bool y) const noexcept { return x | y; } };
struct Xor { bool operator()(bool x, bool y) const noexcept { return x != y; } };
struct Not { bool operator()(bool x) const noexcept { return !x; } };

// Op is And, Or or Xor.
template <class Op>
Expected<NdArray<bool>> logical(const NdArray<bool>& a, const NdArray<bool>& b);
NdArray<bool> logical_not(const NdArray<bool>& a);

}  // namespace mirel
