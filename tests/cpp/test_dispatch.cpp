// Every variant of every dispatched loop and half conversion that this CPU runs
// gives the portable variant's bytes, on every float class, all 65,536 half
// patterns, unaligned starts, odd lengths (vector tails) and every layout the
// loops take: unit, broadcast (stride 0) and other strides, output included.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <algorithm>
#include <memory>
#include <random>
#include <span>
#include <vector>

#include "check.hpp"
#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/relu.hpp"

namespace mirel {
namespace {

// Calls check(isa, fn) for every variant but the portable one that this CPU runs.
template <class Fn, class Check>
void each_variant(const Variants<Fn>& v, Check check) {
  for (std::size_t i = 1; i < kIsaCount; ++i) {
    if (isa_supported(Isa(i))) check(Isa(i), v.by_isa[i]);
  }
}

// Output of `count` elements of R as bytes, every byte preset to one pattern.
template <class R>
struct Output {
  explicit Output(std::size_t count) : bytes(count * sizeof(R) + sizeof(R), 0xa5) {}
  R* at(std::size_t i) { return reinterpret_cast<R*>(bytes.data()) + i; }
  std::vector<unsigned char> bytes;
};

// Index of the first differing element, or -1.
template <class T>
long first_difference(const std::vector<T>& a, const std::vector<T>& b) {
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::memcmp(&a[i], &b[i], sizeof(T)) != 0) return long(i);
  }
  return -1;
}

float from_bits(std::uint32_t u) { return std::bit_cast<float>(u); }

// Every float class: signed zeros, subnormals, normals, the largest values,
// infinities, quiet and signalling NaNs with payloads; every half value and
// the midpoints between neighbours (rounding ties) with their neighbours; and
// random bit patterns.
std::vector<float> float_samples() {
  std::vector<float> s;
  for (std::uint32_t sign : {0u, 0x8000'0000u}) {
    for (std::uint32_t u : {0u, 1u, 2u, 0x007f'ffffu, 0x0080'0000u, 0x3f80'0000u, 0x7f7f'ffffu, 0x7f80'0000u,
                            0x7f80'0001u, 0x7fa0'0000u, 0x7fc0'0000u, 0x7fc0'1234u, 0x7fff'ffffu, 0x477f'f000u,
                            0x477f'efffu, 0x3380'0000u, 0x3300'0000u, 0x3300'0001u}) {
      s.push_back(from_bits(sign | u));
    }
  }
  for (std::uint32_t h = 0; h < 0x1'0000u; ++h) {
    for (float x : {F16::from_bits(std::uint16_t(h)).to_float(), BF16::from_bits(std::uint16_t(h)).to_float()}) {
      s.push_back(x);
    }
    const float lo = F16::from_bits(std::uint16_t(h)).to_float(), hi = F16::from_bits(std::uint16_t(h + 1)).to_float();
    if (std::isfinite(lo) && std::isfinite(hi) && h != 0x7bffu && h != 0xfbffu && h != 0x7fffu) {
      const float mid = float((double(lo) + double(hi)) / 2);
      s.insert(s.end(), {mid, std::nextafter(mid, -INFINITY), std::nextafter(mid, INFINITY)});
    }
    const std::uint32_t b = std::uint32_t(h) << 16;
    s.insert(s.end(), {from_bits(b | 0x8000u), from_bits(b | 0x7fffu), from_bits(b | 0x8001u)});
  }
  std::mt19937 rng(7);
  for (int i = 0; i < 100'000; ++i) s.push_back(from_bits(rng()));
  return s;
}

using test::all_halves;

// The same values in another order, so that pairs mix every class.
template <class T>
std::vector<T> shuffled(std::vector<T> v) {
  std::shuffle(v.begin(), v.end(), std::mt19937(11));
  return v;
}

struct Layout {
  std::ptrdiff_t so, sa, sb;
};
constexpr Layout kLayouts[] = {{1, 1, 1}, {1, 1, 0}, {1, 0, 1}, {1, 3, 1}, {1, 1, 2}, {1, 3, 0}, {1, 2, 3}, {2, 1, 3}, {3, 0, 2}};

template <class F, class R, class T>
void check_binary(const char* name, std::span<const T> x, std::span<const T> y) {
  const auto& v = BinaryLoops<F, R, T>::variants;
  for (const Layout& l : kLayouts) {
    // Start one element in (unaligned) and keep every index in range.
    const std::size_t reach = std::size_t(std::max<std::ptrdiff_t>({1, l.sa, l.sb}));
    const std::size_t n = (std::min(x.size(), y.size()) - 2) / reach;
    auto run = [&](auto fn) {
      Output<R> out(n * std::size_t(l.so) + 1);
      fn(n, out.at(1), l.so, x.data() + 1, l.sa, y.data() + 1, l.sb);
      return out.bytes;
    };
    auto want = run(v.by_isa[0]);
    each_variant(v, [&](Isa isa, auto fn) {
      const long at = first_difference(run(fn), want);
      CHECK(at < 0, "%s on %s, strides (%td, %td, %td): byte %ld differs", name, isa_name(isa), l.so, l.sa, l.sb, at);
    });
  }
}

template <class F, class R, class T>
void check_unary(const char* name, std::span<const T> x) {
  const auto& v = UnaryLoops<F, R, T>::variants;
  auto run = [&](auto fn) {
    Output<R> out(x.size() - 1);
    fn(x.size() - 1, out.at(0), x.data() + 1);
    return out.bytes;
  };
  const auto want = run(v.by_isa[0]);
  each_variant(v, [&](Isa isa, auto fn) {
    const long at = first_difference(run(fn), want);
    CHECK(at < 0, "%s on %s: byte %ld differs", name, isa_name(isa), at);
  });
}

template <class T>
void check_comparisons(std::span<const T> x, std::span<const T> y) {
  check_binary<Widened<Eq>, bool, T>("==", x, y);
  check_binary<Widened<Ne>, bool, T>("!=", x, y);
  check_binary<Widened<Ge>, bool, T>(">=", x, y);
  check_binary<Widened<Gt>, bool, T>(">", x, y);
  check_binary<Widened<Le>, bool, T>("<=", x, y);
  check_binary<Widened<Lt>, bool, T>("<", x, y);
}

// Every loop the engine dispatches for one float element type.
template <class T>
void check_float_type(const std::vector<T>& xv) {
  const std::vector<T> yv = shuffled(xv);
  const std::span<const T> x(xv), y(yv);
  check_binary<Widened<Add>, T, T>("add", x, y);
  check_binary<Widened<Sub>, T, T>("sub", x, y);
  check_binary<Widened<Mul>, T, T>("mul", x, y);
  check_binary<Widened<Div>, T, T>("div", x, y);
  check_comparisons(x, y);
  check_binary<ReluGrad, T, T>("relu gradient", x, y);
  check_unary<Relu, T, T>("relu", x);
}

TEST(f32_loops_match_portable) { check_float_type(float_samples()); }
TEST(f16_loops_match_portable) { check_float_type(all_halves<F16>()); }
TEST(bf16_loops_match_portable) { check_float_type(all_halves<BF16>()); }

// Note [two NaN operands]: every variant keeps the first operand's NaN,
// quieted, in vector bodies and tails alike; a NaN meeting a number stays.
TEST(two_nans_keep_the_first) {
  constexpr std::size_t n = 19;
  auto check = [&]<class T>(const char* type, T nan_a, T nan_b, T number, auto quiet) {
    std::vector<T> x(n, nan_a), y(n, nan_b);
    x[5] = y[6] = number;
    auto op = [&]<class F>(const char* name) {
      for (std::size_t i = 0; i < kIsaCount; ++i) {
        if (!isa_supported(Isa(i))) continue;
        std::vector<T> out(n);
        BinaryLoops<Widened<F>, T, T>::variants.by_isa[i](n, out.data(), 1, x.data(), 1, y.data(), 1);
        for (std::size_t j = 0; j < n; ++j) {
          const T want = quiet(j == 5 ? nan_b : nan_a);
          CHECK(std::memcmp(&out[j], &want, sizeof(T)) == 0, "%s %s on %s, element %zu", type, name, isa_name(Isa(i)), j);
        }
      }
    };
    op.template operator()<Add>("add");
    op.template operator()<Sub>("sub");
    op.template operator()<Mul>("mul");
    op.template operator()<Div>("div");
  };
  check("f32", from_bits(0x7f80'0001u), from_bits(0xffc0'1234u), 2.0f,
        [](float v) { return from_bits(std::bit_cast<std::uint32_t>(v) | 0x0040'0000u); });
  check("f16", F16::from_bits(0x7c01u), F16::from_bits(0xfe34u), F16::from_bits(0x4000u),
        [](F16 v) { return F16::from_bits(std::uint16_t(v.bits | 0x0200u)); });
  check("bf16", BF16::from_bits(0x7f81u), BF16::from_bits(0xffc3u), BF16::from_bits(0x4000u),
        [](BF16 v) { return BF16::from_bits(std::uint16_t(v.bits | 0x0040u)); });
}

TEST(bool_loops_match_portable) {
  // std::vector<bool> packs bits: the loops take arrays of bool.
  constexpr std::size_t n = 4099;
  std::unique_ptr<bool[]> x(new bool[n]), y(new bool[n]);
  std::mt19937 rng(3);
  for (std::size_t i = 0; i < n; ++i) x[i] = rng() & 1, y[i] = rng() & 1;
  const std::span<const bool> xs(x.get(), n), ys(y.get(), n);
  check_comparisons(xs, ys);
  check_binary<And, bool, bool>("and", xs, ys);
  check_binary<Or, bool, bool>("or", xs, ys);
  check_binary<Xor, bool, bool>("xor", xs, ys);
  check_unary<Not, bool, bool>("not", xs);
}

TEST(half_conversions_match_portable) {
  auto check = [](auto tag) {
    using H = decltype(tag);
    const auto& conv = HalfConversions<H>{};
    const std::vector<H> halves = all_halves<H>();
    auto widen = [&](auto fn) {
      std::vector<float> out(halves.size() - 1);
      fn(halves.data() + 1, out.data(), out.size());
      return out;
    };
    const auto wide = widen(conv.widen.by_isa[0]);
    each_variant(conv.widen, [&](Isa isa, auto fn) {
      const long at = first_difference(widen(fn), wide);
      CHECK(at < 0, "widening on %s: element %ld differs", isa_name(isa), at);
    });
    const std::vector<float> floats = float_samples();
    auto narrow = [&](auto fn) {
      std::vector<H> out(floats.size() - 1);
      fn(floats.data() + 1, out.data(), out.size());
      return out;
    };
    const auto narrowed = narrow(conv.narrow.by_isa[0]);
    for (std::size_t i = 0; i < narrowed.size(); ++i) {
      if (narrowed[i].bits != H::from_float(floats[i + 1]).bits) {
        CHECK(false, "portable narrowing of %a differs from from_float", double(floats[i + 1]));
        break;
      }
    }
    each_variant(conv.narrow, [&](Isa isa, auto fn) {
      const long at = first_difference(narrow(fn), narrowed);
      CHECK(at < 0, "narrowing on %s: element %ld (%a) differs", isa_name(isa), at, at < 0 ? 0.0 : double(floats[at + 1]));
    });
  };
  check(F16{});
  check(BF16{});
}

}  // namespace
}  // namespace mirel
