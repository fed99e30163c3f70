#pragma once
// The one door to single-precision matrix products: our own kernels, one per
// instruction set, all summing in one order.
//
// Note [summation order of products]
// Each element of C = A·B is summed the same way whatever the shape (a single
// row or column included), the operands' layout, the batch or the CPU:
// * k is cut into blocks of kSumBlock from 0 (the last one shorter);
// * within a block the element's products are added in ascending k, each by
//   one fused multiply-add, into a sum that starts at +0;
// * the block sums are added to the result in ascending order, the first one
//   to +0.
// The block is a fixed number, never tuned per machine, so the portable,
// AVX2 and AVX-512 kernels give the same bits on every x86-64 CPU; and since
// no running sum spans all of k, the error grows like that of a blocked sum
// (a product of ones over k = 2^26 is exact).
//
// Which NaN comes out where several meet is fixed too, as the x86 vector
// instructions choose it, and the portable kernel follows the same rules
// (chain_fma, chain_add): a multiply-add gives A's NaN, else B's, else the
// sum's; an addition gives the block sum's NaN, else the result's; a NaN
// operand comes out quieted, and an invalid operation (inf·0, inf − inf)
// gives the default NaN, 0xFFC00000.
#include <cstddef>

namespace mirel {

enum class Isa;  // engine/cpu/exec/registry.hpp
struct F16;
struct BF16;

inline constexpr std::size_t kSumBlock = 256;

// C = A·B with A m×k, B k×n and C m×n. Element (i, j) of A is a[i*a_rs + j*a_cs],
// likewise for B; C is row-major with row stride c_rs (its columns are adjacent).
// Strides are in elements, of any sign; an axis of length 1 may carry any stride.
// C is only written, never read. With k == 0, C is set to +0.
// Runs on the calling thread, on the best kernel this CPU runs (sgemm_isa).
// Throws std::bad_alloc when the thread's packing buffer cannot be made.
void sgemm(std::size_t m, std::size_t n, std::size_t k,
           const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
           float* c, std::ptrdiff_t c_rs);

// sgemm of half-precision operands: the f32 product of their widened values
// (widening is exact), with large operands widened a panel at a time as they
// are packed.
void sgemm(std::size_t m, std::size_t n, std::size_t k,
           const F16* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const F16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
           float* c, std::ptrdiff_t c_rs);
void sgemm(std::size_t m, std::size_t n, std::size_t k,
           const BF16* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const BF16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
           float* c, std::ptrdiff_t c_rs);

// sgemm on the kernels of one instruction set, which the CPU must run
// (isa_supported); the AVX-512 BF16 set multiplies f32 with the AVX-512 kernels.
void sgemm_on(Isa isa, std::size_t m, std::size_t n, std::size_t k,
              const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
              const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
              float* c, std::ptrdiff_t c_rs);

// The instruction set sgemm multiplies with in this process.
Isa sgemm_isa() noexcept;

// One step of an element's chain, and one addition of a block sum, with the
// vector instructions' results, NaN included (Note [summation order of products]).
float chain_fma(float sum, float a, float b) noexcept;
float chain_add(float block_sum, float result) noexcept;

}  // namespace mirel
