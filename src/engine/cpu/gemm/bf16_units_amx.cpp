// AMX pieces of the bf16 products (Note [bf16 products on the units]). Tiles:
// C 16 x 16 binary32, A 16 rows x 16 pairs, B 16 pairs x 16 columns (the
// packed layout of bf16_units.hpp with 16 lanes), all rows 64 bytes.
#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/exec/targets.hpp"
#include "engine/cpu/gemm/bf16_units.hpp"
#include "engine/cpu/gemm/sgemm.hpp"

#define MIREL_AMX MIREL_TARGET_AMX

namespace mirel::bf16_gemm {
namespace {

constexpr std::size_t kTile = 16;            // rows of every tile; also pairs per A row and columns per B row

struct alignas(64) TileConfig {
  std::uint8_t palette = 1;
  std::uint8_t start_row = 0;
  std::uint8_t reserved[14] = {};
  std::uint16_t colsb[16] = {};
  std::uint8_t rows[16] = {};
};

// Tiles 0-3 (C, a 2 x 2 block of them), 4-5 (A, two bands of rows) and 6-7
// (B, two panels of columns), each 16 rows of 64 bytes. Configured and
// released on the calling thread by every product, so no tile state outlives it.
class TileScope {
 public:
  MIREL_AMX TileScope() {
    TileConfig cfg;
    for (int t = 0; t < 8; ++t) {
      cfg.colsb[t] = 64;
      cfg.rows[t] = kTile;
    }
    asm volatile("" ::: "memory");
    _tile_loadconfig(&cfg);
  }
  MIREL_AMX ~TileScope() { _tile_release(); }
  TileScope(const TileScope&) = delete;
  TileScope& operator=(const TileScope&) = delete;
};

// A 16 x 16 tile of C (rows x cols valid) gets the tile in `scratch` added to
// +0 (first) or to itself.
MIREL_AMX void add_tile(const float* scratch, float* c, std::ptrdiff_t c_rs, std::size_t rows, std::size_t cols,
                        bool first) {
  const __mmask16 m = cols >= kTile ? __mmask16(0xffff) : __mmask16((1u << cols) - 1);
  for (std::size_t i = 0; i < rows; ++i) {
    float* row = c + std::ptrdiff_t(i) * c_rs;
    const __m512 base = first ? _mm512_setzero_ps() : _mm512_maskz_loadu_ps(m, row);
    _mm512_mask_storeu_ps(row, m, _mm512_add_ps(_mm512_loadu_ps(scratch + i * kTile), base));
  }
}

// Up to 2 x 2 tiles of C: bands a[0], a[1] of 16 rows against panels b[0],
// b[1] of 16 columns, each tile the product over kt tiles of 16 pairs (one
// block of k) summed on the unit from +0, then added to +0 (first) or to C.
// An A tile and a B tile loaded once serve two products each. Absent bands or
// panels have 0 rows or columns. `scratch` receives the tiles.
MIREL_AMX void amx_block(std::size_t kt, const std::uint32_t* const a[2], const std::uint32_t* const b[2], float* c,
                         std::ptrdiff_t c_rs, const std::size_t rows[2], const std::size_t cols[2], bool first,
                         float* scratch) {
  constexpr std::size_t kStep = kTile * kTile;
  const bool two_rows = rows[1] > 0, two_cols = cols[1] > 0;
  _tile_zero(0);
  _tile_zero(1);
  _tile_zero(2);
  _tile_zero(3);
  for (std::size_t t = 0; t < kt; ++t) {
    _tile_loadd(4, a[0] + t * kStep, 64);
    _tile_loadd(6, b[0] + t * kStep, 64);
    _tile_dpbf16ps(0, 4, 6);
    if (two_cols) {
      _tile_loadd(7, b[1] + t * kStep, 64);
      _tile_dpbf16ps(1, 4, 7);
    }
    if (two_rows) {
      _tile_loadd(5, a[1] + t * kStep, 64);
      _tile_dpbf16ps(2, 5, 6);
      if (two_cols) _tile_dpbf16ps(3, 5, 7);
    }
  }
  // A whole tile of the first block goes to C directly: the unit's sum
  // started from the +0 of _tile_zero, so it is never -0, and adding it to +0
  // would give it back unchanged. The others pass through scratch.
  float* at[4];
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t q = 0; q < 2; ++q) {
      float* ct = c + std::ptrdiff_t(r * kTile) * c_rs + std::ptrdiff_t(q * kTile);
      const bool direct = first && rows[r] == kTile && cols[q] == kTile;
      at[2 * r + q] = direct ? ct : scratch + (2 * r + q) * kStep;
    }
  }
  const auto stride = [&](std::size_t t) { return at[t] == scratch + t * kStep ? 64 : c_rs * 4; };
  _tile_stored(0, at[0], stride(0));
  _tile_stored(1, at[1], stride(1));
  _tile_stored(2, at[2], stride(2));
  _tile_stored(3, at[3], stride(3));
  asm volatile("" ::: "memory");
  for (std::size_t r = 0; r < 2; ++r) {
    for (std::size_t q = 0; q < 2; ++q) {
      const std::size_t t = 2 * r + q;
      if (rows[r] && cols[q] && at[t] == scratch + t * kStep) {
        add_tile(at[t], c + std::ptrdiff_t(r * kTile) * c_rs + std::ptrdiff_t(q * kTile), c_rs, rows[r], cols[q],
                 first);
      }
    }
  }
}

// A panel for AMX: per tile of 16 pairs, 16 rows of 16 pairs (row-major).
// Rows whose elements are adjacent copy a tile row (32 elements) at a time.
void pack_rows(const std::uint16_t* src, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t rows, std::size_t len,
               std::size_t kt, std::uint32_t* out) {
  constexpr std::size_t kRow = 2 * kTile;  // elements in a tile row
  if (cs == 1) {
    for (std::size_t t = 0; t < kt; ++t) {
      const std::size_t e0 = t * kRow, here = std::min(kRow, len - e0);
      for (std::size_t i = 0; i < kTile; ++i) {
        auto* o = reinterpret_cast<std::uint16_t*>(out + (t * kTile + i) * kTile);
        if (i < rows) std::memcpy(o, src + std::ptrdiff_t(i) * rs + std::ptrdiff_t(e0), here * sizeof(std::uint16_t));
        std::fill(o + (i < rows ? here : 0), o + kRow, std::uint16_t(0));
      }
    }
    return;
  }
  std::fill(out, out + kt * kTile * kTile, 0u);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::uint16_t* s = src + std::ptrdiff_t(i) * rs;
    for (std::size_t e = 0; e < len; ++e) {
      const std::size_t p = e / 2, t = p / kTile;
      std::uint32_t& w = out[t * kTile * kTile + i * kTile + p % kTile];
      w |= std::uint32_t(s[std::ptrdiff_t(e) * cs]) << (e % 2 ? 16 : 0);
    }
  }
}

}  // namespace

// The tile unit against tdpbf16ps_model on pseudo-random normal values (a
// full tile, 16 pairs per element) and on 1 + 2^-24 + 2^-24, where adding
// pair by pair rounds twice back to 1 and the model gives 1 + 2^-23.
MIREL_AMX bool amx_sums_like_the_model() noexcept {
  alignas(64) std::uint32_t a[kTile * kTile], b[kTile * kTile];
  alignas(64) float c[kTile * kTile], got[kTile * kTile];
  std::uint32_t state = 54321;
  auto next = [&] { return state = state * 1664525u + 1013904223u; };
  // Normal values with exponents near 127, so nothing reaches the subnormal range.
  auto value = [&] { return std::uint16_t((next() >> 16 & 0x807fu) | (112u + (next() >> 24) % 32u) << 7); };
  for (auto& w : a) w = value() | std::uint32_t(value()) << 16;
  for (auto& w : b) w = value() | std::uint32_t(value()) << 16;
  for (auto& x : c) x = std::bit_cast<float>(std::uint32_t(value()) << 16);
  for (std::size_t p = 0; p < kTile; ++p) a[p] = b[p * kTile] = 0;  // element (0, 0): only pair 0 counts
  a[0] = b[0] = 0x39803980u;                                          // 2^-12 in both halves
  c[0] = 1.0f;
  {
    TileScope scope;
    std::memcpy(got, c, sizeof got);
    asm volatile("" ::: "memory");
    _tile_loadd(0, got, 64);
    _tile_loadd(1, a, 64);
    _tile_loadd(2, b, 64);
    _tile_dpbf16ps(0, 1, 2);
    _tile_stored(0, got, 64);
    asm volatile("" ::: "memory");
  }
  for (std::size_t i = 0; i < kTile; ++i) {
    for (std::size_t j = 0; j < kTile; ++j) {
      std::uint32_t col[kTile];  // B's pairs for column j
      for (std::size_t p = 0; p < kTile; ++p) col[p] = b[p * kTile + j];
      const float want = tdpbf16ps_model(c[i * kTile + j], a + i * kTile, col);
      if (std::bit_cast<std::uint32_t>(got[i * kTile + j]) != std::bit_cast<std::uint32_t>(want)) return false;
    }
  }
  return true;
}

void gemm_amx(std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* a, std::ptrdiff_t a_rs,
              std::ptrdiff_t a_cs, const std::uint16_t* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c,
              std::ptrdiff_t c_rs) {
  constexpr std::size_t kKc = kSumBlock;  // inner elements per block: 8 tiles of 16 pairs
  constexpr std::size_t kStep = kTile * kTile;
  const std::size_t kc_max = std::min(kKc, k);
  const std::size_t kt_max = (kc_max + 2 * kTile - 1) / (2 * kTile);
  const std::size_t n_tiles = (n + kTile - 1) / kTile;
  auto words = [](std::size_t w) {
    return std::unique_ptr<void, BufferFree>(allocate_bytes(w * sizeof(std::uint32_t)));
  };
  auto a_buf = words(2 * kt_max * kStep), b_buf = words(n_tiles * kt_max * kStep);
  auto s_buf = words(4 * kStep);
  auto* a_pack = static_cast<std::uint32_t*>(a_buf.get());
  auto* b_pack = static_cast<std::uint32_t*>(b_buf.get());
  auto* scratch = static_cast<float*>(s_buf.get());

  TileScope scope;
  for (std::size_t p0 = 0; p0 < k; p0 += kKc) {
    const std::size_t kc = std::min(kKc, k - p0);
    const std::size_t kt = (kc + 2 * kTile - 1) / (2 * kTile), kp = kt * kTile;
    for (std::size_t jt = 0; jt < n_tiles; ++jt) {
      std::uint32_t* panel = b_pack + jt * kt * kStep;
      const std::size_t j = jt * kTile;
      pack(b + std::ptrdiff_t(p0) * b_rs + std::ptrdiff_t(j) * b_cs, b_cs, b_rs, std::min(kTile, n - j), kc, kTile,
           panel);
      std::fill(panel + (kc + 1) / 2 * kTile, panel + kp * kTile, 0u);  // pairs past kc up to whole tiles
    }
    for (std::size_t i = 0; i < m; i += 2 * kTile) {
      std::size_t rows[2] = {std::min(kTile, m - i), m - i > kTile ? std::min(kTile, m - i - kTile) : 0};
      const std::uint32_t* bands[2] = {a_pack, a_pack + kt * kStep};
      for (std::size_t r = 0; r < 2 && rows[r]; ++r) {
        pack_rows(a + std::ptrdiff_t(i + r * kTile) * a_rs + std::ptrdiff_t(p0) * a_cs, a_rs, a_cs, rows[r], kc, kt,
                  a_pack + r * kt * kStep);
      }
      for (std::size_t jt = 0; jt < n_tiles; jt += 2) {
        const std::size_t j = jt * kTile;
        const std::size_t cols[2] = {std::min(kTile, n - j), n - j > kTile ? std::min(kTile, n - j - kTile) : 0};
        const std::uint32_t* panels[2] = {b_pack + jt * kt * kStep, b_pack + (jt + 1) * kt * kStep};
        amx_block(kt, bands, panels, c + std::ptrdiff_t(i) * c_rs + std::ptrdiff_t(j), c_rs, rows, cols, p0 == 0,
                  scratch);
      }
    }
  }
}

}  // namespace mirel::bf16_gemm
