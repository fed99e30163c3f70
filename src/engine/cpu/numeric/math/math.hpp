#pragma once
// The one-operand math functions. Exp, Log, Tanh, Sigmoid, Gelu, Sqrt and
// Square name their kernel, written once over the lanes of every instruction set in
// loops/math_lanes.inc (Note [math kernels]); the unary loop runs it on f32 lanes,
// widening a half type and rounding once. Exp, Log, Tanh, Sigmoid and Gelu also give
// their value in double precision, from which the unary loop settles the few
// half results that an f32 result cannot round correctly (Note [half
// results]). Abs and Neg act on the sign bit alone.
#include <cmath>
#include <cstdint>

#include "engine/cpu/array/half.hpp"

namespace mirel {

struct Exp {
  template <class K> static constexpr auto kernel = &K::exp;
  static double exact(double x) noexcept { return std::exp(x); }
};

struct Log {
  template <class K> static constexpr auto kernel = &K::log;
  static double exact(double x) noexcept { return std::log(x); }
};

struct Tanh {
  template <class K> static constexpr auto kernel = &K::tanh;
  static double exact(double x) noexcept { return std::tanh(x); }
};

// 1 / (1 + exp(-x)).
struct Sigmoid {
  template <class K> static constexpr auto kernel = &K::sigmoid;
  static double exact(double x) noexcept { return 1.0 / (1.0 + std::exp(-x)); }
};

// x Phi(x) = (x/2) erfc(-x/sqrt2) (Note [gelu] in loops/math_lanes.inc). The
// double form keeps what double rounding would lose near 0: gelu(x) - x/2 =
// x^2/sqrt(2 pi) + O(x^4) > 0, so where that vanishes beside x/2 the result
// is the next double above x/2 (for a half's tiny inputs, whose x/2 can be a
// midpoint of the half type).
struct Gelu {
  template <class K> static constexpr auto kernel = &K::gelu;
  static double exact(double x) noexcept {
    if (std::isinf(x)) return x > 0 ? x : -0.0;
    if (std::fabs(x) >= 0x1p-20) return 0.5 * x * std::erfc(-x * 0x1.6a09e667f3bcdp-1);
    if (x == 0) return x;  // -0 too
    const double y = 0.5 * x + x * x * 0x1.9884533d43651p-2;
    return y != 0.5 * x ? y : std::nextafter(0.5 * x, INFINITY);
  }
};

struct Sqrt {
  template <class K> static constexpr auto kernel = &K::sqrt;
};

struct Square {
  template <class K> static constexpr auto kernel = &K::square;
};

// C's fabs and unary minus (IEEE abs and negate): only the sign bit changes,
// for every value, NaNs included, which keep their payload and are not
// quieted; exact in every type.
struct Abs {
  template <class T>
  T operator()(T v) const noexcept {
    if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) & 0x7fff'ffffu);
    else return T{std::uint16_t(v.bits & 0x7fffu)};
  }
};

struct Neg {
  template <class T>
  T operator()(T v) const noexcept {
    if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(std::bit_cast<std::uint32_t>(v) ^ 0x8000'0000u);
    else return T{std::uint16_t(v.bits ^ 0x8000u)};
  }
};

}  // namespace mirel
