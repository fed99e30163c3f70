#include "engine/cpu/flat.hpp"

// GCC 12 reports its own AVX-512 intrinsics' undefined-vector idiom as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

namespace mirel {
namespace {

template <class F>
inline void run(std::size_t n, float* __restrict o, const float* __restrict a, const float* __restrict b, F f) {
  for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i], b[i]);
}
template <class F>
inline void run(std::size_t n, bool* __restrict o, const float* __restrict a, const float* __restrict b, F f) {
  for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i], b[i]);
}

}  // namespace

__attribute__((target_clones("avx2", "default")))
void flat_binary(BinaryOp op, std::size_t n, float* o, const float* a, const float* b) noexcept {
  switch (op) {
    case BinaryOp::Add: return run(n, o, a, b, [](float x, float y) { return x + y; });
    case BinaryOp::Sub: return run(n, o, a, b, [](float x, float y) { return x - y; });
    case BinaryOp::Mul: return run(n, o, a, b, [](float x, float y) { return x * y; });
    case BinaryOp::Div: return run(n, o, a, b, [](float x, float y) { return x / y; });
  }
}

__attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
void flat_compare(CompareOp op, std::size_t n, bool* o, const float* a, const float* b) noexcept {
  switch (op) {
    case CompareOp::Eq: return run(n, o, a, b, [](float x, float y) { return x == y; });
    case CompareOp::Ne: return run(n, o, a, b, [](float x, float y) { return x != y; });
    case CompareOp::Ge: return run(n, o, a, b, [](float x, float y) { return x >= y; });
    case CompareOp::Gt: return run(n, o, a, b, [](float x, float y) { return x > y; });
    case CompareOp::Le: return run(n, o, a, b, [](float x, float y) { return x <= y; });
    case CompareOp::Lt: return run(n, o, a, b, [](float x, float y) { return x < y; });
  }
}

namespace {

template <BinaryOp Op>
__attribute__((target("avx512f"))) inline __m512 apply(__m512 x, __m512 y) noexcept {
  if constexpr (Op == BinaryOp::Add) return _mm512_add_ps(x, y);
  else if constexpr (Op == BinaryOp::Sub) return _mm512_sub_ps(x, y);
  else if constexpr (Op == BinaryOp::Mul) return _mm512_mul_ps(x, y);
  else return _mm512_div_ps(x, y);
}

template <BinaryOp Op>
inline float apply(float x, float y) noexcept {
  if constexpr (Op == BinaryOp::Add) return x + y;
  else if constexpr (Op == BinaryOp::Sub) return x - y;
  else if constexpr (Op == BinaryOp::Mul) return x * y;
  else return x / y;
}

template <BinaryOp Op>
__attribute__((target("avx512f"))) void f16_avx512(std::size_t n, F16* o, const F16* a, const F16* b) noexcept {
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 x = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(a + i)));
    const __m512 y = _mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + i)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + i),
                        _mm512_cvtps_ph(apply<Op>(x, y), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
  }
  for (; i < n; ++i) o[i] = F16::from_float(apply<Op>(a[i].to_float(), b[i].to_float()));
}

__attribute__((target("avx512f"))) inline __m512 load_bf16(const BF16* p) noexcept {
  const __m256i bits = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
  return _mm512_castsi512_ps(_mm512_slli_epi32(_mm512_cvtepu16_epi32(bits), 16));
}

// bfloat16 widens by a shift (a signalling NaN is quieted by the operation
// itself); vcvtneps2bf16 rounds like BF16::from_float except that it flushes
// float subnormals, so a block holding one is rounded in software.
template <BinaryOp Op>
__attribute__((target("avx512f,avx512bf16,avx512vl"))) void bf16_avx512(std::size_t n, BF16* o, const BF16* a,
                                                                       const BF16* b) noexcept {
  const __m512i exp_mask = _mm512_set1_epi32(0x7f80'0000), man_mask = _mm512_set1_epi32(0x007f'ffff);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512 r = apply<Op>(load_bf16(a + i), load_bf16(b + i));
    const __m512i u = _mm512_castps_si512(r);
    if (_mm512_testn_epi32_mask(u, exp_mask) & _mm512_test_epi32_mask(u, man_mask)) {
      alignas(64) float tmp[16];
      _mm512_store_ps(tmp, r);
      for (int j = 0; j < 16; ++j) o[i + j] = BF16::from_float(tmp[j]);
      continue;
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o + i), (__m256i)_mm512_cvtneps_pbh(r));
  }
  for (; i < n; ++i) o[i] = BF16::from_float(apply<Op>(a[i].to_float(), b[i].to_float()));
}

template <class H>
using FusedFn = void (*)(std::size_t, H*, const H*, const H*) noexcept;

struct FusedKernels {
  FusedFn<F16> f16[4] = {};
  FusedFn<BF16> bf16[4] = {};
  FusedKernels() {
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) {
      f16[0] = f16_avx512<BinaryOp::Add>, f16[1] = f16_avx512<BinaryOp::Sub>;
      f16[2] = f16_avx512<BinaryOp::Mul>, f16[3] = f16_avx512<BinaryOp::Div>;
      if (__builtin_cpu_supports("avx512bf16") && __builtin_cpu_supports("avx512vl")) {
        bf16[0] = bf16_avx512<BinaryOp::Add>, bf16[1] = bf16_avx512<BinaryOp::Sub>;
        bf16[2] = bf16_avx512<BinaryOp::Mul>, bf16[3] = bf16_avx512<BinaryOp::Div>;
      }
    }
  }
};

const FusedKernels fused;

}  // namespace

bool flat_binary(BinaryOp op, std::size_t n, F16* o, const F16* a, const F16* b) noexcept {
  const auto fn = fused.f16[int(op)];
  if (!fn) return false;
  fn(n, o, a, b);
  return true;
}

bool flat_binary(BinaryOp op, std::size_t n, BF16* o, const BF16* a, const BF16* b) noexcept {
  const auto fn = fused.bf16[int(op)];
  if (!fn) return false;
  fn(n, o, a, b);
  return true;
}

}  // namespace mirel
