#pragma once
// The elementwise engine.
//
// Two operands (zip_collect): broadcast views at one shape are paired with a
// freshly allocated result whose memory order (row- or column-major) is chosen
// from the views (result_order). The plan reverses the axes for a column-major
// result and coalesces; walk (walk.hpp) hands each run to the dispatched loop.
//
// One operand (map): the result takes the operand's shape and strides, and since
// every array is dense the whole pass is one loop over the buffer.
#include <algorithm>

#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/iter/walk.hpp"

namespace mirel {

Order result_order(const Shape& shape, const Strides& a, const Strides& b) noexcept;

template <class R, class T>
NdArray<R> zip_collect(const View<T>& a, const View<T>& b, BinaryLoop<R, T> loop) {
  const Order order = result_order(a.shape, a.strides, b.strides);
  NdArray<R> out = NdArray<R>::uninit(a.shape, order);
  if (out.size() == 0) return out;
  Plan<3> p{a.shape, {out.strides(), a.strides, b.strides}};
  if (order == Order::ColMajor) {
    std::reverse(p.shape.begin(), p.shape.end());
    for (auto& s : p.strides) std::reverse(s.begin(), s.end());
  }
  coalesce(p);
  R* o = out.data();
  walk(p, [&](std::size_t n, const Offsets<3>& off, const Offsets<3>& step) {
    loop(n, o + off[0], step[0], a.data + off[1], step[1], b.data + off[2], step[2]);
  });
  return out;
}

template <class R, class T>
NdArray<R> map(const NdArray<T>& a, UnaryLoop<R, T> loop) {
  NdArray<R> out = NdArray<R>::uninit_like_layout(a.shape(), a.strides());
  loop(a.size(), out.data(), a.data());
  return out;
}

}  // namespace mirel
