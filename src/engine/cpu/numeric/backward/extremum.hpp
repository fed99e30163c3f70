#pragma once
// Gradient of max and min over axes: the incoming gradient is shared equally
// among the elements equal to the result (NaN counts as equal to a NaN
// result), each share g / count computed in f32 and rounded once; every other
// element gets +0. grad and result have the kept shape (reduced axes of
// length 1), input the full one.
#include <cmath>

#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/error.hpp"

namespace mirel {

template <class T>
Expected<NdArray<T>> backward_extremum(const NdArray<T>& grad, const NdArray<T>& input, const NdArray<T>& result) {
  const Shape& shape = input.shape();
  auto vg = broadcast_view(grad, shape);
  auto vr = broadcast_view(result, shape);
  if (!vg || !vr) return std::unexpected(broadcast_failed('A', grad.shape(), shape));
  auto hit = [](T x, T r) {
    const float a = widen(x), b = widen(r);
    return a == b || (std::isnan(a) && std::isnan(b));
  };

  // Ties per result element, counted through a stride-0 view of the counts.
  NdArray<float> counts = NdArray<float>::filled(result.shape(), 0.0f);
  auto vc = broadcast_view(counts, shape);
  Plan<3> pc{shape, {vc->strides, input.strides(), vr->strides}};
  coalesce(pc);
  float* c = counts.data();
  walk(pc, [&](std::size_t n, const Offsets<3>& off, const Offsets<3>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      if (hit(input.data()[off[1] + i * step[1]], vr->data[off[2] + i * step[2]])) c[off[0] + i * step[0]] += 1.0f;
    }
  });

  NdArray<T> out = NdArray<T>::uninit(shape);
  Plan<5> p{shape, {out.strides(), input.strides(), vr->strides, vg->strides, vc->strides}};
  coalesce(p);
  T* o = out.data();
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<5>& off, const Offsets<5>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      const bool tie = hit(input.data()[off[1] + i * step[1]], vr->data[off[2] + i * step[2]]);
      const float share = widen(vg->data[off[3] + i * step[3]]) / c[off[4] + i * step[4]];
      o[off[0] + i * step[0]] = tie ? narrow<T>(share) : narrow<T>(0.0f);
    }
  });
  return out;
}

}  // namespace mirel
