#pragma once
// Rectifier forward on bit patterns: a kept element is copied exactly; NaN,
// negative values and -0 give +0. The result keeps the operand's layout.
#include "engine/cpu/iter/zip.hpp"

namespace mirel {

struct Relu {
  template <class T>
  T operator()(T v) const noexcept {
    if constexpr (std::is_same_v<T, float>) {
      return v > 0.0f ? v : 0.0f;
    } else {
      const bool keep = !v.is_nan() && !(v.bits & 0x8000u);
      return T{std::uint16_t(keep ? v.bits : 0)};
    }
  }
};

template <class T>
NdArray<T> relu(const NdArray<T>& a) {
  return map<T>(a, UnaryLoops<Relu, T, T>::best);
}

}  // namespace mirel
