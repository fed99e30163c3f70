#include "engine/cpu/ndarray.hpp"

#include <algorithm>

#include <sys/mman.h>

namespace mirel {

void* allocate_bytes(std::size_t bytes) {
  constexpr std::size_t kAlign = 64;
  constexpr std::size_t kHugeFrom = std::size_t(1) << 22;
  constexpr std::size_t kAlignFrom = 4096;
  if (bytes < kAlignFrom) {  // small buffers: plain malloc is the cheaper call, and 16-byte aligned
    void* p = std::malloc(std::max<std::size_t>(bytes, 1));
    if (!p) throw std::bad_alloc();
    return p;
  }
  std::size_t rounded = (bytes + kAlign - 1) & ~(kAlign - 1);
  void* p = std::aligned_alloc(kAlign, rounded);
  if (!p) throw std::bad_alloc();
  if (bytes >= kHugeFrom) {
    // Large buffers: ask for transparent huge pages, fewer page faults on first touch.
    auto begin = (reinterpret_cast<std::uintptr_t>(p) + 4095) & ~std::uintptr_t(4095);
    auto end = (reinterpret_cast<std::uintptr_t>(p) + rounded) & ~std::uintptr_t(4095);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
  }
  return p;
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
