#pragma once
// The one-operand math functions. Exp, Log, Tanh, Sigmoid, Sqrt and Square
// name their kernel, written once over the lanes of every instruction set in
// loops/math_lanes.inc (Note [math kernels]); the unary loop runs it on f32 lanes,
// widening a half type and rounding once. Exp, Log, Tanh and Sigmoid also give
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
