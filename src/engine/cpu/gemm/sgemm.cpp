#include "engine/cpu/gemm/sgemm.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>
#include <type_traits>

#include "engine/cpu/array/half.hpp"
#include "engine/cpu/exec/registry.hpp"
#include "engine/cpu/gemm/sgemm_tiles.hpp"
#include "engine/cpu/loops/arith.hpp"
#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {
namespace {

using sgemm_tiles::Kernels;

constexpr std::uint32_t kDefaultNan = 0xFFC0'0000u;

float quiet(float x) noexcept { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(x) | 0x0040'0000u); }

const Kernels& kernels_of(Isa isa) noexcept {
  switch (isa) {
    case Isa::Portable: return sgemm_tiles::kPortable;
    case Isa::Avx2: return sgemm_tiles::kAvx2;
    case Isa::Avx512:
    case Isa::Avx512Bf16: break;
  }
  return sgemm_tiles::kAvx512;
}

// Packed B holds at most this many floats (512 KiB): a block of k by up to
// 512 columns. Packed A holds kBlockRows rows of a block of k (128 KiB) that
// stay in L2 while one panel of B, in L1, meets each of their bands in turn.
constexpr std::size_t kPanelFloats = (std::size_t(512) << 10) / sizeof(float);
constexpr std::size_t kBlockRows = 128;

// Half-precision operands are widened a panel (or a row of B's block) at a
// time on their way into the packed buffers, through this many floats.
constexpr std::size_t kWidenFloats = 32 * kSumBlock;

// The packed block of B, then the packed rows of A, then room to widen a
// panel; one per thread, made at its first product.
float* scratch() {
  struct Aligned {
    void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t(64)); }
  };
  thread_local std::unique_ptr<float[], Aligned> buf;
  if (!buf) {
    buf.reset(new (std::align_val_t(64))
                  float[kPanelFloats + kBlockRows * kSumBlock + sgemm_tiles::kPackSlack + kWidenFloats]);
  }
  return buf.get();
}

template <class T>
struct Operand {
  const T* p;
  std::ptrdiff_t rs, cs;
};

std::ptrdiff_t off(std::size_t i, std::ptrdiff_t stride) noexcept { return std::ptrdiff_t(i) * stride; }

// The kernels' packers, fed from f32 directly and from the half types through
// `wide`: runs of elements are widened with the vector conversions, then
// packed as f32 (widening is exact, so the product is the f32 one). A block
// of B is kc rows by nc columns, packed as panels of `cols` columns.
void pack_b_block(const Kernels& kern, const float* b, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t kc,
                  std::size_t nc, float* out, float*) {
  for (std::size_t j0 = 0; j0 < nc; j0 += kern.cols) {
    kern.pack_b(b + off(j0, cs), rs, cs, kc, std::min(kern.cols, nc - j0), out + j0 * kc);
  }
}

void pack_a_panel(const Kernels& kern, const float* a, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t h,
                  std::size_t kc, float* out, float*) {
  kern.pack_a(a, rs, cs, h, kc, out);
}

template <class H>
void pack_b_block(const Kernels& kern, const H* b, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t kc,
                  std::size_t nc, float* out, float* wide) {
  if (cs == 1) {  // each row widened whole, then dealt out to the panels
    for (std::size_t p = 0; p < kc; ++p) {
      widen_n(b + off(p, rs), wide, nc);
      for (std::size_t j0 = 0; j0 < nc; j0 += kern.cols) {
        const std::size_t w = std::min(kern.cols, nc - j0);
        float* row = out + j0 * kc + p * kern.cols;
        std::copy_n(wide + j0, w, row);
        std::fill(row + w, row + kern.cols, 0.0f);
      }
    }
    return;
  }
  for (std::size_t j0 = 0; j0 < nc; j0 += kern.cols) {
    const std::size_t w = std::min(kern.cols, nc - j0);
    const H* panel = b + off(j0, cs);
    if (rs == 1) {
      for (std::size_t j = 0; j < w; ++j) widen_n(panel + off(j, cs), wide + j * kc, kc);
      kern.pack_b(wide, 1, std::ptrdiff_t(kc), kc, w, out + j0 * kc);
      continue;
    }
    for (std::size_t p = 0; p < kc; ++p) {
      for (std::size_t j = 0; j < w; ++j) wide[p * w + j] = widen_bits(panel[off(p, rs) + off(j, cs)]);
    }
    kern.pack_b(wide, std::ptrdiff_t(w), 1, kc, w, out + j0 * kc);
  }
}

template <class H>
void pack_a_panel(const Kernels& kern, const H* a, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t h,
                  std::size_t kc, float* out, float* wide) {
  if (rs == 1) {
    for (std::size_t p = 0; p < kc; ++p) widen_n(a + off(p, cs), wide + p * h, h);
    return kern.pack_a(wide, 1, std::ptrdiff_t(h), h, kc, out);
  }
  for (std::size_t i = 0; i < h; ++i) {
    if (cs == 1) {
      widen_n(a + off(i, rs), wide + i * kc, kc);
    } else {
      for (std::size_t p = 0; p < kc; ++p) wide[i * kc + p] = widen_bits(a[off(i, rs) + off(p, cs)]);
    }
  }
  kern.pack_a(wide, std::ptrdiff_t(kc), 1, h, kc, out);
}

// The bands of A read in place against B's block (rows b_rs apart, columns
// adjacent: packed panels one after another, or B itself), for product().
// A single row takes the wide tiles where B is read in place.
void in_place_bands(const Kernels& kern, std::size_t m, std::size_t nc, std::size_t kc, Operand<float> a,
                    std::size_t pc, const float* b, std::ptrdiff_t b_rs, bool b_in_place, float* c,
                    std::ptrdiff_t c_rs, std::ptrdiff_t c_cs, bool first, bool b_first) {
  for (std::size_t i0 = 0; i0 < m; i0 += kern.rows) {
    const float* band = a.p + off(i0, a.rs) + off(pc, a.cs);
    float* c_band = c + off(i0, c_rs);
    std::size_t j0 = 0;
    if (m - i0 == 1 && b_in_place) {
      while (const std::size_t done =
                 kern.row_tile(nc - j0, kc, band, a.cs, b + j0, b_rs, c_band + off(j0, c_cs), c_cs, first, b_first)) {
        j0 += done;
      }
    }
    for (; j0 < nc; j0 += kern.cols) {
      kern.tile(std::min(kern.rows, m - i0), std::min(kern.cols, nc - j0), kc, band, a.rs, a.cs,
                b + (b_in_place ? j0 : j0 * kc), b_rs, c_band + off(j0, c_cs), c_rs, c_cs, first, b_first);
    }
  }
}

// Whether product() packs both operands of an f32 product of this shape.
bool packs_both(const Kernels& kern, std::size_t m, std::size_t n) noexcept {
  return m > 4 * kern.rows && n > 2 * kern.cols;
}

// C = A·B with m, n, k > 0 (C[i,j] at c[i*c_rs + j*c_cs]), block by block of
// k. Small f32 products read their operands in place where they can: B when
// its rows are runs and few bands of A pass over it, A when it also meets few
// panels of B. Larger ones, and every half-precision one, pack both, a block
// at a time.
template <class T>
void product(const Kernels& kern, std::size_t m, std::size_t n, std::size_t k, Operand<T> a, Operand<T> b,
             float* c, std::ptrdiff_t c_rs, std::ptrdiff_t c_cs, bool b_first) {
  float* const b_pack = scratch();
  float* const a_pack = b_pack + kPanelFloats;
  float* const wide = a_pack + kBlockRows * kSumBlock + sgemm_tiles::kPackSlack;
  constexpr bool half = !std::is_same_v<T, float>;
  const bool pack_b = half || b.cs != 1 || m > 4 * kern.rows;
  const bool pack_a = half || (pack_b && (n > 2 * kern.cols || (a.rs != 1 && a.cs != 1)));
  const std::size_t mc = kBlockRows / kern.rows * kern.rows;
  for (std::size_t pc = 0; pc < k; pc += kSumBlock) {
    const std::size_t kc = std::min(kSumBlock, k - pc);
    const bool first = pc == 0;
    std::size_t span = pack_b ? std::max(kern.cols, kPanelFloats / kc / kern.cols * kern.cols) : n;
    if constexpr (half) span = std::min(span, kWidenFloats / kern.cols * kern.cols);  // a row of B fits `wide`
    for (std::size_t jc = 0; jc < n; jc += span) {
      const std::size_t nc = std::min(span, n - jc);
      const T* b_block = b.p + off(pc, b.rs) + off(jc, b.cs);
      if (pack_b) pack_b_block(kern, b_block, b.rs, b.cs, kc, nc, b_pack, wide);
      if constexpr (!half) {
        if (!pack_a) {
          in_place_bands(kern, m, nc, kc, a, pc, pack_b ? b_pack : b_block, pack_b ? std::ptrdiff_t(kern.cols) : b.rs,
                         !pack_b, c + off(jc, c_cs), c_rs, c_cs, first, b_first);
          continue;
        }
      }
      for (std::size_t ic = 0; ic < m; ic += mc) {
        const std::size_t rows = std::min(mc, m - ic);
        for (std::size_t i0 = 0; i0 < rows; i0 += kern.rows) {
          pack_a_panel(kern, a.p + off(ic + i0, a.rs) + off(pc, a.cs), a.rs, a.cs, std::min(kern.rows, rows - i0), kc,
                 a_pack + i0 * kc, wide);
        }
        for (std::size_t j0 = 0; j0 < nc; j0 += kern.cols) {
          for (std::size_t i0 = 0; i0 < rows; i0 += kern.rows) {
            kern.tile_packed(std::min(kern.rows, rows - i0), std::min(kern.cols, nc - j0), kc, a_pack + i0 * kc,
                             b_pack + j0 * kc, c + off(ic + i0, c_rs) + off(jc + j0, c_cs), c_rs, c_cs, first,
                             b_first);
          }
        }
      }
    }
  }
}

}  // namespace

float chain_fma(float sum, float a, float b) noexcept {
  if (std::isnan(a)) return quiet(a);
  if (std::isnan(b)) return quiet(b);
  if (std::isnan(sum)) return quiet(sum);
  const float r = std::fma(a, b, sum);
  return std::isnan(r) ? std::bit_cast<float>(kDefaultNan) : r;
}

// The elementwise addition already keeps the first NaN (Note [two NaN operands]).
float chain_add(float block_sum, float result) noexcept { return Add{}(block_sum, result); }

void sgemm_on(Isa isa, std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs,
              std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c,
              std::ptrdiff_t c_rs) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    for (std::size_t i = 0; i < m; ++i) std::fill_n(c + off(i, c_rs), n, 0.0f);
    return;
  }
  const Kernels& kern = kernels_of(isa);
  if (n == 1 && a_cs == 1 && m > 1) {  // matrix times vector, A by rows
    for (std::size_t pc = 0; pc < k; pc += kSumBlock) {
      const std::size_t kc = std::min(kSumBlock, k - pc);
      for (std::size_t i0 = 0; i0 < m; i0 += kern.tall) {
        kern.column_tile(std::min(kern.tall, m - i0), kc, a + off(i0, a_rs) + off(pc, 1), a_rs, b + off(pc, b_rs), b_rs,
                         c + off(i0, c_rs), c_rs, pc == 0);
      }
    }
    return;
  }
  // A few columns and more rows: the vectors run along C's columns instead,
  // as Cᵀ = Bᵀ·Aᵀ (B's NaN then still comes out after A's).
  if (n <= kern.cols / 4 && m > n) {
    product(kern, n, m, k, Operand<float>{b, b_cs, b_rs}, Operand<float>{a, a_cs, a_rs}, c, 1, c_rs, true);
  } else {
    product(kern, m, n, k, Operand<float>{a, a_rs, a_cs}, Operand<float>{b, b_rs, b_cs}, c, c_rs, 1, false);
  }
}

namespace {

// A rows x cols block of a half-precision operand widened to a row-major f32 buffer.
template <class H>
std::unique_ptr<float[]> widened(const H* x, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t rows,
                                 std::size_t cols) {
  std::unique_ptr<float[]> out(new float[std::max<std::size_t>(1, rows * cols)]);
  for (std::size_t i = 0; i < rows; ++i) {
    if (cs == 1) {
      widen_n(x + off(i, rs), out.get() + i * cols, cols);
    } else {
      for (std::size_t j = 0; j < cols; ++j) out[i * cols + j] = widen_bits(x[off(i, rs) + off(j, cs)]);
    }
  }
  return out;
}

template <class H>
void half_sgemm(std::size_t m, std::size_t n, std::size_t k, const H* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
                const H* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c, std::ptrdiff_t c_rs) {
  if (m == 0 || n == 0) return;
  const Kernels& kern = kernels_of(sgemm_isa());
  if (k > 0 && packs_both(kern, m, n)) {
    product(kern, m, n, k, Operand<H>{a, a_rs, a_cs}, Operand<H>{b, b_rs, b_cs}, c, c_rs, 1, false);
    return;
  }
  // Small, single-row or single-column: both widened whole, then the f32 product's own paths.
  const auto wa = widened(a, a_rs, a_cs, m, k), wb = widened(b, b_rs, b_cs, k, n);
  sgemm(m, n, k, wa.get(), std::ptrdiff_t(k), 1, wb.get(), std::ptrdiff_t(n), 1, c, c_rs);
}

}  // namespace

void sgemm(std::size_t m, std::size_t n, std::size_t k, const F16* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const F16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c, std::ptrdiff_t c_rs) {
  half_sgemm(m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
}

void sgemm(std::size_t m, std::size_t n, std::size_t k, const BF16* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const BF16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c, std::ptrdiff_t c_rs) {
  half_sgemm(m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
}

Isa sgemm_isa() noexcept {
  static const Isa isa = best_isa(exec::Family::Sgemm);
  return isa;
}

void sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c, std::ptrdiff_t c_rs) {
  sgemm_on(sgemm_isa(), m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
}

}  // namespace mirel
