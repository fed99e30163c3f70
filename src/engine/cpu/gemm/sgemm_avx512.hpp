#pragma once
// Our own single-precision product for the bundled OpenBLAS's SkylakeX kernels
// on AMD CPUs with AVX-512: the same bits, less time.
//
// Note [summing as the BLAS sums]
// When OpenBLAS runs its SkylakeX sgemm (the kernels it picks on these CPUs),
// a product past its small-matrix sizes sums each element of C like this: k
// is cut into consecutive blocks, 448 long while at least 896 remain; a rest
// between 449 and 895 is cut once more, the first piece being half of it
// rounded up to a multiple of 16; the last piece is whatever remains. Within
// a block the element's products are added in order of k, each by one fused
// multiply-add, into a sum that starts at +0; the first block's sum is added
// to +0 (the zeroed C) and every later one to C. That is binary32 summation in
// the library's blocked order, which is the contract of sgemm in blas.hpp.
//
// This kernel sums in exactly that order, so it gives the same bits,
// including signed zeros, infinities and which NaN comes out; the tests check
// that against the library itself. It reads A in place (from a small copy
// when its rows would evict each other from the L1 cache) and packs only B,
// where the library packs both: the large products of a training step take
// about 8% less time. It is used only where the library would run that code: the
// library reports the SkylakeX kernels, the CPU is an AMD one (where it was
// measured), and the product is large enough (kMinVolume) that the library's
// small-matrix path is out of reach. Everywhere else the library computes it.
#include <cstddef>

namespace mirel::sgemm_avx512 {

// Products this kernel takes: every side at least kMinSide, m·n·k at least
// kMinVolume, at most kMaxCols columns (wider ones, which need several packed
// blocks of B, ran no faster than the library), A and B each with adjacent
// rows or adjacent columns, and every size and reach within the library's
// 32-bit interface.
inline constexpr std::size_t kMinSide = 32;
inline constexpr std::size_t kMinVolume = std::size_t(1) << 22;
inline constexpr std::size_t kMaxCols = 512;

// Whether the CPU runs this kernel at all: it has the AVX-512 set the loops use.
bool cpu_runs() noexcept;

// Whether products go through this kernel in this process: the CPU runs it,
// it is an AMD one, the library reports its SkylakeX kernels, and a probe
// product gives the library's bits. Decided once, at the first product taken.
bool chosen() noexcept;

// Whether a product of this shape and these strides is one this kernel takes.
bool takes(std::size_t m, std::size_t n, std::size_t k, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, std::ptrdiff_t c_rs) noexcept;

// C = A·B with the contract of sgemm in blas.hpp, for a product takes() accepts,
// on a CPU that cpu_runs(). Throws std::bad_alloc when its panel cannot be allocated.
void gemm(std::size_t m, std::size_t n, std::size_t k,
          const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
          const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
          float* c, std::ptrdiff_t c_rs);

// The length of the next block of k the library sums separately, with `left`
// elements of k still to go (Note [summing as the BLAS sums]).
std::size_t block_depth(std::size_t left) noexcept;

}  // namespace mirel::sgemm_avx512
