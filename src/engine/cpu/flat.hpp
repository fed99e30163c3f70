#pragma once
// Unit-stride float loops, built for AVX-512, AVX2 and the baseline and picked
// once by the loader: the iteration engine hands them every contiguous run.
// Results are identical in every build (IEEE single-precision operations).
#include <cstddef>

#include "engine/cpu/half.hpp"

namespace mirel {

enum class BinaryOp { Add, Sub, Mul, Div };
enum class CompareOp { Eq, Ne, Ge, Gt, Le, Lt };

void flat_binary(BinaryOp op, std::size_t n, float* o, const float* a, const float* b) noexcept;
void flat_compare(CompareOp op, std::size_t n, bool* o, const float* a, const float* b) noexcept;

// Half-type arithmetic fused in one pass (widen, operate, round once) where the
// CPU has AVX-512; false when it has not and the caller must take its own path.
bool flat_binary(BinaryOp op, std::size_t n, F16* o, const F16* a, const F16* b) noexcept;
bool flat_binary(BinaryOp op, std::size_t n, BF16* o, const BF16* a, const BF16* b) noexcept;

}  // namespace mirel
