#pragma once
// where(cond, a, b): a where cond holds, b elsewhere, all three broadcast to
// one shape; the result is row-major. Its gradients: the incoming gradient
// where cond holds (for a) or where it does not (for b), +0 elsewhere.
#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/format.hpp"

namespace mirel {

template <class T>
Expected<NdArray<T>> where(const NdArray<bool>& cond, const NdArray<T>& a, const NdArray<T>& b) {
  auto ab = broadcast_shapes(a.shape(), b.shape());
  if (!ab) return std::unexpected(std::move(ab.error()));
  auto shape = broadcast_shapes(cond.shape(), *ab);
  if (!shape) return std::unexpected(std::move(shape.error()));
  auto vc = broadcast_view(cond, *shape);
  auto va = broadcast_view(a, *shape);
  auto vb = broadcast_view(b, *shape);
  if (!vc || !va || !vb) return std::unexpected(concat("Shape mismatch: cannot broadcast ", shape_str(cond.shape()),
                                                       ", ", shape_str(a.shape()), " and ", shape_str(b.shape())));
  NdArray<T> out = NdArray<T>::uninit(*shape);
  Plan<4> p{*shape, {out.strides(), vc->strides, va->strides, vb->strides}};
  coalesce(p);
  T* o = out.data();
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<4>& off, const Offsets<4>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      o[off[0] + i * step[0]] = vc->data[off[1] + i * step[1]] ? va->data[off[2] + i * step[2]] : vb->data[off[3] + i * step[3]];
    }
  });
  return out;
}

// grad where cond == keep, +0 elsewhere; grad has the broadcast shape.
template <class T>
Expected<NdArray<T>> backward_where(const NdArray<bool>& cond, const NdArray<T>& grad, bool keep) {
  auto vc = broadcast_view(cond, grad.shape());
  if (!vc) return std::unexpected(broadcast_failed('A', cond.shape(), grad.shape()));
  NdArray<T> out = NdArray<T>::uninit(grad.shape());
  Plan<3> p{grad.shape(), {out.strides(), vc->strides, grad.strides()}};
  coalesce(p);
  T* o = out.data();
  const T zero = narrow<T>(0.0f);
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<3>& off, const Offsets<3>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      o[off[0] + i * step[0]] = vc->data[off[1] + i * step[1]] == keep ? grad.data()[off[2] + i * step[2]] : zero;
    }
  });
  return out;
}

}  // namespace mirel
