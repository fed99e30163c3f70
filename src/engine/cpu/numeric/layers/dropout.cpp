#include "engine/cpu/numeric/layers/dropout.hpp"

#include "engine/cpu/random/sample.hpp"

namespace mirel {

float dropout_scale(double p) noexcept { return 1.0f / float(1.0 - p); }

template <class T>
NdArray<T> dropout(const NdArray<T>& x, const PhiloxStream& s, double p) {
  NdArray<T> out = NdArray<T>::uninit(x.shape());
  const T* in = x.data();
  T* o = out.data();
  const float scale = dropout_scale(p);
  for_each_word(out.size(), s, [&](std::size_t i, std::uint32_t w) {
    o[i] = narrow<T>(widen(in[i]) * (word_below(w, p) ? 0.0f : scale));
  });
  return out;
}

template NdArray<float> dropout(const NdArray<float>&, const PhiloxStream&, double);
template NdArray<F16> dropout(const NdArray<F16>&, const PhiloxStream&, double);
template NdArray<BF16> dropout(const NdArray<BF16>&, const PhiloxStream&, double);

}  // namespace mirel
