// Every bf16 unit this machine can run (not only the one picked at load)
// against the widened path: operands widened to f32 and multiplied by sgemm.
// Entries are small integers, so every sum is exact in binary32 and any
// summation order gives the same bits.
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/gemm/bf16_gemm.hpp"
#include "engine/cpu/gemm/sgemm.hpp"

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
    if (!bf16_gemm::unit_available(units[u])) {
      std::printf("  bf16 unit %s: skipped, not available here\n", names[u]);
      continue;
    }
    std::printf("  bf16 unit %s: tested\n", names[u]);
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

}  // namespace
}  // namespace mirel
