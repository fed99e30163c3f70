#pragma once
// x ** p for a number p, and its gradient g * p * x ** (p - 1). Each element
// is computed in double precision and rounded once to the element type, so
// the result is the correctly rounded power but in the rarest of cases, and
// does not depend on the CPU's f32 pow. The result keeps x's layout.
#include <cmath>

#include "engine/cpu/iter/zip.hpp"

namespace mirel {

template <class T>
NdArray<T> power(const NdArray<T>& a, float p) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(a.shape(), a.strides());
  for (std::size_t i = 0, n = a.size(); i < n; ++i) {
    out.data()[i] = narrow<T>(float(std::pow(double(widen(a.data()[i])), double(p))));
  }
  return out;
}

// grad and input have one shape (any layouts); the result takes grad's order.
template <class T>
NdArray<T> backward_power(const NdArray<T>& grad, const NdArray<T>& input, float p) {
  NdArray<T> out = NdArray<T>::uninit(grad.shape());
  Plan<3> plan{grad.shape(), {out.strides(), grad.strides(), input.strides()}};
  coalesce(plan);
  T* o = out.data();
  parallel_walk(plan, kElementGrain, [&](std::size_t n, const Offsets<3>& off, const Offsets<3>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      const double g = widen(grad.data()[off[1] + i * step[1]]), x = widen(input.data()[off[2] + i * step[2]]);
      // p == 0: the power is constant, its gradient 0 everywhere (pow(0, -1) would give inf * 0 = NaN).
      const double d = p == 0.0f ? 0.0 : g * double(p) * std::pow(x, double(p) - 1.0);
      o[off[0] + i * step[0]] = narrow<T>(float(d));
    }
  });
  return out;
}

}  // namespace mirel
