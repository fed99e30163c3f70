#pragma once
// Rectifier gradient: the incoming gradient where the input is above zero,
// +0 elsewhere (NaN inputs included). Shapes must match exactly.
#include "engine/cpu/iter.hpp"
#include "util/error.hpp"
#include "util/format.hpp"

namespace mirel {

template <class T>
inline bool above_zero(T v) noexcept {
  if constexpr (std::is_same_v<T, float>) return v > 0.0f;
  else return !v.is_nan() && !(v.bits & 0x8000u) && (v.bits & 0x7fffu) != 0;
}

template <class T>
Expected<NdArray<T>> relu_backward(const NdArray<T>& grad, const NdArray<T>& input) {
  if (!(grad.shape() == input.shape())) {
    return std::unexpected(concat("Shape mismatch in relu_backward: grad ", shape_str(grad.shape()), " vs input ",
                                  shape_str(input.shape())));
  }
  return zip_collect<T, T, /*Raw=*/true>(view_of(grad), view_of(input),
                                         [](T g, T x) { return above_zero(x) ? g : T{}; });
}

}  // namespace mirel
