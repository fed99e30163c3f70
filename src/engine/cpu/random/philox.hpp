#pragma once
// Philox4x32-10 (Salmon, Moraes, Dror and Shaw, "Parallel random numbers: as
// easy as 1, 2, 3", SC 2011): a bijection of a 128-bit counter under a 64-bit
// key, ten rounds of two 32x32->64 multiplications.
//
// Note [counter-based random numbers]
// Every random value we make is a pure function of (seed, block, lane): the
// seed is the key, the block is the 64-bit counter (words 0 and 1 of the
// counter, low word first; words 2 and 3 are 0), and each block gives four
// 32-bit words, lanes 0 to 3. A draw that starts at block `offset` gives
// element i the words of a fixed place after it (word i for one word per
// element: block offset + i / 4, lane i % 4; words 2i and 2i + 1 for two).
// So a tensor drawn in pieces, on any number of threads or CPU, has the same
// bits as one drawn whole, and a generator's state is only (seed, offset):
// a draw advances the offset by the blocks it read (whole blocks, so draws
// never share one). Only integer operations are involved.
#include <array>
#include <cstdint>

namespace mirel {

using PhiloxBlock = std::array<std::uint32_t, 4>;

// The ten rounds: each round multiplies words 0 and 2 by the round constants,
// crosses the halves of the products with words 1 and 3 and the key, and the
// key grows by the Weyl constants between rounds.
constexpr PhiloxBlock philox4x32_10(PhiloxBlock c, std::uint32_t k0, std::uint32_t k1) noexcept {
  for (int round = 0; round < 10; ++round) {
    if (round != 0) {
      k0 += 0x9E3779B9u;
      k1 += 0xBB67AE85u;
    }
    const std::uint64_t p0 = std::uint64_t{0xD2511F53u} * c[0];
    const std::uint64_t p1 = std::uint64_t{0xCD9E8D57u} * c[2];
    c = {std::uint32_t(p1 >> 32) ^ c[1] ^ k0, std::uint32_t(p1), std::uint32_t(p0 >> 32) ^ c[3] ^ k1,
         std::uint32_t(p0)};
  }
  return c;
}

// One stream: a seed and the block it starts at (Note [counter-based random numbers]).
struct PhiloxStream {
  std::uint64_t seed = 0;
  std::uint64_t offset = 0;

  PhiloxBlock block(std::uint64_t b) const noexcept {
    const std::uint64_t n = offset + b;  // wraps modulo 2^64, as the counter does
    return philox4x32_10({std::uint32_t(n), std::uint32_t(n >> 32), 0u, 0u}, std::uint32_t(seed),
                         std::uint32_t(seed >> 32));
  }
  // Word w of the stream (block w / 4, lane w % 4).
  std::uint32_t word(std::uint64_t w) const noexcept { return block(w / 4)[w % 4]; }
};

// Blocks a draw of n elements reads at `per_block` elements a block.
constexpr std::uint64_t blocks_for(std::uint64_t n, std::uint64_t per_block) noexcept {
  return n / per_block + (n % per_block != 0);
}

// The word as a double in [0, 1): w * 2^-32, exact.
constexpr double unit_double(std::uint32_t w) noexcept { return double(w) * 0x1p-32; }

// The top 24 bits as a float in [0, 1): every float of that grid is equally likely.
constexpr float unit_float(std::uint32_t w) noexcept { return float(w >> 8) * 0x1p-24f; }

}  // namespace mirel
