#pragma once
// Note [buffer cache]
// A training loop allocates and frees the same large buffers at every step.
// Handed back to the C library, their pages go back to the kernel (heap
// trimming, unmapped mappings), and the next step pays a page fault for every
// 4 KiB it touches: more than the copy or the arithmetic that fills the buffer.
// Each thread therefore keeps recently freed large blocks and reuses one of
// the same page-rounded size. It holds a whole step of a small model (a
// transformer's graph frees some hundred buffers at once), bounded by kSlots
// blocks and kMaxBytes in all per thread; it evicts the least recently freed
// block first, and releases everything at thread exit.
#include <cstddef>

namespace mirel::buffer_cache {

inline constexpr std::size_t kPage = 4096;
inline constexpr std::size_t kMinBytes = 64 * 1024;  // smaller blocks are the C library's business
inline constexpr std::size_t kSlots = 256;
inline constexpr std::size_t kMaxBytes = std::size_t(128) << 20;

// A block of exactly `bytes` (a multiple of kPage) freed earlier on this thread, or nullptr.
void* take(std::size_t bytes) noexcept;

// Keeps a malloc'd block of `bytes` for reuse. False when the cache declines it
// (too large, or the thread is exiting): the caller frees it.
bool give(void* raw, std::size_t bytes) noexcept;

}  // namespace mirel::buffer_cache
