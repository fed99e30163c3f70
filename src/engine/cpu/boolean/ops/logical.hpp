#pragma once
// Logical kernels on Bool arrays. Broadcasting and the result's memory order
// follow the elementwise kernels; NOT keeps its operand's layout.
#include "engine/cpu/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

enum class LogicalOp { And, Or, Xor };

Expected<NdArray<bool>> logical(LogicalOp op, const NdArray<bool>& a, const NdArray<bool>& b);
NdArray<bool> logical_not(const NdArray<bool>& a);

}  // namespace mirel
