#include "engine/cpu/random/sample.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "engine/cpu/random/gauss.hpp"

namespace mirel {
namespace {

// f(i, x) for each i in [0, n) with its 64-bit value (two words per element).
template <class F>
void for_each_pair(std::size_t n, const PhiloxStream& s, F f) {
  for_each_block((n + 1) / 2, [&](std::size_t b) {
    const PhiloxBlock w = s.block(b);
    for (std::size_t half = 0; half < 2 && b * 2 + half < n; ++half) {
      f(b * 2 + half, (std::uint64_t(w[2 * half + 1]) << 32) | w[2 * half]);
    }
  });
}

// floor(x * n / 2^64): x scaled into [0, n).
std::uint64_t scaled(std::uint64_t x, std::uint64_t n) noexcept {
  return std::uint64_t((static_cast<unsigned __int128>(x) * n) >> 64);
}

}  // namespace

template <class T>
NdArray<T> random_uniform(const Shape& shape, const PhiloxStream& s, float low, float high) {
  NdArray<T> out = NdArray<T>::uninit(shape);
  T* o = out.data();
  const float width = high - low;
  for_each_word(out.size(), s, [&](std::size_t i, std::uint32_t w) { o[i] = narrow<T>(low + width * unit_float(w)); });
  return out;
}

template <class T>
NdArray<T> random_normal(const Shape& shape, const PhiloxStream& s, float mean, float std) {
  NdArray<T> out = NdArray<T>::uninit(shape);
  T* o = out.data();
  const std::size_t n = out.size();
  for_each_block((n + 3) / 4, [&](std::size_t b) {
    const PhiloxBlock w = s.block(b);
    for (std::size_t pair = 0; pair < 2; ++pair) {
      const NormalPair z = box_muller(w[2 * pair], w[2 * pair + 1]);
      const std::size_t i = b * 4 + 2 * pair;
      if (i < n) o[i] = narrow<T>(float(z.z0) * std + mean);
      if (i + 1 < n) o[i + 1] = narrow<T>(float(z.z1) * std + mean);
    }
  });
  return out;
}

template <class T>
NdArray<T> random_bernoulli(const Shape& shape, const PhiloxStream& s, double p) {
  NdArray<T> out = NdArray<T>::uninit(shape);
  T* o = out.data();
  for_each_word(out.size(), s, [&](std::size_t i, std::uint32_t w) { o[i] = narrow<T>(word_below(w, p) ? 1.0f : 0.0f); });
  return out;
}

template <class T>
NdArray<T> random_bernoulli_of(const NdArray<T>& probs, const PhiloxStream& s) {
  NdArray<T> out = NdArray<T>::uninit(probs.shape());
  T* o = out.data();
  const T* p = probs.data();
  for_each_word(out.size(), s, [&](std::size_t i, std::uint32_t w) {
    o[i] = narrow<T>(word_below(w, double(widen(p[i]))) ? 1.0f : 0.0f);
  });
  return out;
}

NdArray<std::int64_t> random_integers(const Shape& shape, const PhiloxStream& s, std::int64_t low, std::uint64_t n) {
  NdArray<std::int64_t> out = NdArray<std::int64_t>::uninit(shape);
  std::int64_t* o = out.data();
  // low + k stays in range (high - low = n): computed modulo 2^64, exact.
  for_each_pair(out.size(), s, [&](std::size_t i, std::uint64_t x) {
    o[i] = std::int64_t(std::uint64_t(low) + scaled(x, n));
  });
  return out;
}

NdArray<std::int64_t> random_permutation(std::size_t n, const PhiloxStream& s) {
  std::vector<std::pair<std::uint64_t, std::int64_t>> keyed(n);
  for_each_pair(n, s, [&](std::size_t i, std::uint64_t x) { keyed[i] = {x, std::int64_t(i)}; });
  std::sort(keyed.begin(), keyed.end());
  NdArray<std::int64_t> out = NdArray<std::int64_t>::uninit(Shape{n});
  for (std::size_t i = 0; i < n; ++i) out.data()[i] = keyed[i].second;
  return out;
}

#define MIREL_INSTANTIATE(T)                                                                 \
  template NdArray<T> random_uniform(const Shape&, const PhiloxStream&, float, float);       \
  template NdArray<T> random_normal(const Shape&, const PhiloxStream&, float, float);        \
  template NdArray<T> random_bernoulli(const Shape&, const PhiloxStream&, double);           \
  template NdArray<T> random_bernoulli_of(const NdArray<T>&, const PhiloxStream&);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
