#pragma once
// bfloat16 matrix products on the CPU's bf16 units, with results equal to
// widened binary32 arithmetic up to summation order.
//
// Note [bf16 products on the units]
// A bf16 x bf16 product has at most 16 significant bits, so it is exact in
// binary32. The units add such products into binary32 accumulators, each
// in an order of its own, which is binary32 summation all the same:
// * AVX-512 BF16 VDPBF16PS adds, per 32-bit lane, the odd-indexed product and
//   then the even-indexed one, each addition rounded to nearest-even: two
//   ordinary binary32 additions, i.e. binary32 summation in the order
//   k+1, k, k+3, k+2, ... We check this once at load against cases where
//   adding the pair first, or adding all three with one rounding, gives other
//   bits; a CPU that answers differently keeps the widened path.
// * AMX TDPBF16PS, as measured on Intel's Emerald Rapids, sums each
//   32-element block of k in two chains, E over the even k and O over the
//   odd k, then adds E + O to C (tdpbf16ps_model); a probe at load confirms
//   that order on random operands and on one where the documented pair-by-
//   pair order gives other bits.
// Either way k is cut into the blocks of Note [summation order of products]:
// each block is summed from +0 on the unit and its sum added to the result in
// binary32, so long products keep the accuracy of a blocked sum.
// The one difference from binary32 is that the units treat subnormal inputs,
// products and sums as zero (DAZ/FTZ, whatever MXCSR says). So before using
// them we scan both operands (O(operand sizes)) and take the widened path
// unless every such value is provably normal or zero:
// * no subnormal, NaN or infinite element in either operand (NaN and
//   infinity then keep exactly the widened path's bits);
// * every element is an integer multiple of its own ulp, 2^(E-134) for the
//   biased exponent E, so every product, and every binary32 partial sum of
//   products (rounding keeps multiples of a power of two that is at most the
//   ulp), is a multiple of 2^(Emin_a + Emin_b - 268) over the smallest
//   nonzero exponents: a nonzero one is normal when Emin_a + Emin_b >= 142;
// * |product| < 2^(Emax_a + Emax_b - 252), so no sum of k of them overflows
//   when Emax_a + Emax_b + ceil(log2 k) <= 379.
// Each result element is rounded to bf16 once, by the caller, as on the
// widened path.
#include <cstddef>

#include "engine/cpu/array/ndarray.hpp"

namespace mirel::bf16_gemm {

enum class Unit { None, Avx512, Amx };

// Whether this process can run unit u's instructions: the registry grants
// its instruction set (and, for AMX, the kernel its tile data, asked once).
// None always. run_refusal says why not, or nullptr.
bool unit_runs(Unit u) noexcept;
const char* run_refusal(Unit u) noexcept;

// Whether products may use unit u: it runs, and its load-time probe confirms
// the order it sums in (Note [bf16 products on the units]). None always.
// refusal says why not, or nullptr.
bool unit_available(Unit u) noexcept;
const char* refusal(Unit u) noexcept;

// The unit bf16 products use in this process, picked once at first use: AMX
// when available, else AVX-512 BF16 on AMD's CPUs, else none (the widened
// path, at our f32 product's speed). why_not_chosen(u): nullptr for the
// unit picked, otherwise why not u.
Unit unit() noexcept;
const char* why_not_chosen(Unit u) noexcept;

// Whether the units compute the product of these operands (inner length k)
// exactly as binary32 arithmetic would (Note [bf16 products on the units]).
// Cost: one pass over each operand's elements, on the pool's threads; views
// that are not dense are refused. Throws std::bad_alloc as parallel_for does.
bool exact_on_units(const View<BF16>& a, const View<BF16>& b, std::size_t k);

// C = A·B on unit u (not None), with the contract of sgemm in sgemm.hpp:
// element (i, j) of A is a[i*a_rs + j*a_cs], likewise for B; C is row-major
// with row stride c_rs and only written; k == 0 gives zeros.
void gemm(Unit u, std::size_t m, std::size_t n, std::size_t k,
          const BF16* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
          const BF16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
          float* c, std::ptrdiff_t c_rs);

}  // namespace mirel::bf16_gemm
