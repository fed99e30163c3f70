#pragma once
// Two-byte float types. Widening to float is exact; narrowing rounds to nearest,
// ties to even. NaN: narrowing keeps the sign and the top payload bits and sets the
// quiet bit; widening sets the quiet bit too (a float operation would anyway).
// Arithmetic is always one float operation and one rounding: narrow(op(widen(a), widen(b))).
#include <bit>
#include <cstddef>
#include <cstdint>

namespace mirel {

struct F16 {
  std::uint16_t bits;

  static constexpr F16 from_bits(std::uint16_t b) noexcept { return F16{b}; }

  constexpr float to_float() const noexcept {
    const std::uint32_t sign = std::uint32_t(bits & 0x8000u) << 16;
    const std::uint32_t exp = (bits >> 10) & 0x1fu;
    const std::uint32_t man = bits & 0x3ffu;
    if (exp == 0x1f) {
      return std::bit_cast<float>(man == 0 ? (sign | 0x7f80'0000u) : (sign | 0x7fc0'0000u | (man << 13)));
    }
    if (exp == 0) {  // zero or subnormal: man * 2^-24 is exact in float
      const float mag = float(man) * 0x1p-24f;
      return sign ? -mag : mag;
    }
    return std::bit_cast<float>(sign | ((exp + 112u) << 23) | (man << 13));
  }

  // Integer-only narrowing: overflow to infinity, subnormals and ties to even.
  static constexpr F16 from_float(float f) noexcept {
    const std::uint32_t x = std::bit_cast<std::uint32_t>(f);
    const std::uint16_t sign = std::uint16_t((x >> 16) & 0x8000u);
    const std::uint32_t exp = (x >> 23) & 0xffu;
    const std::uint32_t man = x & 0x7f'ffffu;
    if (exp == 0xff) {
      return F16{std::uint16_t(man == 0 ? (sign | 0x7c00u) : (sign | 0x7e00u | (man >> 13)))};
    }
    const int e = int(exp) - 127;
    if (e >= 16) return F16{std::uint16_t(sign | 0x7c00u)};
    if (e >= -14) {
      std::uint32_t h = (std::uint32_t(e + 15) << 10) | (man >> 13);
      if ((man & 0x1000u) && ((man & 0x0fffu) || (h & 1u))) ++h;  // a carry may give the next binade or infinity
      return F16{std::uint16_t(sign | h)};
    }
    if (e >= -25) {
      const std::uint32_t m = man | 0x80'0000u;
      const int shift = -(e + 1);  // 14..24
      std::uint32_t h = m >> shift;
      const std::uint32_t round = 1u << (shift - 1);
      if ((m & round) && ((m & (round - 1)) || (h & 1u))) ++h;
      return F16{std::uint16_t(sign | h)};
    }
    return F16{sign};
  }

  constexpr bool is_nan() const noexcept { return (bits & 0x7fffu) > 0x7c00u; }
};

struct BF16 {
  std::uint16_t bits;

  static constexpr BF16 from_bits(std::uint16_t b) noexcept { return BF16{b}; }

  constexpr float to_float() const noexcept {
    std::uint32_t u = std::uint32_t(bits) << 16;
    if ((u & 0x7fff'ffffu) > 0x7f80'0000u) u |= 0x0040'0000u;  // quiet a NaN
    return std::bit_cast<float>(u);
  }

  static constexpr BF16 from_float(float f) noexcept {
    std::uint32_t u = std::bit_cast<std::uint32_t>(f);
    if ((u & 0x7fff'ffffu) > 0x7f80'0000u) return BF16{std::uint16_t((u >> 16) | 0x0040u)};
    u += 0x7fffu + ((u >> 16) & 1u);  // round to nearest, ties to even; a carry may give infinity
    return BF16{std::uint16_t(u >> 16)};
  }

  constexpr bool is_nan() const noexcept { return (bits & 0x7fffu) > 0x7f80u; }
};

static_assert(sizeof(F16) == 2 && sizeof(BF16) == 2);

template <class T>
inline constexpr bool is_half_v = false;
template <>
inline constexpr bool is_half_v<F16> = true;
template <>
inline constexpr bool is_half_v<BF16> = true;

// Element <-> float for the half types; other element types pass through as they are.
template <class T>
constexpr auto widen(T v) noexcept {
  if constexpr (is_half_v<T>) return v.to_float();
  else return v;
}
template <class T>
constexpr T narrow(float f) noexcept {
  if constexpr (is_half_v<T>) return T::from_float(f);
  else return f;
}

// What the conversion instructions give: f16 widening quiets a NaN as
// to_float does; bfloat16 widening is a shift that leaves it as it is.
constexpr float widen_bits(F16 v) noexcept { return v.to_float(); }
constexpr float widen_bits(BF16 v) noexcept { return std::bit_cast<float>(std::uint32_t(v.bits) << 16); }

// Whole-buffer conversions, using the CPU's conversion instructions when it has
// them (picked once at load, see dispatch.hpp), with identical results.
// widen_n feeds float arithmetic only, which quiets NaNs itself, so it may
// leave a signalling NaN signalling; narrow_n follows from_float exactly.
void widen_n(const F16* src, float* dst, std::size_t n) noexcept;
void narrow_n(const float* src, F16* dst, std::size_t n) noexcept;
void widen_n(const BF16* src, float* dst, std::size_t n) noexcept;
void narrow_n(const float* src, BF16* dst, std::size_t n) noexcept;

}  // namespace mirel
