#include "engine/cpu/ndarray.hpp"

#include <algorithm>

namespace mirel {

void* allocate_bytes(std::size_t bytes) {
  // Plain malloc, not an aligned variant: glibc's memalign pads large requests
  // past its adaptive mmap threshold, so every large result would be a fresh
  // mmap and page faults; malloc reuses freed heap memory instead.
  void* p = std::malloc(std::max<std::size_t>(bytes, 1));
  if (!p) throw std::bad_alloc();
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
