#include "engine/cpu/array/buffer_cache.hpp"

#include <cstdint>
#include <cstdlib>

namespace mirel::buffer_cache {
namespace {

struct Slot {
  void* raw;
  std::size_t bytes;
  std::uint64_t stamp;  // when it was freed: the smallest is evicted first
};

struct Cache {
  Slot slots[kSlots];
  std::size_t count = 0;
  std::size_t total = 0;
  std::uint64_t clock = 0;

  void drop(std::size_t i) noexcept {
    total -= slots[i].bytes;
    slots[i] = slots[--count];
  }
  ~Cache();
};

// Buffers can be freed during thread exit after the cache itself is gone (a
// tape destroyed later than the cache); the state, trivially destructible,
// outlives it and sends those blocks straight to free().
enum class State : unsigned char { Unborn, Alive, Dead };
thread_local constinit State state = State::Unborn;

Cache::~Cache() {
  state = State::Dead;
  for (std::size_t i = 0; i < count; ++i) std::free(slots[i].raw);
  count = 0;
}

Cache* cache() noexcept {
  if (state == State::Dead) return nullptr;
  thread_local Cache c;
  state = State::Alive;
  return &c;
}

}  // namespace

void* take(std::size_t bytes) noexcept {
  Cache* c = cache();
  if (!c) return nullptr;
  // The most recently freed match: the one most likely still in cache.
  std::size_t best = c->count;
  for (std::size_t i = 0; i < c->count; ++i) {
    if (c->slots[i].bytes == bytes && (best == c->count || c->slots[i].stamp > c->slots[best].stamp)) best = i;
  }
  if (best == c->count) return nullptr;
  void* raw = c->slots[best].raw;
  c->drop(best);
  return raw;
}

bool give(void* raw, std::size_t bytes) noexcept {
  if (bytes > kMaxBytes / 2) return false;
  Cache* c = cache();
  if (!c) return false;
  while (c->count == kSlots || c->total + bytes > kMaxBytes) {
    std::size_t oldest = 0;
    for (std::size_t i = 1; i < c->count; ++i) {
      if (c->slots[i].stamp < c->slots[oldest].stamp) oldest = i;
    }
    std::free(c->slots[oldest].raw);
    c->drop(oldest);
  }
  c->slots[c->count++] = Slot{raw, bytes, ++c->clock};
  c->total += bytes;
  return true;
}

}  // namespace mirel::buffer_cache
