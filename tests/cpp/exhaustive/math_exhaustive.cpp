// Every f32 input of every math kernel against double-precision libm: the
// largest error in ulps of the exact value per function, and where it is;
// NaN results are checked bit for bit (the input quieted, or the default NaN
// for an invalid operation). With --variants, every variant this CPU runs is
// also compared with the portable one on every input, bit for bit (slow: the
// portable set calls libm's fmaf). Exits non-zero when a result is more than
// 1 ulp off or a variant differs.
//
// Not part of CI: scripts/check_math_exhaustive.sh builds and runs it.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/math/math.hpp"

namespace {

using namespace mirel;

constexpr std::uint32_t kDefaultNaN = 0xffc0'0000u;

struct Function {
  const char* name;
  const Variants<UnaryLoop<float, float>>& loops;
  double (*exact)(double);
};

// |y - exact| in units of the last place of the exact value at f32 precision.
double ulps(float y, double exact) {
  if (std::isinf(exact) || std::isinf(y)) {
    // inf is right when the exact value rounds to it: at or beyond 2^128 - 2^103.
    const double edge = std::ldexp(1.0, 128) - std::ldexp(1.0, 103);
    if (std::isinf(y) && (std::isinf(exact) ? y == exact : std::fabs(exact) >= edge && std::signbit(exact) == std::signbit(y))) return 0;
    if (std::isinf(exact)) return INFINITY;
  }
  int e = 0;
  std::frexp(exact, &e);  // |exact| in [2^(e-1), 2^e)
  const double ulp = std::ldexp(1.0, std::max(e - 1, -126) - 23);
  return std::fabs(double(y) - exact) / std::min(ulp, std::ldexp(1.0, 104));
}

bool check(const Function& f, bool variants) {
  constexpr std::size_t kChunk = 1 << 16;
  std::vector<float> x(kChunk), y(kChunk), z(kChunk);
  double worst = 0;
  float worst_x = 0, worst_y = 0;
  std::uint64_t over_half = 0, bad_nan = 0, differ = 0;
  for (std::uint64_t base = 0; base < (std::uint64_t(1) << 32); base += kChunk) {
    for (std::size_t i = 0; i < kChunk; ++i) x[i] = std::bit_cast<float>(std::uint32_t(base + i));
    f.loops.best()(kChunk, y.data(), x.data());
    for (std::size_t i = 0; i < kChunk; ++i) {
      const double exact = f.exact(double(x[i]));
      const std::uint32_t xb = std::bit_cast<std::uint32_t>(x[i]), yb = std::bit_cast<std::uint32_t>(y[i]);
      if (std::isnan(exact) || std::isnan(y[i])) {
        const std::uint32_t want = std::isnan(x[i]) ? (xb | 0x0040'0000u) : kDefaultNaN;
        if (!std::isnan(exact) || yb != want) {
          if (bad_nan++ < 5) std::printf("  %s(%a) [0x%08x] = 0x%08x, want 0x%08x\n", f.name, double(x[i]), xb, yb, want);
        }
        continue;
      }
      const double err = ulps(y[i], exact);
      over_half += err > 0.5;
      if (err > worst) worst = err, worst_x = x[i], worst_y = y[i];
    }
    if (!variants) continue;
    for (std::size_t v = 0; v < kIsaCount; ++v) {
      if (!isa_supported(Isa(v)) || f.loops.by_isa[v] == f.loops.best()) continue;
      f.loops.by_isa[v](kChunk, z.data(), x.data());
      if (std::memcmp(y.data(), z.data(), kChunk * sizeof(float)) != 0 && differ++ < 5) {
        std::printf("  %s: %s differs from the best variant in [0x%08llx, +%zu)\n", f.name, isa_name(Isa(v)),
                    (unsigned long long)base, kChunk);
      }
    }
  }
  std::printf("%-8s worst %.4f ulp at x = %a (got %a, exact %.17g); %llu results not correctly rounded%s\n", f.name,
              worst, double(worst_x), double(worst_y), f.exact(double(worst_x)), (unsigned long long)over_half,
              bad_nan ? "; NaN results wrong" : "");
  return worst <= 1.0 && bad_nan == 0 && differ == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool variants = argc > 1 && std::strcmp(argv[1], "--variants") == 0;
  std::printf("best variant: %s\n", isa_name(best_isa()));
  const Function functions[] = {
      {"exp", UnaryLoops<Exp, float, float>::variants, Exp::exact},
      {"log", UnaryLoops<Log, float, float>::variants, Log::exact},
      {"tanh", UnaryLoops<Tanh, float, float>::variants, Tanh::exact},
      {"sigmoid", UnaryLoops<Sigmoid, float, float>::variants, Sigmoid::exact},
      {"gelu", UnaryLoops<Gelu, float, float>::variants, Gelu::exact},
      {"sqrt", UnaryLoops<Sqrt, float, float>::variants, [](double x) { return std::sqrt(x); }},
      {"square", UnaryLoops<Square, float, float>::variants, [](double x) { return x * x; }},
  };
  bool ok = true;
  for (const Function& f : functions) {
    if (argc > 1 + variants && std::strcmp(argv[1 + variants], f.name) != 0) continue;
    ok &= check(f, variants);
    std::fflush(stdout);
  }
  return ok ? 0 : 1;
}
