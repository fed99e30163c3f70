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

// Element count of a shape, or nothing when it does not fit a signed size.
inline std::optional<std::size_t> checked_numel(const std::size_t* dims, std::size_t rank) noexcept {
  std::size_t n = 1;
  bool zero = false;
  for (std::size_t i = 0; i < rank; ++i) {
    if (dims[i] == 0) {
      zero = true;
      continue;
    }
    if (__builtin_mul_overflow(n, dims[i], &n)) return std::nullopt;
  }
  if (n > std::size_t(std::numeric_limits<std::ptrdiff_t>::max())) return std::nullopt;
  return zero ? 0 : n;
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
  if (numel(shape) == 0) return st;
  std::ptrdiff_t acc = 1;
  if (order == Order::RowMajor) {
    for (std::size_t i = shape.size(); i-- > 0;) {
      st[i] = acc;
      acc *= std::ptrdiff_t(shape[i]);
    }
  } else {
    for (std::size_t i = 0; i < shape.size(); ++i) {
      st[i] = acc;
      acc *= std::ptrdiff_t(shape[i]);
    }
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
