#include "engine/cpu/iter/reduce_walk.hpp"

#include <cstdint>
#include <numeric>

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

}  // namespace

Expected<ReducePlan> plan_reduce(const Shape& shape, const Strides& strides, const Axes& axes, bool keepdims,
                                 ReduceOrder order) {
  const std::size_t rank = shape.size();
  for (std::size_t i = 0; i < axes.size(); ++i) {
    if (axes[i] >= rank || (i > 0 && axes[i] <= axes[i - 1])) {
      return std::unexpected(concat("reduction axes must be sorted, unique and below the rank ", rank, ": got ",
                                    shape_str(axes), " for shape ", shape_str(shape)));
    }
  }
  if (!checked_numel(shape)) {
    return std::unexpected(concat("reduction of an array of shape ", shape_str(shape), " is too large"));
  }

  ReducePlan p;
  p.empty_axis = rank;
  SmallVec<bool> reduced(rank, false);
  for (std::size_t a : axes) reduced[a] = true;
  Shape kept_shape;
  Strides kept_strides;
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

  // The kept axes, the operand's smallest nonzero stride last; broadcast axes outermost.
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
  if (p.results == 0) return p;  // ReducePath::None
  if (p.count == 0) {
    p.path = ReducePath::Empty;
    return p;
  }
  if (order == ReduceOrder::Any) {
    Shape shape_any;
    Strides strides_any;
    for (std::size_t d : by_stride(p.reduced_strides)) {
      if (p.reduced_strides[d] == 0) continue;
      shape_any.push_back(p.reduced[d]);
      strides_any.push_back(p.reduced_strides[d]);
    }
    p.reduced = std::move(shape_any);
    p.reduced_strides = std::move(strides_any);
    p.count = numel(p.reduced);
  }
  coalesce_in_order(p.reduced, p.reduced_strides);

  const Strides& ks = p.kept.strides[1];
  if (p.reduced.size() == 1 && p.reduced_strides[0] == 1) p.path = ReducePath::Contiguous;
  else if (!ks.empty() && ks.back() == 1) p.path = ReducePath::Columns;
  else if (p.reduced.empty()) p.path = ReducePath::Contiguous;  // one element each
  else p.path = ReducePath::Gather;
  return p;
}

}  // namespace mirel
