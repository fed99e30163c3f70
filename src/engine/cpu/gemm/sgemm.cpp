#include "engine/cpu/gemm/sgemm.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <new>

#include "engine/cpu/gemm/sgemm_tiles.hpp"
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

// The packed block of B, then the packed rows of A; one per thread, made at
// its first product.
float* scratch() {
  struct Aligned {
    void operator()(float* p) const noexcept { ::operator delete[](p, std::align_val_t(64)); }
  };
  thread_local std::unique_ptr<float[], Aligned> buf;
  if (!buf) {
    buf.reset(new (std::align_val_t(64)) float[kPanelFloats + kBlockRows * kSumBlock + sgemm_tiles::kPackSlack]);
  }
  return buf.get();
}

struct Operand {
  const float* p;
  std::ptrdiff_t rs, cs;
};

std::ptrdiff_t off(std::size_t i, std::ptrdiff_t stride) noexcept { return std::ptrdiff_t(i) * stride; }

// C = A·B with m, n, k > 0 (C[i,j] at c[i*c_rs + j*c_cs]), block by block of
// k. Small products read their operands in place where they can: B when its
// rows are runs and few bands of A pass over it, A when it also meets few
// panels of B. Larger ones pack both, a block at a time.
void product(const Kernels& kern, std::size_t m, std::size_t n, std::size_t k, Operand a, Operand b, float* c,
             std::ptrdiff_t c_rs, std::ptrdiff_t c_cs, bool b_first) {
  float* const b_pack = scratch();
  float* const a_pack = b_pack + kPanelFloats;
  const bool pack_b = b.cs != 1 || m > 4 * kern.rows;
  const bool pack_a = pack_b && (n > 2 * kern.cols || (a.rs != 1 && a.cs != 1));
  const std::size_t mc = kBlockRows / kern.rows * kern.rows;
  for (std::size_t pc = 0; pc < k; pc += kSumBlock) {
    const std::size_t kc = std::min(kSumBlock, k - pc);
    const bool first = pc == 0;
    const std::size_t span = pack_b ? std::max(kern.cols, kPanelFloats / kc / kern.cols * kern.cols) : n;
    for (std::size_t jc = 0; jc < n; jc += span) {
      const std::size_t nc = std::min(span, n - jc);
      const float* b_block = b.p + off(pc, b.rs) + off(jc, b.cs);
      if (pack_b) {
        for (std::size_t j0 = 0; j0 < nc; j0 += kern.cols) {
          kern.pack_b(b_block + off(j0, b.cs), b.rs, b.cs, kc, std::min(kern.cols, nc - j0), b_pack + j0 * kc);
        }
      }
      if (!pack_a) {
        for (std::size_t i0 = 0; i0 < m; i0 += kern.rows) {
          const float* band = a.p + off(i0, a.rs) + off(pc, a.cs);
          std::size_t j0 = 0;
          if (m - i0 == 1 && !pack_b) {  // a single row: wide tiles while they fit
            while (const std::size_t done = kern.row_tile(nc - j0, kc, band, a.cs, b_block + off(j0, b.cs), b.rs,
                                                          c + off(i0, c_rs) + off(jc + j0, c_cs), c_cs, first, b_first)) {
              j0 += done;
            }
          }
          for (; j0 < nc; j0 += kern.cols) {
            kern.tile(std::min(kern.rows, m - i0), std::min(kern.cols, nc - j0), kc, band, a.rs, a.cs,
                      pack_b ? b_pack + j0 * kc : b_block + off(j0, b.cs), pack_b ? std::ptrdiff_t(kern.cols) : b.rs,
                      c + off(i0, c_rs) + off(jc + j0, c_cs), c_rs, c_cs, first, b_first);
          }
        }
        continue;
      }
      for (std::size_t ic = 0; ic < m; ic += mc) {
        const std::size_t rows = std::min(mc, m - ic);
        for (std::size_t i0 = 0; i0 < rows; i0 += kern.rows) {
          kern.pack_a(a.p + off(ic + i0, a.rs) + off(pc, a.cs), a.rs, a.cs, std::min(kern.rows, rows - i0), kc,
                      a_pack + i0 * kc);
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

float chain_add(float block_sum, float result) noexcept {
  if (std::isnan(block_sum)) return quiet(block_sum);
  if (std::isnan(result)) return quiet(result);
  const float r = block_sum + result;
  return std::isnan(r) ? std::bit_cast<float>(kDefaultNan) : r;
}

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
    product(kern, n, m, k, Operand{b, b_cs, b_rs}, Operand{a, a_cs, a_rs}, c, 1, c_rs, true);
  } else {
    product(kern, m, n, k, Operand{a, a_rs, a_cs}, Operand{b, b_rs, b_cs}, c, c_rs, 1, false);
  }
}

Isa sgemm_isa() noexcept {
  static const Isa isa = isa_supported(Isa::Avx512) ? Isa::Avx512
                         : isa_supported(Isa::Avx2) ? Isa::Avx2
                                                    : Isa::Portable;
  return isa;
}

void sgemm(std::size_t m, std::size_t n, std::size_t k, const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c, std::ptrdiff_t c_rs) {
  sgemm_on(sgemm_isa(), m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
}

}  // namespace mirel
