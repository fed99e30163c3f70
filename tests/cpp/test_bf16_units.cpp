// Every bf16 unit this machine can run (not only the one picked at load, and
// also one its probe rejects)
// against the widened path: operands widened to f32 and multiplied by sgemm.
// Entries are small integers, so every sum is exact in binary32 and any
// summation order gives the same bits. Then each unit against its own order
// written out, on values where orders round differently.
#include <bit>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/gemm/bf16_gemm.hpp"
#include "engine/cpu/gemm/bf16_units.hpp"
#include "engine/cpu/gemm/sgemm.hpp"
#if defined(MIREL_EMULATE_AVX512)
#include "engine/cpu/exec/emu/amx.hpp"
#endif

namespace mirel {
namespace {

using bf16_gemm::Unit;

struct Matrix {
  std::vector<BF16> data;
  std::vector<float> wide;
  std::ptrdiff_t rs, cs;
};

// rows × cols, row-major or (transposed) column-major.
Matrix make(std::size_t rows, std::size_t cols, bool col_major, std::mt19937& rng) {
  Matrix x{std::vector<BF16>(rows * cols), std::vector<float>(rows * cols), std::ptrdiff_t(cols), 1};
  if (col_major) x.rs = 1, x.cs = std::ptrdiff_t(rows);
  for (std::size_t i = 0; i < x.data.size(); ++i) {
    x.wide[i] = float(int(rng() % 17) - 8);
    x.data[i] = BF16::from_float(x.wide[i]);
  }
  return x;
}

TEST(bf16_units_match_widened_products) {
  const Unit units[] = {Unit::Avx512, Unit::Amx};
  const char* names[] = {"AVX-512 BF16", "AMX"};
  for (std::size_t u = 0; u < 2; ++u) {
    // Whatever the load-time probe says: small integers sum exactly in any order.
    if (!bf16_gemm::unit_runs(units[u])) {
      std::printf("  bf16 unit %s: skipped, not on this CPU\n", names[u]);
      continue;
    }
    std::printf("  bf16 unit %s: tested (its load-time probe %s it)\n", names[u],
                bf16_gemm::unit_available(units[u]) ? "accepts" : "rejects");
    std::mt19937 rng(11);
    const std::size_t shapes[][3] = {{1, 1, 1}, {3, 5, 7}, {8, 32, 32}, {9, 31, 33}, {17, 65, 300},
                                     {97, 1027, 515}, {16, 16, 1}, {2, 3, 0}};
    for (const auto& [m, n, k] : shapes) {
      for (bool ta : {false, true}) {
        for (bool tb : {false, true}) {
          const Matrix a = make(m, k, ta, rng), b = make(k, n, tb, rng);
          std::vector<float> want(m * n + 1, -7.0f), got(m * n + 1, -7.0f);
          sgemm(m, n, k, a.wide.data(), a.rs, a.cs, b.wide.data(), b.rs, b.cs, want.data(), std::ptrdiff_t(n));
          bf16_gemm::gemm(units[u], m, n, k, a.data.data(), a.rs, a.cs, b.data.data(), b.rs, b.cs, got.data(),
                          std::ptrdiff_t(n));
          CHECK(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)) == 0,
                "%s m=%zu n=%zu k=%zu a%s b%s", names[u], m, n, k, ta ? "T" : "", tb ? "T" : "");
        }
      }
    }
  }
}

// Normal values near 1 (no subnormal product or sum), all bits of the mantissa in use.
Matrix make_normal(std::size_t rows, std::size_t cols, std::mt19937& rng) {
  Matrix x{std::vector<BF16>(rows * cols), std::vector<float>(rows * cols), std::ptrdiff_t(cols), 1};
  for (std::size_t i = 0; i < x.data.size(); ++i) {
    x.data[i] = BF16::from_bits(std::uint16_t((rng() & 0x807fu) | (112u + rng() % 32u) << 7));
    x.wide[i] = x.data[i].to_float();
  }
  return x;
}

std::uint32_t pair(const Matrix& x, std::size_t i0, std::size_t j0, bool down, std::size_t limit) {
  auto at = [&](std::size_t e) -> std::uint32_t {
    if (e >= limit) return 0;
    const std::size_t i = down ? e : i0, j = down ? j0 : e;
    return x.data[i * std::size_t(x.rs) + j].bits;
  };
  const std::size_t e = down ? i0 : j0;
  return at(e) | at(e + 1) << 16;
}

// Element (i, j) as the unit sums it: per block of kSumBlock from +0, per
// instruction as its model says, each block's sum added to the result.
float unit_chain(Unit u, const Matrix& a, const Matrix& b, std::size_t i, std::size_t j, std::size_t k) {
  float result = 0.0f;
  for (std::size_t p0 = 0; p0 < k; p0 += kSumBlock) {
    float sum = 0.0f;
    const std::size_t end = std::min(k, p0 + kSumBlock);
    for (std::size_t e = p0; e < end; e += 32) {
      std::uint32_t ap[16], bp[16];
      for (std::size_t q = 0; q < 16; ++q) {
        ap[q] = pair(a, i, e + 2 * q, false, end);
        bp[q] = pair(b, e + 2 * q, j, true, end);
      }
      if (u == Unit::Amx) {
        sum = bf16_gemm::tdpbf16ps_model(sum, ap, bp);
        continue;
      }
      for (std::size_t q = 0; q < 16; ++q) {  // VDPBF16PS: the odd product, then the even one
        auto bf = [](std::uint32_t bits) { return std::bit_cast<float>(bits << 16); };
        sum += bf(ap[q] >> 16) * bf(bp[q] >> 16);
        sum += bf(ap[q] & 0xffffu) * bf(bp[q] & 0xffffu);
      }
    }
    result = sum + result;
  }
  return result;
}

TEST(bf16_units_sum_in_their_own_blocked_order) {
  // The model's order shows where adding pair by pair rounds twice.
  const std::uint32_t half_ulps[16] = {0x39803980u};  // 2^-12 in both halves
  CHECK(bf16_gemm::tdpbf16ps_model(1.0f, half_ulps, half_ulps) == 1.0f + 0x1p-23f);
  for (Unit u : {Unit::Avx512, Unit::Amx}) {
    if (!bf16_gemm::unit_available(u)) continue;
    std::mt19937 rng(3);
    const std::size_t shapes[][3] = {{1, 1, 40}, {5, 33, 255}, {17, 18, 256}, {16, 47, 600}};
    for (const auto& [m, n, k] : shapes) {
      const Matrix a = make_normal(m, k, rng), b = make_normal(k, n, rng);
      std::vector<float> got(m * n);
      bf16_gemm::gemm(u, m, n, k, a.data.data(), a.rs, a.cs, b.data.data(), b.rs, b.cs, got.data(),
                      std::ptrdiff_t(n));
      for (std::size_t i = 0; i < m; ++i) {
        for (std::size_t j = 0; j < n; ++j) {
          const float want = unit_chain(u, a, b, i, j, k);
          CHECK(std::bit_cast<std::uint32_t>(got[i * n + j]) == std::bit_cast<std::uint32_t>(want),
                "unit %d m=%zu n=%zu k=%zu (%zu, %zu)", int(u), m, n, k, i, j);
        }
      }
    }
  }
}

#if defined(MIREL_EMULATE_AVX512)
// The load-time probe tells the two orders of the software tile unit apart:
// it accepts the measured chains and refuses the manual's pair-by-pair order.
TEST(amx_probe_tells_the_tile_unit_orders_apart) {
  auto& order = emu::amx::order();
  const auto saved = order;
  order = emu::amx::Order::Chains;
  CHECK(bf16_gemm::amx_sums_like_the_model());
  order = emu::amx::Order::Manual;
  CHECK(!bf16_gemm::amx_sums_like_the_model());
  order = saved;
}
#endif

}  // namespace
}  // namespace mirel
