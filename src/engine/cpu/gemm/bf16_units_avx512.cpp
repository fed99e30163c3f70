// AVX-512 BF16 pieces of the bf16 products (Note [bf16 products on the units]).
#include <algorithm>
#include <bit>

#include "engine/cpu/exec/targets.hpp"
#include "engine/cpu/gemm/bf16_units.hpp"

#define MIREL_AVX512_BF16 MIREL_TARGET_AVX512_BF16

namespace mirel::bf16_gemm {

namespace {

struct ScanState {
  __m512i min, max;
  __mmask32 special;
};

// One vector of 32 elements (lanes outside `valid` ignored).
MIREL_AVX512_BF16 inline void scan_step(ScanState& st, __m512i x, __mmask32 valid) noexcept {
  const __m512i exp_mask = _mm512_set1_epi16(0x7f80), abs_mask = _mm512_set1_epi16(0x7fff);
  const __m512i ex = _mm512_and_si512(x, exp_mask);
  const __mmask32 nonzero = _mm512_mask_test_epi16_mask(valid, x, abs_mask);
  const __mmask32 top = _mm512_mask_cmpeq_epi16_mask(valid, ex, exp_mask);          // NaN or infinity
  const __mmask32 sub = _mm512_mask_cmpeq_epi16_mask(nonzero, ex, _mm512_setzero_si512());  // subnormal
  st.special |= top | sub;
  st.min = _mm512_mask_min_epu16(st.min, nonzero, st.min, ex);
  st.max = _mm512_mask_max_epu16(st.max, valid, st.max, ex);
}

}  // namespace

MIREL_AVX512_BF16 void scan_avx512(const std::uint16_t* p, std::size_t n, Exponents& e) noexcept {
  ScanState st{_mm512_set1_epi16(0x7f80), _mm512_setzero_si512(), 0};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) scan_step(st, _mm512_loadu_si512(p + i), ~__mmask32(0));
  if (i < n) {
    const __mmask32 tail = (__mmask32(1) << (n - i)) - 1;
    scan_step(st, _mm512_maskz_loadu_epi16(tail, p + i), tail);
  }
  const __m512i vmin = st.min, vmax = st.max;
  const __mmask32 special = st.special;
  if (special) e.special = true;
  // Exponents sit in bits 7..14: reduce the 16-bit lanes, then shift down.
  alignas(64) std::uint16_t lo[32], hi[32];
  _mm512_store_si512(lo, vmin);
  _mm512_store_si512(hi, vmax);
  for (int j = 0; j < 32; ++j) {
    e.min = std::min<std::uint32_t>(e.min, lo[j] >> 7);
    e.max = std::max<std::uint32_t>(e.max, hi[j] >> 7);
  }
}

MIREL_AVX512_BF16 void tile_avx512(std::size_t kp, const std::uint32_t* a, const std::uint32_t* b, float* c,
                                   std::ptrdiff_t c_rs, std::size_t rows, std::size_t cols, bool first) noexcept {
  const __mmask16 m0 = cols >= 16 ? __mmask16(0xffff) : __mmask16((1u << cols) - 1);
  const __mmask16 m1 = cols >= 32 ? __mmask16(0xffff) : cols <= 16 ? __mmask16(0) : __mmask16((1u << (cols - 16)) - 1);
  __m512 acc[kMr][2];
  for (std::size_t i = 0; i < kMr; ++i) acc[i][0] = acc[i][1] = _mm512_setzero_ps();
  for (std::size_t p = 0; p < kp; ++p) {
    const __m512bh b0 = (__m512bh)_mm512_load_si512(b + p * kNr);
    const __m512bh b1 = (__m512bh)_mm512_load_si512(b + p * kNr + 16);
    const std::uint32_t* ap = a + p * kMr;
#pragma GCC unroll 8
    for (std::size_t i = 0; i < kMr; ++i) {
      const __m512bh ai = (__m512bh)_mm512_set1_epi32(int(ap[i]));
      acc[i][0] = _mm512_dpbf16_ps(acc[i][0], ai, b0);
      acc[i][1] = _mm512_dpbf16_ps(acc[i][1], ai, b1);
    }
  }
  // The block's sums onto the result (no NaN reaches the units).
  for (std::size_t i = 0; i < rows; ++i) {
    float* row = c + std::ptrdiff_t(i) * c_rs;
    const __m512 base0 = first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(m0, row);
    const __m512 base1 = first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(m1, row + 16);
    _mm512_mask_storeu_ps(row, m0, _mm512_add_ps(acc[i][0], base0));
    _mm512_mask_storeu_ps(row + 16, m1, _mm512_add_ps(acc[i][1], base1));
  }
}

MIREL_AVX512_BF16 bool avx512_adds_like_binary32() noexcept {
  auto bf = [](std::uint16_t bits) { return std::bit_cast<float>(std::uint32_t(bits) << 16); };
  // Two fixed cases, then pseudo-random ones, against (acc + a1*b1) + a0*b0 in
  // binary32 (products are exact, so no rounding hides in them).
  //  1 + 2^-24 + 2^-24: each addition ties back to 1; the pair first, or one rounding
  //  of the whole sum, gives 1 + 2^-23.
  //  2^-24 + 1 - 1: the odd product first gives 0, the other order 2^-24.
  std::uint32_t acc_bits[16] = {0x3f800000u, 0x33800000u};
  std::uint32_t a_pairs[16] = {0x39803980u, 0x3f80bf80u}, b_pairs[16] = {0x39803980u, 0x3f803f80u};
  std::uint32_t state = 12345;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  // Normal values with exponents near 127, so nothing reaches the subnormal range.
  auto value = [&] { return std::uint16_t((next() >> 16 & 0x807fu) | (112u + (next() >> 24) % 32u) << 7); };
  for (int round = 0; round < 64; ++round) {
    for (int lane = round == 0 ? 2 : 0; lane < 16; ++lane) {
      a_pairs[lane] = value() | std::uint32_t(value()) << 16;
      b_pairs[lane] = value() | std::uint32_t(value()) << 16;
      acc_bits[lane] = std::bit_cast<std::uint32_t>(bf(value()) * bf(value()));
    }
    alignas(64) float got[16];
    _mm512_store_ps(got, _mm512_dpbf16_ps(_mm512_castsi512_ps(_mm512_loadu_si512(acc_bits)),
                                          (__m512bh)_mm512_loadu_si512(a_pairs),
                                          (__m512bh)_mm512_loadu_si512(b_pairs)));
    for (int lane = 0; lane < 16; ++lane) {
      const float p1 = bf(std::uint16_t(a_pairs[lane] >> 16)) * bf(std::uint16_t(b_pairs[lane] >> 16));
      const float p0 = bf(std::uint16_t(a_pairs[lane])) * bf(std::uint16_t(b_pairs[lane]));
      volatile float sum = std::bit_cast<float>(acc_bits[lane]) + p1;
      const float want = sum + p0;
      if (std::bit_cast<std::uint32_t>(got[lane]) != std::bit_cast<std::uint32_t>(want)) return false;
    }
  }
  return true;
}

}  // namespace mirel::bf16_gemm
