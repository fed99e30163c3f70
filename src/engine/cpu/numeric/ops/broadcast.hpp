#pragma once
// The broadcasting rule, and views that present an array at a broadcast shape
// without copying (stride 0 on stretched and added axes).
#include <optional>
#include <string>
#include <utility>

#include "engine/cpu/array/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

Expected<Shape> broadcast_shapes(const Shape& a, const Shape& b);

// Nothing when the target does not fit a signed size, or when an axis cannot stretch.
template <class T>
std::optional<View<T>> broadcast_view(const T* data, const Shape& shape, const Strides& strides, const Shape& target) {
  if (target.size() < shape.size() || !checked_numel(target)) return std::nullopt;
  const std::size_t lead = target.size() - shape.size();
  Strides st(target.size(), 0);
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const std::size_t t = target[lead + i];
    if (shape[i] == t) st[lead + i] = strides[i];
    else if (shape[i] != 1) return std::nullopt;
  }
  return View<T>{data, target, std::move(st)};
}

template <class T>
std::optional<View<T>> broadcast_view(const NdArray<T>& a, const Shape& target) {
  return broadcast_view(a.data(), a.shape(), a.strides(), target);
}

// "Broadcast failed for A: [..] -> [..]" (which = 'A' or 'B').
std::string broadcast_failed(char which, const Shape& from, const Shape& to);

template <class T>
Expected<std::pair<View<T>, View<T>>> broadcast_tensors(const NdArray<T>& a, const NdArray<T>& b) {
  auto target = broadcast_shapes(a.shape(), b.shape());
  if (!target) return std::unexpected(std::move(target.error()));
  auto va = broadcast_view(a, *target);
  if (!va) return std::unexpected(broadcast_failed('A', a.shape(), *target));
  auto vb = broadcast_view(b, *target);
  if (!vb) return std::unexpected(broadcast_failed('B', b.shape(), *target));
  return std::pair{std::move(*va), std::move(*vb)};
}

}  // namespace mirel
