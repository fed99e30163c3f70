// The math functions: every variant this CPU runs gives the portable one's
// bits; f32 results within 1 ulp of a double-precision reference; all 65,536
// f16 and bf16 inputs correctly rounded; the special values C99 Annex F gives.
// Every f32 input is measured by scripts/check_math_exhaustive.sh instead.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/math/unary.hpp"
#include "engine/cpu/numeric/table.hpp"

namespace mirel {
namespace {

float f32(std::uint32_t u) { return std::bit_cast<float>(u); }
std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

// Zeros, subnormals, normals near 1 and the binade edges, the overflow and
// underflow thresholds of exp and sigmoid, tanh's branch point, gelu's bound
// 14.5 and the zero of its slope near -0.7518, infinities and
// NaNs with payloads, each with both signs; then random bit patterns.
std::vector<float> f32_samples(std::size_t random) {
  std::vector<float> s;
  for (std::uint32_t sign : {0u, 0x8000'0000u}) {
    for (std::uint32_t u : {0u, 1u, 0x0000'0101u, 0x007f'ffffu, 0x0080'0000u, 0x0080'0001u, 0x3f35'04f3u, 0x3f7f'ffffu,
                            0x3f80'0000u, 0x3f80'0001u, 0x3f0c'cccdu, 0x3f0c'cccbu, 0x42b1'7217u, 0x42b1'7218u,
                            0x42b2'0000u, 0x42ae'ac4fu, 0x42ae'ac50u, 0x42cf'f1b4u, 0x42cf'f1b5u, 0x42d0'0000u,
                            0x4110'0000u, 0x4120'0000u, 0x4168'0000u, 0x4167'ffffu, 0x4168'0001u, 0x3f40'7400u,
                            0x3f40'7500u, 0x7f7f'ffffu, 0x7f80'0000u, 0x7f80'0001u, 0x7fa0'1234u,
                            0x7fc0'0000u, 0x7fff'ffffu}) {
      s.push_back(f32(sign | u));
    }
  }
  std::mt19937 rng(5);
  for (std::size_t i = 0; i < random; ++i) s.push_back(f32(rng()));
  // Moderate magnitudes, where most of each function happens.
  std::uniform_real_distribution<float> moderate(-20.0f, 20.0f);
  for (std::size_t i = 0; i < random; ++i) s.push_back(moderate(rng));
  return s;
}

using test::all_halves;

template <class T>
std::vector<T> run(UnaryLoop<T, T> loop, const std::vector<T>& x) {
  std::vector<T> y(x.size());
  loop(x.size(), y.data(), x.data());
  return y;
}

// Every variant against the portable one, bit for bit, from unaligned starts
// and with every tail length.
template <class F, class T>
void check_variants(const char* name, const std::vector<T>& x) {
  const auto& v = UnaryLoops<F, T, T>::variants;
  for (std::size_t i = 1; i < kIsaCount; ++i) {
    if (!isa_supported(Isa(i))) continue;
    for (std::size_t start = 0; start < 3; ++start) {
      const std::size_t n = x.size() - start - (start * 7) % 17;
      std::vector<T> want(n), got(n);
      v.by_isa[0](n, want.data(), x.data() + start);
      v.by_isa[i](n, got.data(), x.data() + start);
      CHECK(std::memcmp(want.data(), got.data(), n * sizeof(T)) == 0, "%s on %s from %zu: differs", name, isa_name(Isa(i)),
            start);
    }
  }
}

template <class T>
void check_all_variants(const std::vector<T>& x) {
  check_variants<Exp>("exp", x);
  check_variants<Log>("log", x);
  check_variants<Tanh>("tanh", x);
  check_variants<Sigmoid>("sigmoid", x);
  check_variants<Gelu>("gelu", x);
  check_variants<Sqrt>("sqrt", x);
  check_variants<Square>("square", x);
  check_variants<Abs>("abs", x);
  check_variants<Neg>("neg", x);
}

TEST(math_variants_match_portable) {
  check_all_variants(f32_samples(50'000));
  check_all_variants(all_halves<F16>());
  check_all_variants(all_halves<BF16>());
}

// Note [functors on the math kernels]: a gradient rule and a one-operand
// functor on a kernel give, on every variant, every layout the loops take and
// every tail, the bits of the scalar kernel and one rounding.
struct ExpOfRule {  // g * exp(x)
  template <class K> static constexpr auto kernel = &K::exp;
  template <class V> [[gnu::always_inline]] static V inner(V x) noexcept { return x; }
  template <class V> [[gnu::always_inline]] V operator()(V g, V, V e) const noexcept { return g * e; }
};
struct TanhSquared {
  template <class K> static constexpr auto kernel = &K::tanh;
  template <class V> [[gnu::always_inline]] static V inner(V x) noexcept { return x; }
  template <class V> [[gnu::always_inline]] static V outer(V, V t) noexcept { return t * t; }
};

template <class T>
void check_composed(const std::vector<T>& x) {
  using K = isa_portable::MathKernels<isa_portable::ScalarLanes>;
  std::vector<T> g(x.rbegin(), x.rend());
  const std::size_t n = x.size() - 1;  // an odd length: every variant has a tail
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    if (!isa_supported(Isa(i))) continue;
    for (std::ptrdiff_t sx : {0, 1, 2}) {
      const std::size_t m = sx == 2 ? n / 2 : n;
      std::vector<T> got(m);
      BinaryLoops<Widened<ExpOfRule>, T, T>::variants.by_isa[i](m, got.data(), 1, g.data(), 1, x.data(), sx);
      for (std::size_t j = 0; j < m; ++j) {
        const T want = narrow<T>(widen(g[j]) * K::exp(widen(x[j * std::size_t(sx)])));
        if (std::memcmp(&want, &got[j], sizeof(T)) != 0) {
          CHECK(false, "g * exp(x) on %s, stride %td: element %zu differs", isa_name(Isa(i)), sx, j);
          break;
        }
      }
    }
    std::vector<T> got(n);
    UnaryLoops<TanhSquared, T, T>::variants.by_isa[i](n, got.data(), x.data());
    for (std::size_t j = 0; j < n; ++j) {
      const float t = K::tanh(widen(x[j]));
      const T want = narrow<T>(t * t);
      if (std::memcmp(&want, &got[j], sizeof(T)) != 0) {
        CHECK(false, "tanh(x)^2 on %s: element %zu differs", isa_name(Isa(i)), j);
        break;
      }
    }
  }
}

TEST(functors_composed_of_the_kernels_match_the_scalar_kernels) {
  check_composed(f32_samples(20'000));
  check_composed(all_halves<F16>());
  check_composed(all_halves<BF16>());
}

struct Reference {
  const char* name;
  const Variants<UnaryLoop<float, float>>& f32;
  const Variants<UnaryLoop<F16, F16>>& f16;
  const Variants<UnaryLoop<BF16, BF16>>& bf16;
  double (*exact)(double);
  bool transcendental;  // else the double result is exact, or correctly rounded and never a half midpoint
  // Below this |x| the reference is a series whose first neglected term's
  // sign it keeps (gelu: x/2 + x^2/sqrt(2 pi)): right on which side of a
  // midpoint it lies however close.
  double series_below = 0;
};

template <class F>
Reference reference(const char* name, double (*exact)(double), bool transcendental = true, double series_below = 0) {
  return {name, UnaryLoops<F, float, float>::variants, UnaryLoops<F, F16, F16>::variants,
          UnaryLoops<F, BF16, BF16>::variants, exact, transcendental, series_below};
}

const Reference kReferences[] = {
    reference<Exp>("exp", Exp::exact),
    reference<Log>("log", Log::exact),
    reference<Tanh>("tanh", Tanh::exact),
    reference<Sigmoid>("sigmoid", Sigmoid::exact),
    reference<Gelu>("gelu", Gelu::exact, true, 0x1p-20),
    reference<Sqrt>("sqrt", [](double x) { return std::sqrt(x); }, false),
    reference<Square>("square", [](double x) { return x * x; }, false),
};

// The ulp of the exact value at f32 precision, subnormals included.
double f32_ulp(double exact) {
  int e = 0;
  std::frexp(exact, &e);
  return std::ldexp(1.0, std::max(e - 1, -126) - 23);
}

TEST(f32_math_within_one_ulp) {
  const std::vector<float> x = f32_samples(200'000);
  for (const Reference& r : kReferences) {
    const std::vector<float> y = run(r.f32.best(), x);
    int reported = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double exact = r.exact(double(x[i]));
      bool ok;
      if (std::isnan(exact)) ok = std::isnan(y[i]);
      else if (std::isinf(y[i]) && !std::isinf(exact)) ok = std::fabs(exact) >= 0x1.ffffffp127;  // rounds to inf
      else if (std::isinf(exact)) ok = double(y[i]) == exact;
      else ok = std::fabs(double(y[i]) - exact) <= f32_ulp(exact);
      CHECK(ok || reported++ >= 3, "%s(%a) = %a, exact %a", r.name, double(x[i]), double(y[i]), exact);
    }
  }
}

// The half value nearest d, ties to even, found among the neighbours of d's
// f32 rounding without rounding twice.
template <class H>
H nearest(double d) {
  const H h = H::from_float(float(d));
  if (std::isnan(d) || std::isinf(double(h.to_float()))) return h;  // overflow: the reference is far from the edge
  H best = h;
  for (int step : {-1, 1}) {
    const H c = H::from_bits(std::uint16_t(h.bits + step));
    if (c.is_nan() || ((c.bits ^ h.bits) & 0x8000u)) continue;
    const double dc = std::fabs(double(c.to_float()) - d), db = std::fabs(double(best.to_float()) - d);
    if (dc < db || (dc == db && (c.bits & 1u) == 0)) best = c;
  }
  return best;
}

// gelu's gradient rule (GeluGrad, on the kernel gelu_slope), given g = 1: the
// same bits on every variant as on the portable one, for every layout and
// tail; in f32 the slope Phi(x) + x phi(x) within 1 ulp of a double
// reference, or within 2^-40 of it where the slope is near its zero.
template <class T>
void check_gelu_slope(const std::vector<T>& x) {
  const auto& v = BinaryLoops<Widened<GeluGrad>, T, T>::variants;
  const std::vector<T> g(x.size(), narrow<T>(1.0f));
  const std::size_t n = x.size() - 1;
  std::vector<T> want(n), got(n);
  v.by_isa[0](n, want.data(), 1, g.data(), 1, x.data(), 1);
  for (std::size_t i = 1; i < kIsaCount; ++i) {
    if (!isa_supported(Isa(i))) continue;
    v.by_isa[i](n, got.data(), 1, g.data(), 1, x.data(), 1);
    CHECK(std::memcmp(want.data(), got.data(), n * sizeof(T)) == 0, "gelu slope on %s differs", isa_name(Isa(i)));
    v.by_isa[i](n / 2, got.data(), 1, g.data(), 0, x.data(), 2);  // a broadcast g, a strided x
    for (std::size_t j = 0; j < n / 2; ++j) {
      if (std::memcmp(&got[j], &want[2 * j], sizeof(T)) != 0) {
        CHECK(false, "gelu slope on %s, stride 2: element %zu differs", isa_name(Isa(i)), j);
        break;
      }
    }
  }
  if constexpr (std::is_same_v<T, float>) {
    int reported = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const double d = x[j];
      if (std::isnan(d)) {
        CHECK(std::isnan(want[j]), "gelu slope(NaN)");
        continue;
      }
      const double exact = std::isinf(d) ? (d > 0 ? 1.0 : 0.0)
                                         : 0.5 * std::erfc(-d * 0x1.6a09e667f3bcdp-1) +
                                               d * std::exp(-0.5 * d * d) * 0x1.9884533d43651p-2;
      const double err = std::fabs(double(want[j]) - exact);
      CHECK(err <= f32_ulp(exact) || err <= 0x1p-40 || reported++ >= 3, "gelu slope(%a) = %a, exact %a", d,
            double(want[j]), exact);
    }
  }
}

TEST(gelu_slope_within_bounds_on_every_variant) {
  check_gelu_slope(f32_samples(50'000));
  check_gelu_slope(all_halves<F16>());
  check_gelu_slope(all_halves<BF16>());
}

// The reference is a double result of glibc's exp, log, tanh (within an ulp,
// 2^-52 relative) or of three double operations (sigmoid, within 2^-50): it
// decides the rounding to a half type whenever it lies farther than 2^-40
// relative from every rounding midpoint, which the test checks too (their
// exact results are never midpoints). sqrt's double result is correctly
// rounded with 53 >= 2 * 11 + 2 bits, square's is exact.
template <class H>
void check_half_rounding(const char* type, const Reference& r, const Variants<UnaryLoop<H, H>>& loops) {
  const std::vector<H> x = all_halves<H>();
  const std::vector<H> y = run(loops.best(), x);
  int reported = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double exact = r.exact(double(x[i].to_float()));
    if (std::isnan(exact)) {
      CHECK(y[i].is_nan(), "%s %s(0x%04zx) is not NaN", type, r.name, i);
      continue;
    }
    const H want = nearest<H>(exact);
    CHECK(y[i].bits == want.bits || reported++ >= 3, "%s %s(0x%04zx) = 0x%04x, want 0x%04x", type, r.name, i, y[i].bits,
          want.bits);
    if (!r.transcendental || std::isinf(exact) || std::fabs(double(x[i].to_float())) < r.series_below) continue;
    const bool settled = nearest<H>(exact * (1 + 0x1p-40)).bits == want.bits &&
                         nearest<H>(exact * (1 - 0x1p-40)).bits == want.bits;
    CHECK(settled, "%s %s(0x%04zx): the reference is too close to a midpoint", type, r.name, i);
  }
}

TEST(half_math_correctly_rounded) {
  for (const Reference& r : kReferences) {
    check_half_rounding<F16>("f16", r, r.f16);
    check_half_rounding<BF16>("bf16", r, r.bf16);
  }
}

// Every element of 37 copies of x (vector steps and the tail) through `loop`.
template <class T>
bool all_give(UnaryLoop<T, T> loop, T x, T want) {
  std::vector<T> in(37, x), out(37);
  loop(in.size(), out.data(), in.data());
  for (const T& y : out) {
    if (std::memcmp(&y, &want, sizeof(T)) != 0) return false;
  }
  return true;
}

// C99 Annex F's special values, and NaN payloads: an input NaN comes out
// quieted with its sign and payload (abs and neg change only the sign bit).
TEST(math_special_values) {
  const float inf = INFINITY, nan = f32(0xffc0'0000u);  // the default NaN
  struct Case {
    UnaryLoop<float, float> loop;
    float x, want;
  };
  const auto exp = UnaryLoops<Exp, float, float>::best, log = UnaryLoops<Log, float, float>::best;
  const auto tanh = UnaryLoops<Tanh, float, float>::best, sigmoid = UnaryLoops<Sigmoid, float, float>::best;
  const auto sqrt = UnaryLoops<Sqrt, float, float>::best, square = UnaryLoops<Square, float, float>::best;
  const auto abs = UnaryLoops<Abs, float, float>::best, neg = UnaryLoops<Neg, float, float>::best;
  const auto gelu = UnaryLoops<Gelu, float, float>::best;
  const Case cases[] = {
      {exp, inf, inf},        {exp, -inf, 0.0f},          {exp, 0.0f, 1.0f},         {exp, -0.0f, 1.0f},
      {exp, 88.73f, inf},     {exp, -104.0f, 0.0f},       {exp, -103.0f, 0x1p-149f}, {log, 0.0f, -inf},
      {log, -0.0f, -inf},     {log, -1.0f, nan},          {log, -inf, nan},          {log, inf, inf},
      {log, 1.0f, 0.0f},      {tanh, 0.0f, 0.0f},         {tanh, -0.0f, -0.0f},      {tanh, inf, 1.0f},
      {tanh, -inf, -1.0f},    {sqrt, -0.0f, -0.0f},       {sqrt, -1.0f, nan},        {sqrt, inf, inf},
      {sigmoid, -inf, 0.0f},  {sigmoid, inf, 1.0f},       {sigmoid, 0.0f, 0.5f},     {sigmoid, -0.0f, 0.5f},
      {abs, -0.0f, 0.0f},     {neg, 0.0f, -0.0f},         {square, -3.0f, 9.0f},
      {gelu, inf, inf},       {gelu, -inf, -0.0f},        {gelu, 0.0f, 0.0f},        {gelu, -0.0f, -0.0f},
      {gelu, 14.5f, 14.5f},   {gelu, -14.4f, -0.0f},      {gelu, -0x1p-149f, -0.0f}, {gelu, 0x1p-149f, 0x1p-149f},
      {neg, f32(0x7f80'0001u), f32(0xff80'0001u)},        {abs, f32(0xffc0'1234u), f32(0x7fc0'1234u)},
  };
  for (const Case& c : cases) {
    CHECK(all_give(c.loop, c.x, c.want), "x = %a (0x%08x): want 0x%08x", double(c.x), bits(c.x), bits(c.want));
  }
  for (const Reference& r : kReferences) {
    for (std::uint32_t u : {0x7f80'0001u, 0xffa0'1234u, 0x7fc0'0000u}) {
      CHECK(all_give(r.f32.best(), f32(u), f32(u | 0x0040'0000u)), "%s(0x%08x)", r.name, u);
    }
    for (std::uint16_t u : {0x7c01, 0xfd23}) {
      CHECK(all_give(r.f16.best(), F16::from_bits(u), F16::from_bits(std::uint16_t(u | 0x0200u))), "f16 %s(0x%04x)", r.name, u);
    }
    for (std::uint16_t u : {0x7f81, 0xffa3}) {
      CHECK(all_give(r.bf16.best(), BF16::from_bits(u), BF16::from_bits(std::uint16_t(u | 0x0040u))), "bf16 %s(0x%04x)", r.name, u);
    }
  }
}

// The array form keeps the operand's layout and runs the best loop over the
// whole buffer, empty arrays included.
TEST(unary_keeps_layout) {
  for (Order order : {Order::RowMajor, Order::ColMajor}) {
    NdArray<BF16> a = NdArray<BF16>::uninit(Shape{3, 37}, order);
    for (std::size_t i = 0; i < a.size(); ++i) a.data()[i] = BF16::from_float(float(i) / 16 - 3);
    const NdArray<BF16> y = unary<Tanh>(a);
    CHECK(y.shape() == a.shape() && y.strides() == a.strides(), "layout changed");
    std::vector<BF16> want(a.size());
    UnaryLoops<Tanh, BF16, BF16>::best(a.size(), want.data(), a.data());
    CHECK(std::memcmp(want.data(), y.data(), a.size() * sizeof(BF16)) == 0, "values differ from the loop's");
  }
  CHECK(unary<Exp>(NdArray<float>::uninit(Shape{0, 4})).size() == 0);
}

}  // namespace
}  // namespace mirel
