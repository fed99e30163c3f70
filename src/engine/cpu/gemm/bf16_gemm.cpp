#include "engine/cpu/gemm/bf16_gemm.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/exec/registry.hpp"
#include "engine/cpu/exec/targets.hpp"
#include "engine/cpu/gemm/bf16_units.hpp"
#include "engine/cpu/gemm/sgemm.hpp"

namespace mirel::bf16_gemm {
namespace {

// Operands are packed a block at a time: kKc inner elements (the blocks of
// Note [summation order of products], an even number, so pairs never straddle
// blocks), kMc rows of A, kNc columns of B. A block of B (kKc x kNc) stays in
// L2 while the micro-panels of A stream past it.
constexpr std::size_t kKc = kSumBlock, kMc = 96, kNc = 1024;

inline std::uint32_t pair_of(std::uint16_t lo, std::uint16_t hi) noexcept { return lo | std::uint32_t(hi) << 16; }

struct Buffer {
  std::unique_ptr<void, BufferFree> mem;
  explicit Buffer(std::size_t words) : mem(allocate_bytes(words * sizeof(std::uint32_t))) {}
  std::uint32_t* get() const noexcept { return static_cast<std::uint32_t*>(mem.get()); }
};

void gemm_avx512(std::size_t m, std::size_t n, std::size_t k, const std::uint16_t* a, std::ptrdiff_t a_rs,
                 std::ptrdiff_t a_cs, const std::uint16_t* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c,
                 std::ptrdiff_t c_rs) {
  const std::size_t nc_max = std::min(kNc, (n + kNr - 1) / kNr * kNr);
  const std::size_t mc_max = std::min(kMc, (m + kMr - 1) / kMr * kMr);
  const std::size_t kp_max = (std::min(kKc, k) + 1) / 2;
  Buffer a_pack(kp_max * mc_max), b_pack(kp_max * nc_max);
  for (std::size_t j0 = 0; j0 < n; j0 += kNc) {
    const std::size_t nc = std::min(kNc, n - j0);
    for (std::size_t p0 = 0; p0 < k; p0 += kKc) {
      const std::size_t kc = std::min(kKc, k - p0), kp = (kc + 1) / 2;
      for (std::size_t j = 0; j < nc; j += kNr) {
        // Lanes of B are its columns, their elements run down k.
        pack(b + std::ptrdiff_t(p0) * b_rs + std::ptrdiff_t(j0 + j) * b_cs, b_cs, b_rs, std::min(kNr, nc - j), kc,
             kNr, b_pack.get() + j / kNr * kp * kNr);
      }
      for (std::size_t i0 = 0; i0 < m; i0 += kMc) {
        const std::size_t mc = std::min(kMc, m - i0);
        for (std::size_t i = 0; i < mc; i += kMr) {
          pack(a + std::ptrdiff_t(i0 + i) * a_rs + std::ptrdiff_t(p0) * a_cs, a_rs, a_cs, std::min(kMr, mc - i), kc,
               kMr, a_pack.get() + i / kMr * kp * kMr);
        }
        for (std::size_t j = 0; j < nc; j += kNr) {
          for (std::size_t i = 0; i < mc; i += kMr) {
            tile_avx512(kp, a_pack.get() + i / kMr * kp * kMr, b_pack.get() + j / kNr * kp * kNr,
                        c + std::ptrdiff_t(i0 + i) * c_rs + std::ptrdiff_t(j0 + j), c_rs, std::min(kMr, mc - i),
                        std::min(kNr, nc - j), p0 == 0);
          }
        }
      }
    }
  }
}

}  // namespace

// Built for AVX2, which every unit's CPU has: data movement, which the
// compiler vectorises; an AVX-512 build of it would be code only an AVX-512
// machine could test (Note [compiler-vectorised loops]).
MIREL_TARGET_AVX2 void pack(const std::uint16_t* src, std::ptrdiff_t ls, std::ptrdiff_t es, std::size_t lanes,
                            std::size_t len, std::size_t width, std::uint32_t* out) {
  const std::size_t kp = (len + 1) / 2, full = len / 2;
  if (es == 1) {
    // A pair is one unaligned 32-bit word, lower k in the low half (x86 is
    // little-endian); pairs outside, lanes inside keeps the writes contiguous.
    for (std::size_t p = 0; p < full; ++p) {
      for (std::size_t l = 0; l < lanes; ++l) {
        std::memcpy(out + p * width + l, src + std::ptrdiff_t(l) * ls + std::ptrdiff_t(2 * p), sizeof(std::uint32_t));
      }
    }
    if (kp > full) {
      for (std::size_t l = 0; l < lanes; ++l) out[full * width + l] = pair_of(src[std::ptrdiff_t(l) * ls + std::ptrdiff_t(2 * full)], 0);
    }
  } else if (std::abs(es) <= std::abs(ls)) {
    // Elements of a lane are close together: walk lanes outside.
    for (std::size_t l = 0; l < lanes; ++l) {
      const std::uint16_t* s = src + std::ptrdiff_t(l) * ls;
      for (std::size_t p = 0; p < full; ++p) {
        out[p * width + l] = pair_of(s[std::ptrdiff_t(2 * p) * es], s[std::ptrdiff_t(2 * p + 1) * es]);
      }
      if (kp > full) out[full * width + l] = pair_of(s[std::ptrdiff_t(2 * full) * es], 0);
    }
  } else {
    // Lanes are close together: walk pairs outside, lanes inside (contiguous when ls == 1).
    for (std::size_t p = 0; p < kp; ++p) {
      const std::uint16_t* s0 = src + std::ptrdiff_t(2 * p) * es;
      std::uint32_t* o = out + p * width;
      if (2 * p + 1 < len) {
        const std::uint16_t* s1 = s0 + es;
        if (ls == 1) {  // two contiguous runs, interleaved: the loop vectorises
          for (std::size_t l = 0; l < lanes; ++l) o[l] = pair_of(s0[l], s1[l]);
        } else {
          for (std::size_t l = 0; l < lanes; ++l) o[l] = pair_of(s0[std::ptrdiff_t(l) * ls], s1[std::ptrdiff_t(l) * ls]);
        }
      } else {
        for (std::size_t l = 0; l < lanes; ++l) o[l] = pair_of(s0[std::ptrdiff_t(l) * ls], 0);
      }
    }
  }
  if (lanes < width) {
    for (std::size_t p = 0; p < kp; ++p) std::fill(out + p * width + lanes, out + (p + 1) * width, 0u);
  }
}

float tdpbf16ps_model(float c, const std::uint32_t* a, const std::uint32_t* b) noexcept {
  auto bf = [](std::uint32_t bits) { return std::bit_cast<float>(bits << 16); };
  float even = bf(a[0] & 0xffffu) * bf(b[0] & 0xffffu), odd = bf(a[0] >> 16) * bf(b[0] >> 16);
  for (std::size_t p = 1; p < 16; ++p) {
    even += bf(a[p] & 0xffffu) * bf(b[p] & 0xffffu);
    odd += bf(a[p] >> 16) * bf(b[p] >> 16);
  }
  return c + (even + odd);
}

bool unit_runs(Unit u) noexcept { return run_refusal(u) == nullptr; }

const char* run_refusal(Unit u) noexcept {
  // The operand scan runs on AVX-512 BW whichever unit multiplies: every AMX CPU has it.
  if (u == Unit::None) return nullptr;
  if (const char* why = exec::choice().refusal(Isa::Avx512Bf16)) return why;
  return u == Unit::Amx ? exec::amx_refusal() : nullptr;
}

bool unit_available(Unit u) noexcept { return refusal(u) == nullptr; }

const char* refusal(Unit u) noexcept {
  // Each probe runs once, when first asked.
  switch (u) {
    case Unit::None: return nullptr;
    case Unit::Avx512: {
      static const char* const why = run_refusal(u)                  ? run_refusal(u)
                                     : !avx512_adds_like_binary32() ? "its load-time probe found another order of additions"
                                                                    : nullptr;
      return why;
    }
    case Unit::Amx: {
      static const char* const why = run_refusal(u)                 ? run_refusal(u)
                                     : !amx_sums_like_the_model() ? "its load-time probe found another order of sums"
                                                                  : nullptr;
      return why;
    }
  }
  return nullptr;
}

Unit unit() noexcept {
  static const Unit chosen = unit_available(Unit::Amx)                                     ? Unit::Amx
                             : exec::choice().offer.amd && unit_available(Unit::Avx512) ? Unit::Avx512
                                                                                          : Unit::None;
  return chosen;
}

const char* why_not_chosen(Unit u) noexcept {
  if (u == unit()) return nullptr;
  if (const char* why = refusal(u)) return why;
  // VDPBF16PS runs at a quarter of the FMA rate on Intel's cores, which
  // makes it slower than widening to f32 there; AMD's run it at full rate.
  if (u == Unit::Avx512 && unit() == Unit::None) return "slower than the widened path on this vendor's cores";
  return "bf16 products use AMX";
}

namespace {

// Elements a piece of a scan takes: a few microseconds' work.
constexpr std::size_t kScanGrain = std::size_t(1) << 16;

// The exponents of n elements, scanned in ranges on the pool's threads and
// merged (the merge is order-free: an or, a minimum and a maximum).
Exponents scan(const BF16* data, std::size_t n) {
  const auto* p = reinterpret_cast<const std::uint16_t*>(data);
  std::atomic<bool> special{false};
  std::atomic<std::uint32_t> lo{0xff}, hi{0};
  exec::parallel_for(n, kScanGrain, [&](std::size_t begin, std::size_t end) {
    Exponents e;
    scan_avx512(p + begin, end - begin, e);
    if (e.special) special.store(true, std::memory_order_relaxed);
    for (auto m = lo.load(); e.min < m && !lo.compare_exchange_weak(m, e.min);) {
    }
    for (auto m = hi.load(); e.max > m && !hi.compare_exchange_weak(m, e.max);) {
    }
  });
  return Exponents{special.load(), lo.load(), hi.load()};
}

}  // namespace

bool exact_on_units(const View<BF16>& a, const View<BF16>& b, std::size_t k) {
  if (!is_dense(a.shape, a.strides) || !is_dense(b.shape, b.strides)) return false;
  const Exponents ea = scan(a.data, numel(a.shape)), eb = scan(b.data, numel(b.shape));
  if (ea.special || eb.special) return false;
  if (ea.min == 0xff || eb.min == 0xff) return true;  // an operand of zeros: every product is zero
  const std::uint32_t log2_k = k <= 1 ? 0 : std::uint32_t(std::bit_width(k - 1));
  return ea.min + eb.min >= 142 && ea.max + eb.max + log2_k <= 379;
}

void gemm(Unit u, std::size_t m, std::size_t n, std::size_t k, const BF16* a, std::ptrdiff_t a_rs,
          std::ptrdiff_t a_cs, const BF16* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, float* c,
          std::ptrdiff_t c_rs) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    for (std::size_t i = 0; i < m; ++i) std::fill_n(c + std::ptrdiff_t(i) * c_rs, n, 0.0f);
    return;
  }
  const auto* a16 = reinterpret_cast<const std::uint16_t*>(a);
  const auto* b16 = reinterpret_cast<const std::uint16_t*>(b);
  if (u == Unit::Amx) return gemm_amx(m, n, k, a16, a_rs, a_cs, b16, b_rs, b_cs, c, c_rs);
  gemm_avx512(m, n, k, a16, a_rs, a_cs, b16, b_rs, b_cs, c, c_rs);
}

}  // namespace mirel::bf16_gemm
