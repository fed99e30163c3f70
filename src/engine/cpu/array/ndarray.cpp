#include "engine/cpu/array/ndarray.hpp"

#include <algorithm>
#include <cstddef>

#include "engine/cpu/array/buffer_cache.hpp"

namespace mirel {

// Buffers start on a cache line, so full-width vector stores never straddle
// two lines. Not aligned_alloc: glibc pads those requests past its adaptive
// mmap threshold, making every large result a fresh mapping that page-faults
// in; malloc reuses freed heap memory. The two words just before the aligned
// address hold the malloc'd address and, for a large block, its size (Note
// [buffer cache]); malloc's 16-byte alignment leaves room for both.
static_assert(alignof(std::max_align_t) >= 2 * sizeof(void*));

void* allocate_bytes(std::size_t bytes) {
  constexpr std::size_t kAlign = 64;
  if (bytes > std::numeric_limits<std::size_t>::max() - kAlign - buffer_cache::kPage) throw std::bad_alloc();
  std::size_t total = bytes + kAlign;
  std::size_t block = 0;  // size of a cacheable block; 0 for a small one
  void* raw = nullptr;
  if (total >= buffer_cache::kMinBytes) {
    block = (total + buffer_cache::kPage - 1) / buffer_cache::kPage * buffer_cache::kPage;
    total = block;
    raw = buffer_cache::take(block);
  }
  if (!raw) raw = std::malloc(total);
  if (!raw) throw std::bad_alloc();
  auto aligned = (reinterpret_cast<std::uintptr_t>(raw) + kAlign) & ~std::uintptr_t(kAlign - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  reinterpret_cast<std::size_t*>(aligned)[-2] = block;
  return reinterpret_cast<void*>(aligned);
}

void free_bytes(void* p) noexcept {
  if (!p) return;
  void* raw = static_cast<void**>(p)[-1];
  const std::size_t block = static_cast<std::size_t*>(p)[-2];
  if (block != 0 && buffer_cache::give(raw, block)) return;
  std::free(raw);
}

bool is_dense(const Shape& shape, const Strides& strides) noexcept {
  std::size_t idx[64];
  std::size_t k = 0;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    if (shape[i] == 0) return true;
    if (shape[i] != 1) {
      if (k == 64) return false;
      idx[k++] = i;
    }
  }
  std::sort(idx, idx + k, [&](std::size_t a, std::size_t b) { return strides[a] < strides[b]; });
  std::ptrdiff_t acc = 1;
  for (std::size_t j = 0; j < k; ++j) {
    if (strides[idx[j]] != acc) return false;
    acc *= std::ptrdiff_t(shape[idx[j]]);
  }
  return true;
}

}  // namespace mirel
