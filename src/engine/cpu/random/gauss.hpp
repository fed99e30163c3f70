#pragma once
// The transcendental functions of the normal distribution, in binary64 from
// IEEE operations (+, -, *, /, sqrt) in a fixed order, so that a normal draw
// rounded to f32 has the same bits on every CPU (no library calls, whose
// results may differ between machines; the build forbids contracting to FMA).
//
// Note [Box-Muller in binary64]
// From the words a, b of one pair: u1 = (a + 1) * 2^-32 in (0, 1] and
// u2 = b * 2^-32 in [0, 1), both exact; r = sqrt(-2 ln u1) and the angle
// 2 pi u2 give z0 = r cos(2 pi u2) and z1 = r sin(2 pi u2), each rounded once
// to f32. ln is 2 atanh((m - 1) / (m + 1)) + e ln 2 for u1 = m 2^e with
// m in [sqrt(1/2), sqrt(2)), the atanh series summed to s^23 (terms below
// 2^-56 of the first dropped); sin and cos take the quarter turn from the top
// bits of 4 u2 (exact) and the Taylor series to a^17 and a^18 of an angle
// a = pi/2 * t with t in [0, 1/2] (t and 1 - t exact), below 2^-60 left over.
// Each series is Horner's rule from its highest term, coefficients 1/(2k+1)
// and 1/k! rounded once from exact integers. The results are accurate to a
// few units in the last place of binary64, far below f32's rounding; what
// matters is that they are the same everywhere.
#include <bit>
#include <cmath>
#include <cstdint>
#include <utility>

namespace mirel {

namespace gauss_detail {

constexpr double inv_factorial(int k) noexcept {
  double f = 1.0;
  for (int i = 2; i <= k; ++i) f *= double(i);  // exact up to 18!
  return 1.0 / f;
}

// sin(a) and cos(a) for |a| <= pi/4.
inline double sin_series(double a) noexcept {
  const double a2 = a * a;
  double p = inv_factorial(17);
  for (int k = 15; k >= 1; k -= 2) p = (k % 4 == 1 ? inv_factorial(k) : -inv_factorial(k)) + a2 * p;
  return a * p;
}
inline double cos_series(double a) noexcept {
  const double a2 = a * a;
  double p = -inv_factorial(18);
  for (int k = 16; k >= 0; k -= 2) p = (k % 4 == 0 ? inv_factorial(k) : -inv_factorial(k)) + a2 * p;
  return p;
}

}  // namespace gauss_detail

// ln(x) for a positive normal x.
inline double log_positive(double x) noexcept {
  const auto bits = std::bit_cast<std::uint64_t>(x);
  int e = int((bits >> 52) & 0x7ff) - 1023;
  double m = std::bit_cast<double>((bits & 0x000f'ffff'ffff'ffffull) | 0x3ff0'0000'0000'0000ull);  // [1, 2)
  if (m > 1.4142135623730951) {
    m *= 0.5;
    e += 1;
  }
  const double s = (m - 1.0) / (m + 1.0), s2 = s * s;
  double p = 1.0 / 23.0;
  for (int k = 21; k >= 1; k -= 2) p = 1.0 / double(k) + s2 * p;
  return double(e) * 0.6931471805599453 + 2.0 * s * p;
}

// (sin, cos) of 2 pi u for u in [0, 1).
struct SinCos {
  double sin, cos;
};
inline SinCos sincos_turn(double u) noexcept {
  const double t4 = 4.0 * u;  // exact
  const int quarter = int(t4);
  const double t = t4 - double(quarter);  // exact, in [0, 1)
  const bool upper = t > 0.5;
  const double a = 1.5707963267948966 * (upper ? 1.0 - t : t);
  double s = gauss_detail::sin_series(a), c = gauss_detail::cos_series(a);
  if (upper) std::swap(s, c);  // sin(pi/2 t) = cos(pi/2 (1 - t))
  switch (quarter & 3) {
    case 0: return {s, c};
    case 1: return {c, -s};
    case 2: return {-s, -c};
    default: return {-c, s};
  }
}

// The two normal values of one pair of words (Note [Box-Muller in binary64]).
struct NormalPair {
  double z0, z1;
};
inline NormalPair box_muller(std::uint32_t a, std::uint32_t b) noexcept {
  const double u1 = (double(a) + 1.0) * 0x1p-32, u2 = double(b) * 0x1p-32;
  const double r = std::sqrt(-2.0 * log_positive(u1));
  const SinCos sc = sincos_turn(u2);
  return {r * sc.cos, r * sc.sin};  // z0 = r cos, z1 = r sin
}

}  // namespace mirel
