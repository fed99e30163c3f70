#pragma once
// What the reduction drivers (reduce.cpp: sums, extrema.cpp: max, min,
// argmax) share besides their loops: the raw-bit facts of an element type
// (Note [extrema]), and the search for the first element of a result's
// sequence, in logical order, with given raw bits: the first NaN of a sum or
// an extremum, the first maximum of argmax.
#include <array>
#include <bit>
#include <cstddef>
#include <optional>
#include <type_traits>

#include "engine/cpu/iter/reduce_walk.hpp"
#include "engine/cpu/loops/reduce_loops.hpp"

namespace mirel::reduce_detail {

// Elements handed to a loop per call: whole blocks, few calls.
inline constexpr std::size_t kChunk = 64 * kSumBlock;
// Elements gathered at a time (each_box): enough for a transposed box to use
// whole cache lines; the buffer stays in L2.
inline constexpr std::size_t kGather = 64 * kSumBlock;

// Every axis of a row-major operand with elements reduced: one result, whose
// sequence in logical order is the operand's memory, so the drivers skip the
// plan. whole_shape: that result's shape.
template <class T>
bool whole_run(const View<T>& a, const Axes& axes) noexcept {
  return axes.size() == a.shape.size() && is_row_major(a.shape, a.strides) && checked_numel(a.shape).value_or(0) > 0;
}
template <class T>
Shape whole_shape(const View<T>& a, bool keepdims) {
  return keepdims ? Shape(a.shape.size(), 1) : Shape{};
}

// What find_first looks for: raw bits v with (v & keep) == want, or |v| > above (find_run).
template <class T>
struct Target {
  RawOf<T> keep, want, above;
};

// The first element of a result's sequence (from x, in logical order) that hits the target.
struct Found {
  std::size_t index;
  std::ptrdiff_t offset;
};
template <class T>
std::optional<Found> find_first(const T* x, const ReducePlan& p, Target<T> target) {
  ReducedCursor cur(p);
  std::optional<Found> found;
  std::size_t index = 0;
  for (std::size_t k = 0; k < p.count && !found; k += kChunk) {
    cur.next(std::min(kChunk, p.count - k), [&](std::ptrdiff_t off, std::size_t m, std::ptrdiff_t step) {
      if (found) return;
      const std::size_t j = BoundsLoops<T>::best_find(x + off, m, step, target.keep, target.want, target.above);
      if (j < m) found = Found{index + j, off + std::ptrdiff_t(j) * step};
      index += m;
    });
  }
  return found;
}

// Raw-bit facts of an element type (Note [extrema]).
template <class T>
struct Bits {
  using R = RawOf<T>;
  using S = std::make_signed_t<R>;
  static constexpr bool floating = !std::is_same_v<T, bool>;
  static constexpr R sign = R(R(1) << (8 * sizeof(R) - 1));
  static constexpr bool f32 = std::is_same_v<T, float>, f16 = std::is_same_v<T, F16>;
  static constexpr R inf = f32 ? R(0x7f80'0000u) : f16 ? R(0x7c00) : R(0x7f80);
  static constexpr R quiet = f32 ? R(0x0040'0000u) : f16 ? R(0x0200) : R(0x0040);

  static bool is_zero(R r) noexcept { return floating ? R(r & ~sign) == 0 : r == 0; }
  static bool greater(R a, R b) noexcept { return widen(from(a)) > widen(from(b)); }
  static constexpr Target<T> nan{0, 1, inf};  // (v & 0) is never 1
  // The maximum m itself, or a zero of either sign when m is one; no magnitude exceeds ~sign.
  static constexpr Target<T> equal(R m) noexcept {
    return {is_zero(m) ? R(~sign) : R(~R(0)), is_zero(m) ? R(0) : m, R(~sign)};
  }
  static T from(R r) noexcept {
    if constexpr (std::is_same_v<T, float>) return std::bit_cast<float>(r);
    else if constexpr (std::is_same_v<T, bool>) return r != 0;
    else return T::from_bits(r);
  }
  // The bounds of no elements: signed max, unsigned max, signed min.
  static constexpr std::array<R, 3> identity{sign, R(0), R(sign - 1)};
  // A NaN among the elements shows in bound 0 (+NaN) or bound 1 (-NaN).
  static bool nan_in(const R* b) noexcept { return floating && (S(b[0]) > S(inf) || b[1] > R(sign | inf)); }
  template <bool Max>
  static R value(const R* b) noexcept {
    if constexpr (Max) return S(b[0]) >= 0 ? b[0] : b[2];
    else return (b[1] & sign) ? b[1] : b[2];
  }
};

}  // namespace mirel::reduce_detail
