#include "engine/cpu/gemm/sgemm_avx512.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "engine/cpu/gemm/blas_library.hpp"
#include "engine/cpu/loops/dispatch.hpp"  // isa_supported, and the intrinsics without GCC 12's false warnings

namespace mirel::sgemm_avx512 {
namespace {

constexpr std::size_t kDepth = 448;     // the library's block of k
constexpr std::size_t kDepthUnit = 16;  // a cut rest is rounded up to a multiple of this
constexpr std::size_t kRows = 12;       // rows of C per tile: 24 accumulators, 2 operands, 6 to spare
constexpr std::size_t kCols = 32;       // columns per tile: two vectors of 16
// Packed B holds at most this many floats (512 KiB), so the block in use stays in L2.
constexpr std::size_t kPanelFloats = (std::size_t(512) << 10) / sizeof(float);
// Row pitch of a copied band of A: room for a block of k, and not a multiple of 1 KiB.
constexpr std::ptrdiff_t kBandPitch = kDepth + 16;

using Tile = void (*)(std::size_t kc, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, const float* bp,
                      float* c, std::ptrdiff_t c_rs, __mmask16 lo_mask, __mmask16 hi_mask, bool first);

// The first w of 16 lanes.
__mmask16 lanes(std::size_t w) { return w >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << w) - 1); }

// Of w columns starting at a panel's first, those in its second vector.
__mmask16 high_lanes(std::size_t w) { return lanes(w > 16 ? w - 16 : 0); }

#pragma GCC push_options
#pragma GCC target("avx512f")

// The two instructions whose operand order decides which NaN comes out where
// several meet, written in the library's order (a compiler may swap the
// operands of its own): acc + x·b gives x's NaN, else b's, else acc's; and
// sum + base gives sum's, else base's.
__m512 fma_into(__m512 acc, __m512 x, __m512 b) {
  asm("vfmadd231ps %2, %1, %0" : "+v"(acc) : "v"(x), "v"(b));
  return acc;
}

__m512 add_onto(__m512 sum, __m512 base) {
  __m512 out;
  asm("vaddps %2, %1, %0" : "=v"(out) : "v"(sum), "v"(base));
  return out;
}

// H rows of C (row stride c_rs), the columns of the two masks: element (i, p)
// of A is a[i*a_rs + p*a_cs], the panel holds kc rows of kCols values of B.
// Each element's sum runs over p in order, one fused multiply-add per product,
// from +0; it is then added to +0 (first) or to C.
template <int H>
void tile(std::size_t kc, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, const float* bp, float* c,
          std::ptrdiff_t c_rs, __mmask16 lo_mask, __mmask16 hi_mask, bool first) {
  __m512 lo[H], hi[H];
#pragma GCC unroll 12
  for (int i = 0; i < H; ++i) lo[i] = hi[i] = _mm512_setzero_ps();
  for (std::size_t p = 0; p < kc; ++p) {
    const __m512 b_lo = _mm512_load_ps(bp), b_hi = _mm512_load_ps(bp + 16);
#pragma GCC unroll 12
    for (int i = 0; i < H; ++i) {
      const __m512 x = _mm512_set1_ps(a[i * a_rs]);
      lo[i] = fma_into(lo[i], x, b_lo);
      hi[i] = fma_into(hi[i], x, b_hi);
    }
    a += a_cs;
    bp += kCols;
  }
#pragma GCC unroll 12
  for (int i = 0; i < H; ++i) {
    float* row = c + i * c_rs;
    const __m512 base_lo = first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(lo_mask, row);
    const __m512 base_hi = first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(hi_mask, row + 16);
    _mm512_mask_storeu_ps(row, lo_mask, add_onto(lo[i], base_lo));
    _mm512_mask_storeu_ps(row + 16, hi_mask, add_onto(hi[i], base_hi));
  }
}

// r[0..16) become their transpose: lane l of r[i] moves to lane i of r[l].
void transpose16(__m512 r[16]) {
  __m512 t[16];
  for (int i = 0; i < 8; ++i) {  // pairs of rows, interleaved by element
    t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {  // fours of rows, by pairs of elements: in lane L, element 4L + c
    const __m512d x0 = _mm512_castps_pd(t[4 * i]), x1 = _mm512_castps_pd(t[4 * i + 1]);
    const __m512d y0 = _mm512_castps_pd(t[4 * i + 2]), y1 = _mm512_castps_pd(t[4 * i + 3]);
    r[4 * i] = _mm512_castpd_ps(_mm512_unpacklo_pd(x0, y0));
    r[4 * i + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(x0, y0));
    r[4 * i + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(x1, y1));
    r[4 * i + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(x1, y1));
  }
  for (int c = 0; c < 4; ++c) {  // the four 128-bit lanes of each element gathered
    const __m512 q0 = _mm512_shuffle_f32x4(r[c], r[4 + c], 0x44), q1 = _mm512_shuffle_f32x4(r[c], r[4 + c], 0xEE);
    const __m512 q2 = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0x44);
    const __m512 q3 = _mm512_shuffle_f32x4(r[8 + c], r[12 + c], 0xEE);
    t[c] = _mm512_shuffle_f32x4(q0, q2, 0x88);
    t[4 + c] = _mm512_shuffle_f32x4(q0, q2, 0xDD);
    t[8 + c] = _mm512_shuffle_f32x4(q1, q3, 0x88);
    t[12 + c] = _mm512_shuffle_f32x4(q1, q3, 0xDD);
  }
  for (int i = 0; i < 16; ++i) r[i] = t[i];
}

// kc rows and nc columns of B as panels of kCols columns, row after row;
// columns past nc are zero. B has adjacent columns (b_cs == 1) or, read
// sixteen by sixteen and transposed, adjacent rows (b_rs == 1).
void pack(const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, std::size_t kc, std::size_t nc, float* out) {
  for (std::size_t j0 = 0; j0 < nc; j0 += kCols, out += kc * kCols) {
    const std::size_t w = std::min(kCols, nc - j0);
    if (b_cs == 1) {
      const __mmask16 lo = lanes(w), hi = high_lanes(w);
      const float* src = b + std::ptrdiff_t(j0);
      for (std::size_t p = 0; p < kc; ++p, src += b_rs) {
        _mm512_store_ps(out + p * kCols, _mm512_maskz_loadu_ps(lo, src));
        _mm512_store_ps(out + p * kCols + 16, _mm512_maskz_loadu_ps(hi, src + 16));
      }
      continue;
    }
    for (std::size_t half = 0; half < kCols; half += 16) {
      const std::size_t cols = w > half ? std::min<std::size_t>(16, w - half) : 0;
      for (std::size_t p0 = 0; p0 < kc; p0 += 16) {
        const std::size_t depth = std::min<std::size_t>(16, kc - p0);
        const __mmask16 m = lanes(depth);
        __m512 r[16];
        for (std::size_t j = 0; j < 16; ++j) {
          r[j] = j < cols ? _mm512_maskz_loadu_ps(m, b + std::ptrdiff_t(j0 + half + j) * b_cs + std::ptrdiff_t(p0))
                          : _mm512_setzero_ps();
        }
        transpose16(r);
        for (std::size_t p = 0; p < depth; ++p) _mm512_store_ps(out + (p0 + p) * kCols + half, r[p]);
      }
    }
  }
}

// Rows [0, h) of A over kc, copied: when A is stored by columns (a_rs == 1)
// as runs of kRows per p, otherwise as rows `pitch` apart.
void pack_band(const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, std::size_t h, std::size_t kc,
               std::ptrdiff_t pitch, float* out) {
  if (a_rs == 1) {
    const __mmask16 m = lanes(h);
    for (std::size_t p = 0; p < kc; ++p) {
      _mm512_mask_storeu_ps(out + p * kRows, m, _mm512_maskz_loadu_ps(m, a + std::ptrdiff_t(p) * a_cs));
    }
    return;
  }
  for (std::size_t i = 0; i < h; ++i) {
    std::memcpy(out + std::ptrdiff_t(i) * pitch, a + std::ptrdiff_t(i) * a_rs, kc * sizeof(float));
  }
}

#pragma GCC pop_options

// kTiles[h] computes h rows.
constexpr Tile kTiles[kRows + 1] = {nullptr,  tile<1>,  tile<2>, tile<3>, tile<4>,  tile<5>, tile<6>,
                                    tile<7>,  tile<8>,  tile<9>, tile<10>, tile<11>, tile<12>};

// The packed block of B, then room for one band of A, one per thread, made at
// its first product.
float* scratch() {
  struct Aligned {
    void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t(64)); }
  };
  thread_local std::unique_ptr<float[], Aligned> buf;
  if (!buf) buf.reset(new (std::align_val_t(64)) float[kPanelFloats + kRows * kBandPitch]);
  return buf.get();
}

bool within_interface(std::size_t v) { return v <= std::size_t(INT_MAX); }

}  // namespace

std::size_t block_depth(std::size_t left) noexcept {
  if (left >= 2 * kDepth) return kDepth;
  if (left > kDepth) return (left / 2 + kDepthUnit - 1) / kDepthUnit * kDepthUnit;
  return left;
}

bool cpu_runs() noexcept {
  static const bool yes = isa_supported(Isa::Avx512);
  return yes;
}

namespace {

// Whether this kernel gives the library's bits on a probe whose k is cut into
// blocks of 448, 448, 224 and 225 and whose terms differ widely in size, so
// that any other blocking or order shows: a check that the library still sums
// as the note says.
bool sums_like(const BlasLibrary& blas) {
  constexpr std::size_t m = 64, n = 64, k = 1345;
  std::vector<float> a(m * k), b(k * n), ours(m * n), theirs(m * n);
  std::uint32_t state = 1;
  const auto next = [&state] {
    state = state * 1664525u + 1013904223u;
    return std::ldexp(float(int(state >> 20) - 2048), int(state >> 28) - 8);
  };
  for (float& x : a) x = next();
  for (float& x : b) x = next();
  gemm(m, n, k, a.data(), k, 1, b.data(), n, 1, ours.data(), n);
  blas.sgemm(CblasRowMajor, CblasNoTrans, CblasNoTrans, m, n, k, 1.0f, a.data(), k, b.data(), n, 0.0f, theirs.data(),
             n);
  return std::memcmp(ours.data(), theirs.data(), ours.size() * sizeof(float)) == 0;
}

}  // namespace

bool chosen() noexcept {
  static const bool yes = [] {
    if (!cpu_runs() || !__builtin_cpu_is("amd")) return false;
    const BlasLibrary* blas = blas_library();
    const char* core = blas ? blas->get_corename() : nullptr;
    if (core == nullptr || std::strcmp(core, "SkylakeX") != 0) return false;
    try {
      return sums_like(*blas);
    } catch (const std::bad_alloc&) {
      return false;  // the library computes every product
    }
  }();
  return yes;
}

bool takes(std::size_t m, std::size_t n, std::size_t k, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, std::ptrdiff_t c_rs) noexcept {
  if (m < kMinSide || n < kMinSide || k < kMinSide || n > kMaxCols) return false;
  if (!within_interface(m) || !within_interface(k)) return false;  // n is at most kMaxCols
  std::size_t volume;
  if (!__builtin_mul_overflow(m, n, &volume) && !__builtin_mul_overflow(volume, k, &volume) && volume < kMinVolume) {
    return false;
  }
  // Reaches past the interface make the library's door cut the product into
  // tiles, which sums in other blocks.
  const auto reach_fits = [](std::ptrdiff_t s) { return s >= 0 && within_interface(std::size_t(s)); };
  if (!(b_cs == 1 && reach_fits(b_rs)) && !(b_rs == 1 && reach_fits(b_cs))) return false;
  if (!reach_fits(c_rs) || std::size_t(c_rs) < n) return false;
  return (a_cs == 1 && reach_fits(a_rs)) || (a_rs == 1 && reach_fits(a_cs));
}

void gemm(std::size_t m, std::size_t n, std::size_t k,
          const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
          const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
          float* c, std::ptrdiff_t c_rs) {
  float* const packed = scratch();
  float* const copied = packed + kPanelFloats;
  // Rows of A a multiple of 1 KiB apart fall into a few sets of the L1 cache
  // and evict each other between panels; such bands are read from a copy.
  const bool aliased = (a_rs == 1 ? a_cs : a_rs) % 256 == 0;
  for (std::size_t pc = 0; pc < k;) {
    const std::size_t kc = block_depth(k - pc);
    const bool first = pc == 0;
    const std::size_t span = std::max(kCols, kPanelFloats / kc / kCols * kCols);
    for (std::size_t jc = 0; jc < n; jc += span) {
      const std::size_t nc = std::min(span, n - jc);
      pack(b + std::ptrdiff_t(pc) * b_rs + std::ptrdiff_t(jc) * b_cs, b_rs, b_cs, kc, nc, packed);
      // One band of rows of A at a time, across every panel of the block.
      for (std::size_t i0 = 0; i0 < m; i0 += kRows) {
        const std::size_t h = std::min(kRows, m - i0);
        const float* band = a + std::ptrdiff_t(i0) * a_rs + std::ptrdiff_t(pc) * a_cs;
        float* c_band = c + std::ptrdiff_t(i0) * c_rs + std::ptrdiff_t(jc);
        std::ptrdiff_t rs = a_rs, cs = a_cs;
        if (aliased) {
          pack_band(band, a_rs, a_cs, h, kc, kBandPitch, copied);
          band = copied;
          if (a_rs == 1) rs = 1, cs = kRows;
          else rs = kBandPitch, cs = 1;
        }
        for (std::size_t j0 = 0; j0 < nc; j0 += kCols) {
          const std::size_t w = std::min(kCols, nc - j0);
          kTiles[h](kc, band, rs, cs, packed + j0 * kc, c_band + std::ptrdiff_t(j0), c_rs, lanes(w),
                    high_lanes(w), first);
        }
      }
    }
    pc += kc;
  }
}

}  // namespace mirel::sgemm_avx512
