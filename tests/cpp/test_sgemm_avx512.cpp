// The AVX-512 product against the summation order it promises (a scalar model
// of the library's blocked sums), and wherever the library runs its SkylakeX
// kernels, against the library itself, bit for bit, NaN payloads included.
// The operands are not integers: every difference in order or rounding shows.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/gemm/blas.hpp"
#include "engine/cpu/gemm/blas_library.hpp"
#include "engine/cpu/gemm/sgemm_avx512.hpp"

namespace mirel {
namespace {

struct Product {
  std::size_t m, n, k;
  bool a_by_columns, b_by_columns;  // stored column after column, as a transposed view is
  std::size_t pad;                  // extra length of each row (or column) of B and of each row of C
};

struct Operands {
  std::vector<float> a, b;
  std::ptrdiff_t a_rs, a_cs, b_rs, b_cs, c_rs;
  float a_at(std::size_t i, std::size_t p) const { return a[i * std::size_t(a_rs) + p * std::size_t(a_cs)]; }
  float b_at(std::size_t p, std::size_t j) const { return b[p * std::size_t(b_rs) + j * std::size_t(b_cs)]; }
};

float nan_with(std::uint32_t payload, bool negative) {
  return std::bit_cast<float>((negative ? 0xFFC00000u : 0x7FC00000u) | payload);
}

// Magnitudes from 2^-40 to 2^40; with `special`, a sprinkling of signed zeros,
// infinities, NaNs with payloads, subnormals and values whose products underflow
// or overflow.
std::vector<float> values(std::size_t count, std::mt19937& rng, bool special) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-40, 40);
  std::vector<float> v(count);
  for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
  if (special) {
    const float kinds[] = {0.0f,        -0.0f,      INFINITY, -INFINITY, nan_with(1, false), nan_with(0x2345, true),
                           1e-40f,      -3e-42f,    1e-25f,   -2e-24f,   3e30f,              -1e32f};
    for (std::size_t i = rng() % 211; i < count; i += 1 + rng() % 211) v[i] = kinds[rng() % std::size(kinds)];
  }
  return v;
}

Operands make(const Product& s, std::mt19937& rng, bool special) {
  Operands o{values(s.m * s.k, rng, special), values((s.k + s.pad) * (s.n + s.pad), rng, special),
             std::ptrdiff_t(s.k), 1, std::ptrdiff_t(s.n + s.pad), 1, std::ptrdiff_t(s.n + s.pad)};
  if (s.a_by_columns) o.a_rs = 1, o.a_cs = std::ptrdiff_t(s.m);
  if (s.b_by_columns) o.b_rs = 1, o.b_cs = std::ptrdiff_t(s.k + s.pad);
  return o;
}

// The library's own call for the product.
void library_product(const Product& s, const Operands& o, float* c) {
  blas_library()->sgemm(CblasRowMajor, s.a_by_columns ? CblasTrans : CblasNoTrans,
                        s.b_by_columns ? CblasTrans : CblasNoTrans, blasint(s.m), blasint(s.n), blasint(s.k), 1.0f,
                        o.a.data(), blasint(s.a_by_columns ? o.a_cs : o.a_rs), o.b.data(),
                        blasint(s.b_by_columns ? o.b_cs : o.b_rs), 0.0f, c, blasint(o.c_rs));
}

// Element (i, j) summed in the library's blocks of k.
float model(const Product& s, const Operands& o, std::size_t i, std::size_t j) {
  float c = 0.0f;
  for (std::size_t p0 = 0; p0 < s.k;) {
    const std::size_t depth = sgemm_avx512::block_depth(s.k - p0);
    float sum = 0.0f;
    for (std::size_t p = p0; p < p0 + depth; ++p) sum = std::fma(o.a_at(i, p), o.b_at(p, j), sum);
    c = c + sum;
    p0 += depth;
  }
  return c;
}

// C with its padding set to a marker the product must leave alone.
std::vector<float> fresh_c(const Product& s) { return std::vector<float>(s.m * (s.n + s.pad), -7.0f); }

std::vector<float> run_kernel(const Product& s, const Operands& o) {
  std::vector<float> c = fresh_c(s);
  sgemm_avx512::gemm(s.m, s.n, s.k, o.a.data(), o.a_rs, o.a_cs, o.b.data(), o.b_rs, o.b_cs, c.data(), o.c_rs);
  return c;
}

bool same_bits(float x, float y) { return std::bit_cast<std::uint32_t>(x) == std::bit_cast<std::uint32_t>(y); }

// Around the cuts of k (448, 449, 895, 896, 897), every height of the last band
// of rows, n not a multiple of 32, A and B by rows and by columns (some rows of
// A a multiple of 1 KiB apart, read from a copy), padded rows, and the smallest
// products taken.
constexpr Product kProducts[] = {
    {256, 256, 784, false, false, 0}, {256, 256, 784, true, false, 0}, {784, 256, 256, true, false, 0},
    {256, 256, 256, false, true, 0},  {37, 45, 3001, false, true, 3},  {61, 97, 897, true, true, 0},
    {200, 33, 896, false, false, 1},  {50, 70, 1345, true, false, 5},  {500, 140, 64, false, true, 0},
    {300, 40, 449, true, false, 2},   {37, 260, 448, false, false, 0}, {32, 32, 4096, true, true, 0},
    {64, 64, 1024, false, false, 7},  {48, 48, 1821, false, true, 0},  {100, 57, 777, true, true, 9},
    // The remaining heights of the last band of rows: m % 12 = 3, 5, 6, 7, 9, 10, 11.
    {39, 70, 1600, false, true, 0},   {41, 64, 1700, true, false, 0},  {42, 64, 1600, false, false, 2},
    {43, 64, 1600, true, true, 0},    {45, 64, 1500, false, false, 0}, {46, 64, 1500, true, false, 1},
    {47, 64, 1400, false, true, 0},
};

// Calls check(product, operands, label, kernel's result) for every product of
// kProducts, once with plain values and once with special ones.
template <class Check>
void for_each_kernel_result(unsigned seed, Check check) {
  std::mt19937 rng(seed);
  for (const Product& s : kProducts) {
    for (bool special : {false, true}) {
      const Operands o = make(s, rng, special);
      char label[96];
      std::snprintf(label, sizeof label, "m=%zu n=%zu k=%zu%s%s pad %zu%s", s.m, s.n, s.k,
                    s.a_by_columns ? " A by columns" : "", s.b_by_columns ? " B by columns" : "", s.pad,
                    special ? " special" : "");
      check(s, o, label, run_kernel(s, o));
    }
  }
}

TEST(avx512_sgemm_sums_in_the_library_order) {
  if (!sgemm_avx512::cpu_runs()) {
    std::printf("  AVX-512 sgemm: skipped, not on this CPU\n");
    return;
  }
  for_each_kernel_result(3, [](const Product& s, const Operands& o, const char* label, const std::vector<float>& got) {
    CHECK(sgemm_avx512::takes(s.m, s.n, s.k, o.a_rs, o.a_cs, o.b_rs, o.b_cs, o.c_rs), "%s", label);
    std::size_t wrong = 0, marks = 0;
    for (std::size_t i = 0; i < s.m; ++i) {
      for (std::size_t j = 0; j < s.n + s.pad; ++j) {
        const float g = got[i * std::size_t(o.c_rs) + j];
        if (j >= s.n) {
          marks += g != -7.0f;
          continue;
        }
        const float w = model(s, o, i, j);
        wrong += !(same_bits(g, w) || (std::isnan(g) && std::isnan(w)));
      }
    }
    CHECK(wrong == 0 && marks == 0, "%s: %zu elements differ, %zu past the row changed", label, wrong, marks);
  });
}

TEST(avx512_sgemm_gives_the_library_bits) {
  if (!sgemm_avx512::chosen()) {
    std::printf("  AVX-512 sgemm against the library: skipped, not chosen on this machine\n");
    return;
  }
  for_each_kernel_result(4, [](const Product& s, const Operands& o, const char* label, const std::vector<float>& got) {
    std::vector<float> want = fresh_c(s);
    library_product(s, o, want.data());
    CHECK(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)) == 0, "%s", label);
  });
}

// Through the door every product takes, on both sides of the smallest one the
// kernel takes: whichever computes it, the bits are the library's.
TEST(sgemm_gives_the_library_bits_either_side_of_the_kernel) {
  std::mt19937 rng(5);
  const Product sides[] = {{31, 64, 4096, false, false, 0}, {32, 32, 4095, false, true, 0},
                           {32, 32, 4096, false, true, 0},  {64, 64, 31, false, false, 0},
                           {64, 64, 1023, true, false, 0},  {64, 64, 1024, true, false, 0},
                           {96, 48, 900, false, true, 0},   {2000, 31, 100, false, false, 0},
                           {40, 600, 300, true, true, 0}};
  for (const Product& s : sides) {
    const Operands o = make(s, rng, false);
    std::vector<float> got = fresh_c(s), want = fresh_c(s);
    sgemm(s.m, s.n, s.k, o.a.data(), o.a_rs, o.a_cs, o.b.data(), o.b_rs, o.b_cs, got.data(), o.c_rs);
    library_product(s, o, want.data());
    CHECK(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)) == 0, "m=%zu n=%zu k=%zu", s.m, s.n, s.k);
  }
}

}  // namespace
}  // namespace mirel
