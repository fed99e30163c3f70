#include "engine/cpu/half.hpp"

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

using WidenF16 = void (*)(const F16*, float*, std::size_t) noexcept;
using NarrowF16 = void (*)(const float*, F16*, std::size_t) noexcept;

struct F16Converters {
  WidenF16 widen = widen_f16_soft;
  NarrowF16 narrow = narrow_f16_soft;
  F16Converters() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
      widen = widen_f16_avx512;
      narrow = narrow_f16_avx512;
    } else if (__builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c")) {
      widen = widen_f16_f16c;
      narrow = narrow_f16_f16c;
    }
  }
};

const F16Converters& f16_converters() {
  static const F16Converters c;
  return c;
}

}  // namespace

void widen_n(const F16* src, float* dst, std::size_t n) noexcept { f16_converters().widen(src, dst, n); }
void narrow_n(const float* src, F16* dst, std::size_t n) noexcept { f16_converters().narrow(src, dst, n); }

// Plain integer code: the compiler vectorises it for whichever clone the CPU picks.
__attribute__((target_clones("avx2", "default"))) void widen_n(const BF16* src, float* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = src[i].to_float();
}
__attribute__((target_clones("avx2", "default"))) void narrow_n(const float* src, BF16* dst, std::size_t n) noexcept {
  for (std::size_t i = 0; i < n; ++i) dst[i] = BF16::from_float(src[i]);
}

}  // namespace mirel
