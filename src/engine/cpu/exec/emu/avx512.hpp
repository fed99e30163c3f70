#pragma once
// Test builds only (Note [emulated instruction sets]): the AVX-512 F/BW/VL/DQ
// and BF16 intrinsics the kernels use, executed on AVX2 + FMA + F16C.
//
// SIMDe (PyPI cmeel-simde 0.8.2) maps each 512-bit operation onto two native
// 256-bit ones when the translation unit is built with -mavx2 -mfma -mf16c
// (it picks its paths from __AVX2__ and friends, which GCC's C++ front end
// does not define under a target pragma): vfmadd, vsqrtps, vminps and vcvtph2ps
// are then the host's own instructions, fused, correctly rounded, with the
// same NaN rules. What SIMDe 0.8.2 lacks or does differently is replaced here:
//  * masked loads and stores: SIMDe reads all 64 bytes and writes zeros into
//    masked-off lanes; the hardware touches only the enabled lanes (and a
//    masked store past the end of an array must not write there);
//  * _mm512_dpbf16_ps: SIMDe adds the even product first with no DAZ/FTZ;
//    here as the manual's pseudocode has it (odd product first, each an FMA
//    with subnormals flushed);
//  * vpmovdw, vpmovdb, vcvtps2ph, vcvtneps2bf16, vptestnmd and vpcmpeqw with a
//    mask are absent from 0.8.2.
// The f32 tile of sgemm writes its multiply-adds as inline assembly (the
// operand order fixes which NaN wins); vfmadd231ps and vaddps below are the
// same instructions on two halves.
#include <immintrin.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>

#if !defined(__AVX2__) || !defined(__FMA__) || !defined(__F16C__)
#error "the emulated build compiles with -mavx2 -mfma -mf16c"
#endif

#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/x86/avx512.h>

namespace mirel::emu {

using u16 = std::uint16_t;
using u32 = std::uint32_t;

inline __m256 lo(__m512 v) noexcept { return simde__m512_to_private(v).m256[0]; }
inline __m256 hi(__m512 v) noexcept { return simde__m512_to_private(v).m256[1]; }
inline __m512 join(__m256 l, __m256 h) noexcept {
  simde__m512_private r;
  r.m256[0] = l;
  r.m256[1] = h;
  return simde__m512_from_private(r);
}

// acc = x*y + acc: x's NaN, else y's, else acc's.
inline __m512 vfmadd231ps(__m512 acc, __m512 x, __m512 y) noexcept {
  __m256 a0 = lo(acc), a1 = hi(acc);
  asm("vfmadd231ps %2, %1, %0" : "+x"(a0) : "x"(lo(x)), "x"(lo(y)));
  asm("vfmadd231ps %2, %1, %0" : "+x"(a1) : "x"(hi(x)), "x"(hi(y)));
  return join(a0, a1);
}
inline __m512 vaddps(__m512 s, __m512 t) noexcept {
  __m256 r0, r1;
  asm("vaddps %2, %1, %0" : "=x"(r0) : "x"(lo(s)), "x"(lo(t)));
  asm("vaddps %2, %1, %0" : "=x"(r1) : "x"(hi(s)), "x"(hi(t)));
  return join(r0, r1);
}

// Masked memory: only the enabled lanes are read or written.
template <class T, int N, class K>
void masked_load(void* dst, K k, const void* src) noexcept {
  T out[N] = {};
  for (int i = 0; i < N; ++i) {
    if (k >> i & 1) std::memcpy(&out[i], static_cast<const T*>(src) + i, sizeof(T));
  }
  std::memcpy(dst, out, sizeof out);
}
inline __m512 maskz_loadu_ps(__mmask16 k, const void* p) noexcept {
  __m512 r;
  masked_load<float, 16>(&r, k, p);
  return r;
}
inline __m512i maskz_loadu_epi16(__mmask32 k, const void* p) noexcept {
  __m512i r;
  masked_load<u16, 32>(&r, k, p);
  return r;
}
inline void mask_storeu_ps(void* p, __mmask16 k, __m512 v) noexcept {
  float f[16];
  std::memcpy(f, &v, sizeof f);
  for (int i = 0; i < 16; ++i) {
    if (k >> i & 1) std::memcpy(static_cast<float*>(p) + i, &f[i], sizeof(float));
  }
}

// Two native vcvtps2ph; the rounding immediate must be a constant to the builtin.
inline __m256i cvtps_ph(__m512 v, int imm) noexcept {
  simde__m256i_private r;
  switch (imm & 7) {
    case 0: r.m128i[0] = _mm256_cvtps_ph(lo(v), 0), r.m128i[1] = _mm256_cvtps_ph(hi(v), 0); break;
    case 1: r.m128i[0] = _mm256_cvtps_ph(lo(v), 1), r.m128i[1] = _mm256_cvtps_ph(hi(v), 1); break;
    case 2: r.m128i[0] = _mm256_cvtps_ph(lo(v), 2), r.m128i[1] = _mm256_cvtps_ph(hi(v), 2); break;
    case 3: r.m128i[0] = _mm256_cvtps_ph(lo(v), 3), r.m128i[1] = _mm256_cvtps_ph(hi(v), 3); break;
    default: r.m128i[0] = _mm256_cvtps_ph(lo(v), 4), r.m128i[1] = _mm256_cvtps_ph(hi(v), 4); break;
  }
  return simde__m256i_from_private(r);
}

// Each of the 16 32-bit lanes of v through f, into the narrower lanes of Out.
template <class Narrow, class Out, class In, class F>
Out per_lane(In v, F f) noexcept {
  u32 s[16];
  Narrow d[16];
  std::memcpy(s, &v, sizeof s);
  for (int i = 0; i < 16; ++i) d[i] = f(s[i]);
  Out r;
  std::memcpy(&r, d, sizeof r);
  return r;
}
// vpmovdw and vpmovdb: each lane truncated.
template <class Narrow, class Out>
Out truncate(__m512i v) noexcept {
  return per_lane<Narrow, Out>(v, [](u32 x) { return Narrow(x); });
}

// VCVTNEPS2BF16 (the manual's convert_fp32_to_bfloat16): a subnormal gives a
// signed zero, a NaN its top half quieted, anything else rounds to nearest even.
inline u16 fp32_to_bf16(u32 x) noexcept {
  if ((x & 0x7f80'0000u) == 0) return u16((x >> 16) & 0x8000u);
  if ((x & 0x7fff'ffffu) == 0x7f80'0000u) return u16(x >> 16);
  if ((x & 0x7fff'ffffu) > 0x7f80'0000u) return u16((x >> 16) | 0x40u);
  return u16((x + 0x7fffu + ((x >> 16) & 1u)) >> 16);
}
inline __m256bh cvtneps_pbh(__m512 v) noexcept { return per_lane<u16, __m256bh>(v, fp32_to_bf16); }
inline __mmask16 testn_epi32_mask(__m512i a, __m512i b) noexcept {
  return __mmask16(~simde_mm512_test_epi32_mask(a, b));
}
inline __mmask32 mask_cmpeq_epi16_mask(__mmask32 k, __m512i a, __m512i b) noexcept {
  return k & simde_mm512_cmpeq_epu16_mask(a, b);  // equality does not care about sign
}

// VDPBF16PS per the manual: per lane the odd pair's product, then the even
// one's, each an FP32 FMA with subnormal inputs and results flushed to zero,
// round to nearest even, MXCSR ignored. Whether a CPU does exactly this is
// what the kernels' load-time probe checks; this model cannot answer it.
inline float daz(float x) noexcept {
  const u32 b = std::bit_cast<u32>(x);
  return (b & 0x7f80'0000u) == 0 ? std::bit_cast<float>(b & 0x8000'0000u) : x;
}
inline float bf16_value(u16 h) noexcept { return daz(std::bit_cast<float>(u32(h) << 16)); }
inline float fma_daz_ftz(float a, float b, float c) noexcept { return daz(std::fma(daz(a), daz(b), daz(c))); }
inline __m512 dpbf16_ps(__m512 src, __m512bh a, __m512bh b) noexcept {
  float acc[16];
  u32 pa[16], pb[16];
  std::memcpy(acc, &src, sizeof acc);
  std::memcpy(pa, &a, sizeof pa);
  std::memcpy(pb, &b, sizeof pb);
  for (int i = 0; i < 16; ++i) {
    acc[i] = fma_daz_ftz(bf16_value(u16(pa[i] >> 16)), bf16_value(u16(pb[i] >> 16)), acc[i]);
    acc[i] = fma_daz_ftz(bf16_value(u16(pa[i])), bf16_value(u16(pb[i])), acc[i]);
  }
  __m512 r;
  std::memcpy(&r, acc, sizeof r);
  return r;
}

}  // namespace mirel::emu

#undef _mm512_maskz_loadu_ps
#undef _mm512_maskz_loadu_epi16
#undef _mm512_mask_storeu_ps
#undef _mm512_cvtps_ph
#undef _mm512_cvtepi32_epi16
#undef _mm512_cvtepi32_epi8
#undef _mm512_cvtneps_pbh
#undef _mm512_testn_epi32_mask
#undef _mm512_mask_cmpeq_epi16_mask
#undef _mm512_dpbf16_ps
#define _mm512_maskz_loadu_ps(k, p) ::mirel::emu::maskz_loadu_ps(k, p)
#define _mm512_maskz_loadu_epi16(k, p) ::mirel::emu::maskz_loadu_epi16(k, p)
#define _mm512_mask_storeu_ps(p, k, v) ::mirel::emu::mask_storeu_ps(p, k, v)
#define _mm512_cvtps_ph(v, imm) ::mirel::emu::cvtps_ph(v, imm)
#define _mm512_cvtepi32_epi16(v) ::mirel::emu::truncate<std::uint16_t, __m256i>(v)
#define _mm512_cvtepi32_epi8(v) ::mirel::emu::truncate<std::uint8_t, __m128i>(v)
#define _mm512_cvtneps_pbh(v) ::mirel::emu::cvtneps_pbh(v)
#define _mm512_testn_epi32_mask(a, b) ::mirel::emu::testn_epi32_mask(a, b)
#define _mm512_mask_cmpeq_epi16_mask(k, a, b) ::mirel::emu::mask_cmpeq_epi16_mask(k, a, b)
#define _mm512_dpbf16_ps(s, a, b) ::mirel::emu::dpbf16_ps(s, a, b)
