#pragma once
// Batched matrix product over the last two axes; leading axes are batch axes that
// broadcast against each other. The arithmetic is always single precision: half
// types are widened on their way into the f32 product, and its result is
// rounded once per element.
#include <type_traits>

#include "engine/cpu/array/ndarray.hpp"
#include "util/error.hpp"

namespace mirel {

// Row-major result of shape batch + [m, n]; operands may have any strides.
Expected<NdArray<float>> internal_linalg_matmul(const View<float>& a, const View<float>& b);
Expected<NdArray<float>> internal_linalg_matmul(const NdArray<float>& a, const NdArray<float>& b);

// The checks of the product of a and b (for any float type) without computing it
// (Note [checked, not computed]).
template <class T>
Expected<void> matmul_check(const View<T>& a, const View<T>& b);

template <class T>
struct MatmulOps {
  // The product in float32, before its one rounding to T.
  static Expected<NdArray<float>> widened_product(const View<T>& a, const View<T>& b);
  static Expected<NdArray<T>> do_matmul(const View<T>& a, const View<T>& b);
  static Expected<NdArray<T>> do_matmul(const NdArray<T>& a, const NdArray<T>& b) {
    return do_matmul(view_of(a), view_of(b));
  }
};

extern template struct MatmulOps<F16>;
extern template struct MatmulOps<BF16>;

// The product of any element type: f32 directly, half types through MatmulOps.
template <class T>
Expected<NdArray<T>> matmul(const View<T>& a, const View<T>& b) {
  if constexpr (std::is_same_v<T, float>) return internal_linalg_matmul(a, b);
  else return MatmulOps<T>::do_matmul(a, b);
}

}  // namespace mirel
