#pragma once
// Shape operations, one template for every element type (Bool included).
// reshape keeps row-major element order and refuses any other layout;
// transpose permutes shape and strides over a copy of the buffer in its own order.
#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "util/error.hpp"
#include "util/format.hpp"

namespace mirel {

// reshape's size rule: the product of the new shape's lengths, zeros skipped,
// fits a signed machine word, even when another length is zero.
inline bool nonzero_lengths_fit(const Shape& shape) noexcept {
  std::size_t n = 1;
  for (std::size_t d : shape) {
    if (d != 0 && __builtin_mul_overflow(n, d, &n)) return false;
  }
  return n <= std::size_t(std::numeric_limits<std::ptrdiff_t>::max());
}

// Errors are "ShapeError/<kind>: <description>".
template <class T>
Expected<NdArray<T>> reshape(const NdArray<T>& a, const Shape& shape) {
  const auto n = checked_numel(shape);
  if (!n || *n != a.size() || !nonzero_lengths_fit(shape)) return std::unexpected(std::string("ShapeError/IncompatibleShape: incompatible shapes"));
  if (!a.is_standard_layout()) {
    return std::unexpected(std::string("ShapeError/IncompatibleLayout: incompatible memory layout"));
  }
  // Built at the new shape directly: the operand's shape and strides are never copied.
  NdArray<T> out = NdArray<T>::uninit_like_layout(shape, dense_strides(shape, Order::RowMajor));
  if (out.size()) std::memcpy(out.data(), a.data(), out.size() * sizeof(T));
  return out;
}

// An axis out of range is a programming error of the caller: the message is the panic text.
template <class T>
Expected<NdArray<T>> transpose(const NdArray<T>& a, std::size_t dim0, std::size_t dim1) {
  const std::size_t rank = a.ndim();
  for (std::size_t d : {dim0, dim1}) {
    if (d >= rank) return std::unexpected(concat("index out of bounds: the len is ", rank, " but the index is ", d));
  }
  NdArray<T> out(a);
  Shape shape = a.shape();
  Strides strides = a.strides();
  std::swap(shape[dim0], shape[dim1]);
  std::swap(strides[dim0], strides[dim1]);
  out.set_layout(std::move(shape), std::move(strides));
  return out;
}

// Axes in the order `perm` names them (a permutation of 0..ndim-1, checked by
// the caller), over a copy of the buffer in its own order.
template <class T>
NdArray<T> permute(const NdArray<T>& a, const Axes& perm) {
  NdArray<T> out(a);
  Shape shape(perm.size(), 0);
  Strides strides(perm.size(), 0);
  for (std::size_t i = 0; i < perm.size(); ++i) {
    shape[i] = a.shape()[perm[i]];
    strides[i] = a.strides()[perm[i]];
  }
  out.set_layout(std::move(shape), std::move(strides));
  return out;
}

// A row-major copy of any layout (the array itself when it is row-major already).
template <class T>
NdArray<T> row_major(const NdArray<T>& a) {
  NdArray<T> out = NdArray<T>::uninit(a.shape());
  if (out.size()) copy_to_row_major(a.data(), a.shape(), a.strides(), out.data(), [](const T* p) { return *p; });
  return out;
}

template <class T>
T one_of() noexcept {
  if constexpr (std::is_same_v<T, bool>) return true;
  else return narrow<T>(1.0f);
}
template <class T>
T zero_of() noexcept {
  if constexpr (std::is_same_v<T, bool>) return false;
  else return narrow<T>(0.0f);
}

}  // namespace mirel
