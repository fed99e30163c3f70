#pragma once
// Rectifier gradient: the incoming gradient where the input is above zero,
// +0 elsewhere (NaN inputs included). Shapes must match exactly.
#include "engine/cpu/iter/zip.hpp"
#include "util/error.hpp"
#include "util/format.hpp"

namespace mirel {

// (gradient, input) -> the gradient where the input is above zero, else +0.
struct ReluGrad {
  template <class T>
  T operator()(T g, T x) const noexcept {
    if constexpr (std::is_same_v<T, float>) return x > 0.0f ? g : T{};
    else return !x.is_nan() && !(x.bits & 0x8000u) && (x.bits & 0x7fffu) != 0 ? g : T{};
  }
};

template <class T>
Expected<NdArray<T>> backward_relu(const NdArray<T>& grad, const NdArray<T>& input) {
  if (!(grad.shape() == input.shape())) {
    return std::unexpected(concat("Shape mismatch in relu_backward: grad ", shape_str(grad.shape()), " vs input ",
                                  shape_str(input.shape())));
  }
  return zip_collect<T>(view_of(grad), view_of(input), BinaryLoops<ReluGrad, T, T>::best);
}

}  // namespace mirel
