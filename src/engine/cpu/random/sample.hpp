#pragma once
// The distributions, each a row-major array whose element i is computed from
// the words Note [counter-based random numbers] assigns to position i alone:
// * uniform(low, high): word i; u = (w >> 8) * 2^-24 in [0, 1), then
//   low + (high - low) * u in f32, rounded once to T;
// * normal(mean, std): block i / 4, pair (i % 4) / 2 of its words, z0 for even
//   i and z1 for odd (Note [Box-Muller in binary64]); z rounded to f32, then
//   z * std + mean in f32, rounded once to T;
// * bernoulli(p): word i; 1 when w * 2^-32 < p (exact in binary64), else 0;
// * randint(low, high): words 2i, 2i + 1 as x = hi * 2^32 + lo; low + floor(x * n / 2^64)
//   with n = high - low (off from uniform by at most n / 2^64);
// * permutation(n): 0 .. n-1 sorted by the key x_i of randint's words
//   (ties, a chance of about n^2 / 2^65, by i).
#include <cstdint>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/random/philox.hpp"

namespace mirel {

// Elements each block serves: four for the one-word draws (and normal, two
// values per pair), two for the two-word ones.
inline constexpr std::uint64_t kOneWordPerBlock = 4;
inline constexpr std::uint64_t kTwoWordPerBlock = 2;

// Whether the word falls below p: bernoulli's 1, dropout's dropped element.
constexpr bool word_below(std::uint32_t w, double p) noexcept { return unit_double(w) < p; }

template <class T>
NdArray<T> random_uniform(const Shape& shape, const PhiloxStream& s, float low, float high);
template <class T>
NdArray<T> random_normal(const Shape& shape, const PhiloxStream& s, float mean, float std);
template <class T>
NdArray<T> random_bernoulli(const Shape& shape, const PhiloxStream& s, double p);
// Per-element probabilities, read row-major from a row-major array.
template <class T>
NdArray<T> random_bernoulli_of(const NdArray<T>& probs, const PhiloxStream& s);
NdArray<std::int64_t> random_integers(const Shape& shape, const PhiloxStream& s, std::int64_t low, std::uint64_t n);
NdArray<std::int64_t> random_permutation(std::size_t n, const PhiloxStream& s);

// Blocks of a stream worth a thread: Philox costs about as much per word as
// a math kernel per element.
inline constexpr std::size_t kBlockGrain = 2048;

// f(b) for each block b in [0, blocks), ranges of them on the pool's threads:
// every value depends only on its position, so the split changes no bit.
template <class F>
void for_each_block(std::size_t blocks, F f) {
  exec::parallel_for(blocks, kBlockGrain, [&](std::size_t begin, std::size_t end) {
    for (std::size_t b = begin; b < end; ++b) f(b);
  });
}

// f(i, w) for each i in [0, n) with its word (one word per element); f may run
// on several threads at once, each i once.
template <class F>
void for_each_word(std::size_t n, const PhiloxStream& s, F f) {
  for_each_block((n + 3) / 4, [&](std::size_t b) {
    const PhiloxBlock w = s.block(b);
    for (std::size_t lane = 0; lane < 4 && b * 4 + lane < n; ++lane) f(b * 4 + lane, w[lane]);
  });
}

}  // namespace mirel
