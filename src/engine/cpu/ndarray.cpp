#include "engine/cpu/ndarray.hpp"

#include <algorithm>

namespace mirel {

// Buffers start on a cache line, so full-width vector stores never straddle
// two lines. Not aligned_alloc: glibc pads those requests past its adaptive
// mmap threshold, making every large result a fresh mapping that page-faults
// in; malloc reuses freed heap memory. The malloc'd address sits just before
// the aligned one.
void* allocate_bytes(std::size_t bytes) {
  constexpr std::size_t kAlign = 64;
  if (bytes > std::numeric_limits<std::size_t>::max() - kAlign) throw std::bad_alloc();
  void* raw = std::malloc(bytes + kAlign);
  if (!raw) throw std::bad_alloc();
  auto aligned = (reinterpret_cast<std::uintptr_t>(raw) + kAlign) & ~std::uintptr_t(kAlign - 1);
  reinterpret_cast<void**>(aligned)[-1] = raw;
  return reinterpret_cast<void*>(aligned);
}

void free_bytes(void* p) noexcept {
  if (p) std::free(static_cast<void**>(p)[-1]);
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
