#pragma once
// Test builds only (Note [emulated instruction sets]): a software AMX tile
// unit behind GCC's intrinsic names (_tile_loadconfig, _tile_release,
// _tile_zero, _tile_loadd, _tile_stored, _tile_dpbf16ps), one per thread, as
// the manual describes it: palette 1 (8 tiles of at most 16 rows of 64
// bytes), rows and bytes past the configured shape read as zero and are
// zeroed on write, and a fault (an abort here, #UD or #GP on the hardware)
// for an unconfigured unit, reserved bytes set, or shapes TDPBF16PS refuses.
//
// TDPBF16PS sums in one of two orders (design choice 9: the manual's
// pseudocode and what Emerald Rapids was measured to do differ):
//   Order::Manual  per element of C, pair by pair: the even product, then the
//                  odd one, each an FP32 FMA with subnormals flushed;
//   Order::Chains  the even and the odd products of the instruction's pairs
//                  in two binary32 chains E and O, then C + (E + O), as
//                  bf16_gemm's tdpbf16ps_model.
// MIREL_EMU_AMX_ORDER=chains picks the second at start (the load-time probe
// then accepts the unit); anything else the first (the probe refuses it).
// Neither tells which one a real CPU follows: only the hardware does.
#include <immintrin.h>  // first: its tile functions are replaced by the macros at the end

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace mirel::emu::amx {

enum class Order { Manual, Chains };

inline Order& order() noexcept {
  static Order o = [] {
    const char* e = std::getenv("MIREL_EMU_AMX_ORDER");
    return e && std::strcmp(e, "chains") == 0 ? Order::Chains : Order::Manual;
  }();
  return o;
}

struct Config {
  std::uint8_t palette, start_row, reserved[14];
  std::uint16_t colsb[16];
  std::uint8_t rows[16];
};
static_assert(sizeof(Config) == 64);

struct Unit {
  bool configured = false;
  Config cfg{};
  alignas(64) std::uint8_t t[8][16][64]{};
};
inline thread_local Unit unit;

[[noreturn]] inline void fault(const char* what) {
  std::fprintf(stderr, "emulated AMX: %s\n", what);
  std::abort();
}
inline void need(int tile) {
  if (!unit.configured) fault("tile instruction without a tile configuration (#UD)");
  if (tile < 0 || tile > 7) fault("no such tile");
  if (unit.cfg.rows[tile] == 0 || unit.cfg.colsb[tile] == 0) fault("tile not configured (#UD)");
}

inline void loadconfig(const void* p) {
  Config c;
  std::memcpy(&c, p, sizeof c);
  if (c.palette == 0) {  // palette 0: the unit returns to its initial state
    unit = Unit{};
    return;
  }
  if (c.palette != 1) fault("palette other than 0 or 1 (#GP)");
  for (auto r : c.reserved) {
    if (r) fault("reserved byte set (#GP)");
  }
  for (int i = 0; i < 16; ++i) {
    if (i >= 8 && (c.rows[i] || c.colsb[i])) fault("tile 8..15 configured (#GP)");
    if (c.rows[i] > 16 || c.colsb[i] > 64) fault("tile larger than palette 1 allows (#GP)");
    if ((c.rows[i] == 0) != (c.colsb[i] == 0)) fault("tile with rows xor bytes zero (#GP)");
  }
  unit.configured = true;
  unit.cfg = c;
  std::memset(unit.t, 0, sizeof unit.t);
}
inline void release() { unit = Unit{}; }

inline void zero(int d) {
  need(d);
  std::memset(unit.t[d], 0, sizeof unit.t[d]);
}
inline void loadd(int d, const void* base, long stride) {
  need(d);
  std::memset(unit.t[d], 0, sizeof unit.t[d]);
  for (int r = unit.cfg.start_row; r < unit.cfg.rows[d]; ++r) {
    std::memcpy(unit.t[d][r], static_cast<const std::uint8_t*>(base) + long(r) * stride, unit.cfg.colsb[d]);
  }
}
inline void stored(int s, void* base, long stride) {
  need(s);
  for (int r = unit.cfg.start_row; r < unit.cfg.rows[s]; ++r) {
    std::memcpy(static_cast<std::uint8_t*>(base) + long(r) * stride, unit.t[s][r], unit.cfg.colsb[s]);
  }
}

inline float daz(float x) noexcept {
  const std::uint32_t b = std::bit_cast<std::uint32_t>(x);
  return (b & 0x7f80'0000u) == 0 ? std::bit_cast<float>(b & 0x8000'0000u) : x;
}
inline float bf16_value(std::uint16_t h) noexcept { return daz(std::bit_cast<float>(std::uint32_t(h) << 16)); }
inline float fma_daz_ftz(float a, float b, float c) noexcept { return daz(std::fma(a, b, daz(c))); }
inline float add_daz_ftz(float a, float b) noexcept { return daz(daz(a) + daz(b)); }

// TDPBF16PS d, a, b: d[m][n] += the sum over k of a[m][k] . b[k][n], bf16 pairs.
inline void dpbf16ps(int d, int a, int b) {
  need(d), need(a), need(b);
  const Config& c = unit.cfg;
  const int M = c.rows[d], N = c.colsb[d] / 4, K = c.colsb[a] / 4;
  if (d == a || d == b || a == b) fault("TDPBF16PS with repeated tile operands (#UD)");
  if (c.rows[a] != M || c.rows[b] != K || c.colsb[b] != c.colsb[d] || c.colsb[d] % 4 || c.colsb[a] % 4) {
    fault("TDPBF16PS shapes do not match (#UD)");
  }
  auto word = [](int t, int r, int col) {
    std::uint32_t w;
    std::memcpy(&w, unit.t[t][r] + 4 * col, 4);
    return w;
  };
  auto lo = [](std::uint32_t w) { return bf16_value(std::uint16_t(w)); };
  auto hi = [](std::uint32_t w) { return bf16_value(std::uint16_t(w >> 16)); };
  for (int m = 0; m < M; ++m) {
    float row[16];
    std::memcpy(row, unit.t[d][m], sizeof row);
    for (int n = 0; n < N; ++n) {
      if (order() == Order::Manual) {
        for (int k = 0; k < K; ++k) {
          const std::uint32_t x = word(a, m, k), y = word(b, k, n);
          row[n] = fma_daz_ftz(lo(x), lo(y), row[n]);
          row[n] = fma_daz_ftz(hi(x), hi(y), row[n]);
        }
        continue;
      }
      float even = 0.0f, odd = 0.0f;
      for (int k = 0; k < K; ++k) {
        const std::uint32_t x = word(a, m, k), y = word(b, k, n);
        even = add_daz_ftz(even, lo(x) * lo(y));
        odd = add_daz_ftz(odd, hi(x) * hi(y));
      }
      row[n] = add_daz_ftz(row[n], add_daz_ftz(even, odd));
    }
    std::memset(unit.t[d][m], 0, 64);  // bytes past colsb are zeroed
    std::memcpy(unit.t[d][m], row, std::size_t(4 * N));
  }
}

}  // namespace mirel::emu::amx

#undef _tile_loadconfig
#undef _tile_release
#undef _tile_zero
#undef _tile_loadd
#undef _tile_stored
#undef _tile_dpbf16ps
#define _tile_loadconfig(cfg) ::mirel::emu::amx::loadconfig(cfg)
#define _tile_release() ::mirel::emu::amx::release()
#define _tile_zero(d) ::mirel::emu::amx::zero(d)
#define _tile_loadd(d, base, stride) ::mirel::emu::amx::loadd(d, base, long(stride))
#define _tile_stored(s, base, stride) ::mirel::emu::amx::stored(s, base, long(stride))
#define _tile_dpbf16ps(d, a, b) ::mirel::emu::amx::dpbf16ps(d, a, b)
