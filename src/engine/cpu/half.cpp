#include "engine/cpu/half.hpp"

// GCC 12 reports its own AVX-512 intrinsics' undefined-vector idiom as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace mirel {
namespace {

void widen_f16_soft(const F16* src, float* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[i].to_float();
}
void narrow_f16_soft(const float* src, F16* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = F16::from_float(src[i]);
}

// vcvtps2ph rounds to nearest-even, keeps the NaN sign and top payload bits and
// quiets it: the same results as the integer path above.
__attribute__((target("avx512f"))) void widen_f16_avx512(const F16* src, float* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm512_storeu_ps(dst + i, _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i))));
  widen_f16_soft(src + i, dst + i, n - i);
}
__attribute__((target("avx512f"))) void narrow_f16_avx512(const float* src, F16* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16)
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i),
                        _mm512_cvtps_ph(_mm512_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  narrow_f16_soft(src + i, dst + i, n - i);
}
__attribute__((target("avx,f16c"))) void widen_f16_f16c(const F16* src, float* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm256_storeu_ps(dst + i, _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i))));
  widen_f16_soft(src + i, dst + i, n - i);
}
__attribute__((target("avx,f16c"))) void narrow_f16_f16c(const float* src, F16* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8)
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i),
                     _mm256_cvtps_ph(_mm256_loadu_ps(src + i), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  narrow_f16_soft(src + i, dst + i, n - i);
}

void widen_bf16_soft(const BF16* src, float* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = std::bit_cast<float>(std::uint32_t(src[i].bits) << 16);
}
void narrow_bf16_soft(const float* src, BF16* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = BF16::from_float(src[i]);
}

// bfloat16 in integer lanes: the same rules as BF16::to_float / from_float.
__attribute__((target("avx512f"))) void widen_bf16_avx512(const BF16* src, float* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i u = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i)));
    _mm512_storeu_si512(dst + i, _mm512_slli_epi32(u, 16));
  }
  widen_bf16_soft(src + i, dst + i, n - i);
}
__attribute__((target("avx512f"))) void narrow_bf16_avx512(const float* src, BF16* dst, std::size_t n) noexcept {
  const __m512i inf = _mm512_set1_epi32(0x7f80'0000), abs_mask = _mm512_set1_epi32(0x7fff'ffff);
  const __m512i one = _mm512_set1_epi32(1), bias = _mm512_set1_epi32(0x7fff), quiet = _mm512_set1_epi32(0x0040);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i u = _mm512_loadu_si512(src + i);
    const __mmask16 nan = _mm512_cmpgt_epi32_mask(_mm512_and_si512(u, abs_mask), inf);
    const __m512i lsb = _mm512_and_si512(_mm512_srli_epi32(u, 16), one);
    __m512i r = _mm512_srli_epi32(_mm512_add_epi32(u, _mm512_add_epi32(bias, lsb)), 16);
    r = _mm512_mask_or_epi32(r, nan, _mm512_srli_epi32(u, 16), quiet);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm512_cvtepi32_epi16(r));
  }
  narrow_bf16_soft(src + i, dst + i, n - i);
}
// vcvtneps2bf16 rounds to nearest-even and quiets NaNs keeping their top bits,
// as from_float does, but flushes float subnormals to zero: blocks holding one
// take the integer path instead.
__attribute__((target("avx512f,avx512bf16,avx512vl"))) void narrow_bf16_avx512bf16(const float* src, BF16* dst,
                                                                                  std::size_t n) noexcept {
  const __m512i exp_mask = _mm512_set1_epi32(0x7f80'0000), man_mask = _mm512_set1_epi32(0x007f'ffff);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 v = _mm512_loadu_ps(src + i);
    const __m512i u = _mm512_castps_si512(v);
    const __mmask16 subnormal = _mm512_testn_epi32_mask(u, exp_mask) & _mm512_test_epi32_mask(u, man_mask);
    if (subnormal) {
      narrow_bf16_avx512(src + i, dst + i, 16);
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), (__m256i)_mm512_cvtneps_pbh(v));
  }
  narrow_bf16_soft(src + i, dst + i, n - i);
}

__attribute__((target("avx2"))) void widen_bf16_avx2(const BF16* src, float* dst, std::size_t n) noexcept {
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i u = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(dst + i), _mm256_slli_epi32(u, 16));
  }
  widen_bf16_soft(src + i, dst + i, n - i);
}
__attribute__((target("avx2"))) void narrow_bf16_avx2(const float* src, BF16* dst, std::size_t n) noexcept {
  const __m256i inf = _mm256_set1_epi32(0x7f80'0000), abs_mask = _mm256_set1_epi32(0x7fff'ffff);
  const __m256i one = _mm256_set1_epi32(1), bias = _mm256_set1_epi32(0x7fff), quiet = _mm256_set1_epi32(0x0040);
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256i u = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(src + i));
    const __m256i nan = _mm256_cmpgt_epi32(_mm256_and_si256(u, abs_mask), inf);
    const __m256i lsb = _mm256_and_si256(_mm256_srli_epi32(u, 16), one);
    const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(u, _mm256_add_epi32(bias, lsb)), 16);
    const __m256i nan_bits = _mm256_or_si256(_mm256_srli_epi32(u, 16), quiet);
    const __m256i r = _mm256_blendv_epi8(rounded, nan_bits, nan);
    // 32-bit lanes hold values below 0x10000: pack them to 16 bits and gather the two halves.
    const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(r, r), 0b1000);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + i), _mm256_castsi256_si128(packed));
  }
  narrow_bf16_soft(src + i, dst + i, n - i);
}

template <class H>
struct Converters {
  void (*widen)(const H*, float*, std::size_t) noexcept;
  void (*narrow)(const float*, H*, std::size_t) noexcept;
};

// Picked once, from what the CPU can do; every variant gives identical bits.
struct HalfConverters {
  Converters<F16> f16{widen_f16_soft, narrow_f16_soft};
  Converters<BF16> bf16{widen_bf16_soft, narrow_bf16_soft};
  HalfConverters() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
      f16 = {widen_f16_avx512, narrow_f16_avx512};
      bf16 = {widen_bf16_avx512, narrow_bf16_avx512};
      if (__builtin_cpu_supports("avx512bf16") && __builtin_cpu_supports("avx512vl")) bf16.narrow = narrow_bf16_avx512bf16;
      return;
    }
    if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c")) f16 = {widen_f16_f16c, narrow_f16_f16c};
    if (__builtin_cpu_supports("avx2")) bf16 = {widen_bf16_avx2, narrow_bf16_avx2};
  }
};

const HalfConverters converters;

}  // namespace

void widen_n(const F16* src, float* dst, std::size_t n) noexcept { converters.f16.widen(src, dst, n); }
void narrow_n(const float* src, F16* dst, std::size_t n) noexcept { converters.f16.narrow(src, dst, n); }
void widen_n(const BF16* src, float* dst, std::size_t n) noexcept { converters.bf16.widen(src, dst, n); }
void narrow_n(const float* src, BF16* dst, std::size_t n) noexcept { converters.bf16.narrow(src, dst, n); }

}  // namespace mirel
