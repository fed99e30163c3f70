#pragma once
// The elementwise engine.
//
// Two operands (zip_collect): broadcast views at one shape are paired with a
// freshly allocated result whose memory order (row- or column-major) is chosen
// from the views (result_order). The plan reverses the axes for a column-major
// result and coalesces; walk (walk.hpp) hands each run to the dispatched loop.
//
// One operand (map): the result takes the operand's shape and strides, and since
// every array is dense the whole pass is one loop over the buffer, cut into
// ranges for the pool's threads when it is long.
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
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<3>& off, const Offsets<3>& step) {
    loop(n, o + off[0], step[0], a.data + off[1], step[1], b.data + off[2], step[2]);
  });
  return out;
}

// grain: elements worth a thread (Note [the pool] in exec/parallel.hpp); the
// math kernels cost several times an addition per element.
template <class R, class T>
NdArray<R> map(const NdArray<T>& a, UnaryLoop<R, T> loop, std::size_t grain = kElementGrain) {
  NdArray<R> out = NdArray<R>::uninit_like_layout(a.shape(), a.strides());
  R* o = out.data();
  const T* in = a.data();
  exec::parallel_for(a.size(), grain, [&](std::size_t begin, std::size_t end) { loop(end - begin, o + begin, in + begin); });
  return out;
}

}  // namespace mirel
