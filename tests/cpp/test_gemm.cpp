// Every sgemm kernel this CPU runs against the blocked chain written out
// element by element (Note [summation order of products]), bit for bit: tile
// edges, k across block boundaries, every layout, and the values where
// orders and NaN rules show: wide exponents, ±0, ±inf, subnormals, NaNs with
// payloads in both operands.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/array/half.hpp"
#include "engine/cpu/gemm/sgemm.hpp"
#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {
namespace {

struct Operand {
  std::vector<float> data;
  std::ptrdiff_t rs, cs, base;  // element (i, j) at data[base + i*rs + j*cs]
  float at(std::size_t i, std::size_t j) const { return data[std::size_t(base + std::ptrdiff_t(i) * rs + std::ptrdiff_t(j) * cs)]; }
};

enum class Form { RowMajor, ColMajor, Padded, Spread, Reversed, Count };

float value(std::mt19937& rng, bool specials) {
  const std::uint32_t r = rng();
  if (specials) {
    switch (r % 23) {
      case 0: return std::bit_cast<float>(std::uint32_t(0x7fc0'0000u | (rng() & 0x3f'ffffu) | 1u));  // quiet, with a payload
      case 1: return std::bit_cast<float>(std::uint32_t(0xff80'0000u | (rng() & 0x3f'ffffu) | 1u));  // signalling, negative
      case 2: return INFINITY;
      case 3: return -INFINITY;
      case 4: return std::bit_cast<float>(std::uint32_t(rng() & 0x807f'ffffu));  // subnormal or ±0
      case 5: return -0.0f;
      default: break;
    }
  }
  // Wide exponents, so that the order of additions changes the rounding.
  return std::ldexp(float(int(r >> 8 & 0xffff) - 0x8000), int(r % 40) - 30);
}

Operand make(std::size_t rows, std::size_t cols, Form form, std::mt19937& rng, bool specials) {
  const auto r = std::ptrdiff_t(rows), c = std::ptrdiff_t(cols);
  Operand o{{}, c, 1, 0};
  switch (form) {
    case Form::ColMajor: o.rs = 1, o.cs = std::max<std::ptrdiff_t>(r, 1); break;
    case Form::Padded: o.rs = c + 5; break;
    case Form::Spread: o.rs = 3 * c + 1, o.cs = 3; break;
    case Form::Reversed: o.rs = -c, o.cs = -1; break;
    default: break;
  }
  std::ptrdiff_t lo = 0, hi = 0;
  if (rows && cols) {
    for (std::ptrdiff_t s : {o.rs * (r - 1), o.cs * (c - 1)}) (s < 0 ? lo : hi) += s;
  }
  o.base = -lo;
  o.data.assign(std::size_t(hi - lo + 1), 0.0f);
  for (std::size_t i = 0; i < rows; ++i) {
    for (std::size_t j = 0; j < cols; ++j) o.data[std::size_t(o.base + std::ptrdiff_t(i) * o.rs + std::ptrdiff_t(j) * o.cs)] = value(rng, specials);
  }
  return o;
}

// The order itself, one element at a time.
float blocked_chain(const Operand& a, const Operand& b, std::size_t i, std::size_t j, std::size_t k) {
  float result = 0.0f;
  for (std::size_t p0 = 0; p0 < k; p0 += kSumBlock) {
    float sum = 0.0f;
    for (std::size_t p = p0; p < std::min(k, p0 + kSumBlock); ++p) sum = chain_fma(sum, a.at(i, p), b.at(p, j));
    result = chain_add(sum, result);
  }
  return result;
}

void check_product(Isa isa, std::size_t m, std::size_t n, std::size_t k, Form fa, Form fb, std::mt19937& rng,
                   bool specials) {
  const Operand a = make(m, k, fa, rng, specials), b = make(k, n, fb, rng, specials);
  const std::ptrdiff_t c_rs = std::ptrdiff_t(n) + 2;
  std::vector<float> got(m * std::size_t(c_rs) + 1, -7.0f);
  sgemm_on(isa, m, n, k, a.data.data() + a.base, a.rs, a.cs, b.data.data() + b.base, b.rs, b.cs, got.data(), c_rs);
  std::size_t wrong = 0;
  for (std::size_t i = 0; i < m; ++i) {
    for (std::size_t j = 0; j < std::size_t(c_rs); ++j) {
      const float want = j < n ? blocked_chain(a, b, i, j, k) : -7.0f;  // padding untouched
      const float have = got[i * std::size_t(c_rs) + j];
      if (std::bit_cast<std::uint32_t>(want) != std::bit_cast<std::uint32_t>(have) && wrong++ == 0) {
        CHECK(false, "%s m=%zu n=%zu k=%zu forms %d/%d: C[%zu,%zu] = %08x, want %08x", isa_name(isa), m, n, k,
              int(fa), int(fb), i, j, std::bit_cast<std::uint32_t>(have), std::bit_cast<std::uint32_t>(want));
      }
    }
  }
  CHECK(got.back() == -7.0f, "%s wrote past C", isa_name(isa));
}

// Sides around every tile edge of every kernel (4, 6, 12 rows; 2, 16, 32 columns).
const std::size_t kSides[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 12, 13, 15, 16, 17, 24, 31, 32, 33, 47, 65};
const std::size_t kDepths[] = {0, 1, 2, 7, 255, 256, 257, 300, 512, 513, 777};

void check_isa(Isa isa, bool specials) {
  std::mt19937 rng(specials ? 11 : 7);
  const auto pick = [&rng](const auto& list) { return list[rng() % std::size(list)]; };
  for (int t = 0; t < 400; ++t) {
    const std::size_t m = pick(kSides), n = pick(kSides), k = pick(kDepths);
    check_product(isa, m, n, k, Form(rng() % int(Form::Count)), Form(rng() % int(Form::Count)), rng, specials);
  }
  // Wide enough for several packed blocks of B, and tall enough to pack it.
  check_product(isa, 70, 1100, 300, Form::RowMajor, Form::RowMajor, rng, specials);
  check_product(isa, 70, 1100, 300, Form::ColMajor, Form::ColMajor, rng, specials);
  check_product(isa, 3, 700, 260, Form::Padded, Form::RowMajor, rng, specials);
  check_product(isa, 300, 1, 600, Form::RowMajor, Form::RowMajor, rng, specials);  // computed transposed
  // Single rows across wide tiles: alone, after full bands, and transposed.
  check_product(isa, 1, 700, 300, Form::RowMajor, Form::Padded, rng, specials);
  check_product(isa, 7, 400, 260, Form::Padded, Form::RowMajor, rng, specials);
  check_product(isa, 500, 1, 300, Form::ColMajor, Form::Reversed, rng, specials);
  // Several blocks of packed rows of A, from every layout.
  check_product(isa, 300, 70, 300, Form::ColMajor, Form::RowMajor, rng, specials);
  check_product(isa, 270, 70, 260, Form::RowMajor, Form::ColMajor, rng, specials);
  check_product(isa, 150, 40, 20, Form::Spread, Form::Spread, rng, specials);
  check_product(isa, 20, 30, 260, Form::RowMajor, Form::Padded, rng, specials);
  // Rows 1 KiB apart (copied bands).
  check_product(isa, 40, 200, 256, Form::RowMajor, Form::RowMajor, rng, specials);
}

// Every sgemm kernel this process may run (the registry's family "sgemm").
template <class Check>
void each_kernel(Check check) {
  for (std::size_t i = 0; i <= std::size_t(exec::kFamilies[std::size_t(exec::Family::Sgemm)].widest); ++i) {
    if (isa_supported(Isa(i))) check(Isa(i));
  }
}

TEST(sgemm_kernels_are_the_blocked_chain) {
  each_kernel([](Isa isa) {
    check_isa(isa, false);
    check_isa(isa, true);
  });
}

// Half-precision operands, widened as they are packed, give the f32 product
// of their widened values: every layout, the packed and the widened-whole paths.
template <class H>
void check_half_products() {
  std::mt19937 rng(13);
  const std::size_t shapes[][3] = {{3, 5, 7}, {1, 300, 260}, {40, 1, 300}, {70, 90, 300}, {130, 70, 513}};
  for (const auto& [m, n, k] : shapes) {
    for (Form fa : {Form::RowMajor, Form::ColMajor, Form::Spread}) {
      for (Form fb : {Form::RowMajor, Form::ColMajor, Form::Spread}) {
        Operand a = make(m, k, fa, rng, false), b = make(k, n, fb, rng, false);
        std::vector<H> ha(a.data.size()), hb(b.data.size());
        for (std::size_t i = 0; i < ha.size(); ++i) a.data[i] = widen_bits(ha[i] = H::from_float(a.data[i]));
        for (std::size_t i = 0; i < hb.size(); ++i) b.data[i] = widen_bits(hb[i] = H::from_float(b.data[i]));
        std::vector<float> want(m * n, -7.0f), got(m * n, -7.0f);
        sgemm(m, n, k, a.data.data() + a.base, a.rs, a.cs, b.data.data() + b.base, b.rs, b.cs, want.data(),
              std::ptrdiff_t(n));
        sgemm(m, n, k, ha.data() + a.base, a.rs, a.cs, hb.data() + b.base, b.rs, b.cs, got.data(), std::ptrdiff_t(n));
        CHECK(std::memcmp(got.data(), want.data(), want.size() * sizeof(float)) == 0, "m=%zu n=%zu k=%zu forms %d/%d",
              m, n, k, int(fa), int(fb));
      }
    }
  }
}

TEST(sgemm_of_halves_is_the_product_of_their_widened_values) {
  check_half_products<F16>();
  check_half_products<BF16>();
}

// Long sums: ones over k give k exactly, where a running sum stops at 2^24.
TEST(sgemm_long_sums_stay_exact) {
  const std::size_t k = (std::size_t(1) << 24) + 4096;
  std::vector<float> ones(k, 1.0f);
  each_kernel([&](Isa isa) {
    float c = -1.0f;
    sgemm_on(isa, 1, 1, k, ones.data(), 0, 1, ones.data(), 1, 0, &c, 1);
    CHECK(c == float(k), "%s: %.1f", isa_name(isa), double(c));
  });
}

}  // namespace
}  // namespace mirel
