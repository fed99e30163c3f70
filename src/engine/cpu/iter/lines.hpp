#pragma once
// Lines along one axis: every position of the other axes, once, with the
// offset of its line in each of N arrays of one shape. Softmax-like kernels
// read and write a whole line at a time, in index order along the axis, so
// their results do not depend on any array's layout.
#include <span>
#include <vector>

#include "engine/cpu/iter/walk.hpp"

namespace mirel {

template <std::size_t N, class Line>
void for_each_line(const Shape& shape, const std::array<Strides, N>& strides, std::size_t axis, Line line) {
  Plan<N> p;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    if (d == axis) continue;
    p.shape.push_back(shape[d]);
    for (std::size_t k = 0; k < N; ++k) p.strides[k].push_back(strides[k][d]);
  }
  coalesce(p);
  walk(p, [&](std::size_t n, const Offsets<N>& off, const Offsets<N>& step) {
    Offsets<N> at = off;
    for (std::size_t j = 0; j < n; ++j) {
      line(at);
      for (std::size_t k = 0; k < N; ++k) at[k] += step[k];
    }
  });
}

// The same lines, handed over `per` at a time (the last group may be
// shorter): block(std::span<const Offsets<N>>), so that short lines can share
// one call of a vector loop.
template <std::size_t N, class Block>
void for_each_line_block(const Shape& shape, const std::array<Strides, N>& strides, std::size_t axis,
                         std::size_t per, Block block) {
  std::vector<Offsets<N>> group;
  group.reserve(per);
  for_each_line<N>(shape, strides, axis, [&](const Offsets<N>& off) {
    group.push_back(off);
    if (group.size() == per) {
      block(std::span<const Offsets<N>>(group));
      group.clear();
    }
  });
  if (!group.empty()) block(std::span<const Offsets<N>>(group));
}

}  // namespace mirel
