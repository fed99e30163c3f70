#include "engine/cpu/iter/reduce_walk.hpp"

#include <cstdint>
#include <numeric>
#include <string>

#include "util/format.hpp"

namespace mirel {
namespace {

// Merges neighbouring reduced axes that step through memory as one, in
// logical order only (Note [reduce walk]); drops length-1 axes.
void coalesce_in_order(Shape& shape, Strides& strides) {
  std::size_t k = 0;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (shape[d] == 1) continue;
    if (k > 0 && strides[k - 1] == strides[d] * std::ptrdiff_t(shape[d])) {
      shape[k - 1] *= shape[d];
      strides[k - 1] = strides[d];
      continue;
    }
    shape[k] = shape[d];
    strides[k] = strides[d];
    ++k;
  }
  shape.resize(k);
  strides.resize(k);
}

// Axis positions 0 .. n-1, the largest stride first, stride 0 (broadcast) before all.
SmallVec<std::size_t> by_stride(const Strides& strides) {
  SmallVec<std::size_t> order(strides.size());
  std::iota(order.begin(), order.end(), std::size_t(0));
  auto key = [&](std::size_t d) { return strides[d] == 0 ? PTRDIFF_MAX : std::abs(strides[d]); };
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return key(a) > key(b); });
  return order;
}

// Why the axes or the operand cannot be reduced, or an empty string.
std::string refusal(const Shape& shape, const Axes& axes) {
  const std::size_t rank = shape.size();
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i] >= rank || (i > 0 && axes[i] <= axes[i - 1])) {
      return concat("reduction axes must be sorted, unique and below the rank ", rank, ": got ", shape_str(axes),
                    " for shape ", shape_str(shape));
    }
  }
  if (!checked_numel(shape)) return concat("reduction of an array of shape ", shape_str(shape), " is too large");
  return {};
}

// Sorts each axis into the reduced ones (p.reduced) or the kept ones, and
// fills the result's shape, the counts and the first empty reduced axis.
void split_axes(const Shape& shape, const Strides& strides, const Axes& axes, bool keepdims, ReducePlan& p,
                Shape& kept_shape, Strides& kept_strides) {
  const std::size_t rank = shape.size();
  p.empty_axis = rank;
  SmallVec<bool> reduced(rank, false);
  for (std::size_t a : axes) reduced[a] = true;
  for (std::size_t d = 0; d < rank; ++d) {
    if (reduced[d]) {
      if (keepdims) p.result_shape.push_back(1);
      p.reduced.push_back(shape[d]);
      p.reduced_strides.push_back(strides[d]);
      if (shape[d] == 0 && p.empty_axis == rank) p.empty_axis = d;
    } else {
      p.result_shape.push_back(shape[d]);
      kept_shape.push_back(shape[d]);
      kept_strides.push_back(strides[d]);
    }
  }
  p.count = numel(p.reduced);  // both fit: their product is the operand's size
  p.results = numel(kept_shape);
}

// The walk over the kept axes: the operand's smallest nonzero stride last,
// broadcast axes outermost; the result is row-major.
void plan_kept(ReducePlan& p, const Shape& kept_shape, const Strides& kept_strides) {
  const Strides result_strides = dense_strides(kept_shape, Order::RowMajor);
  const auto kept_order = by_stride(kept_strides);
  p.kept.shape.resize(kept_order.size());
  for (auto& s : p.kept.strides) s.resize(kept_order.size());
  for (std::size_t i = 0; i < kept_order.size(); ++i) {
    p.kept.shape[i] = kept_shape[kept_order[i]];
    p.kept.strides[0][i] = result_strides[kept_order[i]];
    p.kept.strides[1][i] = kept_strides[kept_order[i]];
  }
  coalesce(p.kept);
}

// ReduceOrder::Any: the reduced axes by stride, broadcast ones dropped (each
// element once).
void memory_order(ReducePlan& p) {
  Shape shape;
  Strides strides;
  for (std::size_t d : by_stride(p.reduced_strides)) {
    if (p.reduced_strides[d] == 0) continue;
    shape.push_back(p.reduced[d]);
    strides.push_back(p.reduced_strides[d]);
  }
  p.reduced = std::move(shape);
  p.reduced_strides = std::move(strides);
  p.count = numel(p.reduced);
}

ReducePath path_of(const ReducePlan& p) {
  const Strides& ks = p.kept.strides[1];
  if (p.reduced.size() == 1 && p.reduced_strides[0] == 1) return ReducePath::Contiguous;
  if (!ks.empty() && ks.back() == 1) return ReducePath::Columns;
  if (p.reduced.empty()) return ReducePath::Contiguous;  // one element each
  return ReducePath::Gather;
}

}  // namespace

Expected<ReducePlan> plan_reduce(const Shape& shape, const Strides& strides, const Axes& axes, bool keepdims,
                                 ReduceOrder order) {
  if (std::string why = refusal(shape, axes); !why.empty()) return std::unexpected(std::move(why));
  ReducePlan p;
  Shape kept_shape;
  Strides kept_strides;
  split_axes(shape, strides, axes, keepdims, p, kept_shape, kept_strides);
  plan_kept(p, kept_shape, kept_strides);
  if (p.results == 0) return p;  // ReducePath::None
  if (p.count == 0) {
    p.path = ReducePath::Empty;
    return p;
  }
  if (order == ReduceOrder::Any) memory_order(p);
  coalesce_in_order(p.reduced, p.reduced_strides);
  p.path = path_of(p);
  return p;
}

}  // namespace mirel
