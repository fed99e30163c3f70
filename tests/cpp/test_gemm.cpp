// The tiled BLAS path (gemm_blocked with small limits: tiles, packed operands,
// a staged C, partial sums over k) against one untiled call. Entries are small
// integers, so every sum is exact and any summation order gives the same bits.
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/gemm/blas.hpp"

namespace mirel {
namespace {

// An m × n operand stored with strides (rs, cs) in a buffer of its own.
struct Operand {
  std::vector<float> data;
  std::ptrdiff_t rs, cs;
};

enum class Form { RowMajor, ColMajor, Spread };

Operand make(std::size_t rows, std::size_t cols, Form form, std::mt19937& rng) {
  std::ptrdiff_t rs = std::ptrdiff_t(cols), cs = 1;
  if (form == Form::ColMajor) rs = 1, cs = std::ptrdiff_t(rows);
  if (form == Form::Spread) rs = std::ptrdiff_t(3 * cols + 1), cs = 3;  // neither stride 1: packed
  const std::size_t extent = rows && cols ? (rows - 1) * std::size_t(rs) + (cols - 1) * std::size_t(cs) + 1 : 1;
  Operand o{std::vector<float>(extent, 0.0f), rs, cs};
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) o.data[i * std::size_t(rs) + j * std::size_t(cs)] = float(int(rng() % 9) - 4);
  }
  return o;
}

TEST(tiled_sgemm_matches_one_call) {
  std::mt19937 rng(5);
  const std::size_t shapes[][3] = {{1, 1, 1}, {7, 5, 3}, {16, 9, 13}, {33, 17, 20}, {5, 40, 1}, {2, 3, 0}};
  for (const auto& [m, n, k] : shapes) {
    for (Form fa : {Form::RowMajor, Form::ColMajor, Form::Spread}) {
      for (Form fb : {Form::RowMajor, Form::ColMajor, Form::Spread}) {
        const Operand a = make(m, k, fa, rng), b = make(k, n, fb, rng);
        for (std::ptrdiff_t c_rs : {std::ptrdiff_t(n), std::ptrdiff_t(n + 3)}) {
          std::vector<float> want(m * std::size_t(c_rs) + 1, -7.0f);
          sgemm(m, n, k, a.data.data(), a.rs, a.cs, b.data.data(), b.rs, b.cs, want.data(), c_rs);
          for (std::size_t limit : {1, 2, 3, 5, 8}) {
            std::vector<float> got(want.size(), -7.0f);
            gemm_blocked(limit, m, n, k, a.data.data(), a.rs, a.cs, b.data.data(), b.rs, b.cs, got.data(), c_rs);
            CHECK(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)) == 0,
                  "m=%zu n=%zu k=%zu forms %d/%d c_rs=%td limit=%zu", m, n, k, int(fa), int(fb), c_rs, limit);
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace mirel
