#pragma once
// Lines along one axis: every position of the other axes, once, with the
// offset of its line in each of N arrays of one shape. Softmax-like kernels
// read and write a whole line at a time, in index order along the axis, so
// their results do not depend on any array's layout.
#include <algorithm>
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

// The same lines, handed over `per` at a time: block(scratch, lines) with a
// std::span<const Offsets<N>>, so that short lines can share one call of a
// vector loop. The lines are shared among the pool's threads when they hold
// two grains of elements (`len` each); every thread makes its own scratch
// with make(). Groups end where a thread's range ends, so block must give
// each line what it would give it alone.
template <std::size_t N, class Make, class Block>
void for_each_line_block(const Shape& shape, const std::array<Strides, N>& strides, std::size_t axis,
                         std::size_t per, Make make, Block block) {
  std::vector<Offsets<N>> lines;
  for_each_line<N>(shape, strides, axis, [&](const Offsets<N>& off) { lines.push_back(off); });
  const std::size_t len = std::max<std::size_t>(shape[axis], 1);
  exec::parallel_for(lines.size(), (kElementGrain + len - 1) / len, [&](std::size_t begin, std::size_t end) {
    auto scratch = make();
    for (std::size_t first = begin; first < end; first += per) {
      block(scratch, std::span<const Offsets<N>>(lines.data() + first, std::min(per, end - first)));
    }
  }, lines.size() * len / kElementGrain);
}

}  // namespace mirel
