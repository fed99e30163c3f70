#pragma once
// The instruction-set-specific pieces behind bf16_gemm.hpp, each compiled with
// its own target attributes and called only after unit() has picked it.
#include <cstddef>
#include <cstdint>

namespace mirel::bf16_gemm {

// What a scan learns about the bf16 bit patterns of one operand.
struct Exponents {
  bool special = false;      // a NaN, an infinity or a subnormal
  std::uint32_t min = 0xff;  // smallest biased exponent of a nonzero element (0xff: none)
  std::uint32_t max = 0;     // largest biased exponent
};
void scan_avx512(const std::uint16_t* p, std::size_t n, Exponents& e) noexcept;

// Packed operands: pairs of consecutive-k elements in one 32-bit word, the
// lower k in the low half. A micro-panel of A is kp pairs x kMr rows
// (pair-major), one of B kp pairs x kNr columns.
inline constexpr std::size_t kMr = 8, kNr = 32;

// C tile (rows x cols, at most kMr x kNr) = the packed panels' product over
// one block of k, summed from +0, added to +0 (first) or to C.
void tile_avx512(std::size_t kp, const std::uint32_t* a, const std::uint32_t* b, float* c, std::ptrdiff_t c_rs,
                 std::size_t rows, std::size_t cols, bool first) noexcept;

// Whether VDPBF16PS rounds as two binary32 additions per pair (Note [bf16 products on the units]).
bool avx512_adds_like_binary32() noexcept;

// kp = ceil(len / 2) pairs x `width` lanes (pair-major) from `lanes` lines of
// `len` elements: lane l, element e is src[l*ls + e*es]. Lanes past `lanes`
// and the element past an odd `len` are zero, which adds nothing to any sum.
void pack(const std::uint16_t* src, std::ptrdiff_t ls, std::ptrdiff_t es, std::size_t lanes, std::size_t len,
          std::size_t width, std::uint32_t* out);

// Whether TDPBF16PS sums as tdpbf16ps_model does; only where the registry
// grants AMX (exec::amx_refusal()).
bool amx_sums_like_the_model() noexcept;

// One TDPBF16PS on one element of C, as the unit sums (Note [bf16 products
// on the units]): over the 16 pairs of a 32-element block of k, E and O are
// the sequential binary32 sums of the even-k and of the odd-k products, and
// the element becomes c + (E + O), each addition rounded. a and b hold the
// pairs, lower k in the low half.
float tdpbf16ps_model(float c, const std::uint32_t* a, const std::uint32_t* b) noexcept;
// The product of bf16_gemm::gemm on tiles; configures and releases the tiles
// on the calling thread.
void gemm_amx(std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* a, std::ptrdiff_t a_rs,
              std::ptrdiff_t a_cs, const std::uint16_t* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c,
              std::ptrdiff_t c_rs);

}  // namespace mirel::bf16_gemm
