#pragma once
// Shapes and strides of the array core: unsigned sizes, signed strides in
// elements, and the dense layouts. Small on purpose: the Python layer takes
// Shape from here without the array type.
#include <cstddef>
#include <limits>
#include <optional>

#include "engine/cpu/array/small_vec.hpp"

namespace mirel {

using Shape = SmallVec<std::size_t>;
using Strides = SmallVec<std::ptrdiff_t>;
// Axes of one operation, sorted, unique and each below the rank.
using Axes = SmallVec<std::size_t>;

enum class Order { RowMajor, ColMajor };

// NumPy's limit on axes. The operators take any rank (a reshape may add a
// million unit axes), and to_numpy() refuses a tensor above the limit with a
// clear error; the package's functions, which follow NumPy, refuse such shapes
// where they enter (shape arguments, stack, DLPack imports).
inline constexpr std::size_t kMaxAxes = 64;

// Element count of a shape, or nothing when it does not fit a signed size. A
// shape with an axis of length 0 holds 0 elements however long the others are.
inline std::optional<std::size_t> checked_numel(const std::size_t* dims, std::size_t rank) noexcept {
  std::size_t n = 1;
  bool overflow = false;
  for (std::size_t i = 0; i < rank; ++i) {
    if (dims[i] == 0) return 0;
    overflow |= __builtin_mul_overflow(n, dims[i], &n);
  }
  if (overflow || n > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) return std::nullopt;
  return n;
}
inline std::optional<std::size_t> checked_numel(const Shape& s) noexcept { return checked_numel(s.data(), s.size()); }

inline std::size_t numel(const Shape& s) noexcept {
  std::size_t n = 1;
  for (auto d : s) n *= d;
  return n;
}

// Dense strides of a shape in the given order; all zero when the shape holds no elements.
inline Strides dense_strides(const Shape& shape, Order order) {
  Strides st(shape.size(), 0);
  for (std::size_t d : shape) {
    if (d == 0) return st;
  }
  // The caller checks the element count; a shape too large for it gets
  // saturated strides here rather than a signed overflow.
  std::ptrdiff_t acc = 1;
  auto next = [&](std::size_t i) {
    st[i] = acc;
    if (__builtin_mul_overflow(acc, shape[i], &acc)) acc = std::numeric_limits<std::ptrdiff_t>::max();
  };
  if (order == Order::RowMajor) {
    for (std::size_t i = shape.size(); i-- > 0;) next(i);
  } else {
    for (std::size_t i = 0; i < shape.size(); ++i) next(i);
  }
  return st;
}

// Row-major (standard) layout, ignoring axes of length 1; any layout of an empty array passes.
inline bool is_row_major(const Shape& shape, const Strides& strides) noexcept {
  std::ptrdiff_t acc = 1;
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 0) return true;
  }
  for (std::size_t i = shape.size(); i-- > 0;) {
    if (shape[i] == 1) continue;
    if (strides[i] != acc) return false;
    acc *= std::ptrdiff_t(shape[i]);
  }
  return true;
}
inline bool is_col_major(const Shape& shape, const Strides& strides) noexcept {
  std::ptrdiff_t acc = 1;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return true;
  }
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 1) continue;
    if (strides[i] != acc) return false;
    acc *= std::ptrdiff_t(shape[i]);
  }
  return true;
}

}  // namespace mirel
