#pragma once
// NdArray<T>: an owned, dense, dynamic-rank array. Shape in unsigned sizes,
// strides in elements (never negative), one buffer of exactly numel() elements
// laid out in some axis order (row-major, column-major or permuted).
// View<T>: a non-owning, read-only window with the same shape/strides model,
// whose strides may be 0 on broadcast axes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "engine/cpu/array/half.hpp"
#include "engine/cpu/array/layout.hpp"

namespace mirel {

// Raw, 64-byte aligned storage; throws std::bad_alloc (turned into MemoryError
// at the boundary). Release with free_bytes.
void* allocate_bytes(std::size_t bytes);
void free_bytes(void* p) noexcept;

struct BufferFree {
  void operator()(void* p) const noexcept { free_bytes(p); }
};

template <class T>
class NdArray {
 public:
  using value_type = T;

  NdArray() = default;

  // Uninitialised array of a shape whose element count the caller has checked.
  static NdArray uninit(Shape shape, Order order = Order::RowMajor) {
    Strides st = dense_strides(shape, order);
    return NdArray(std::move(shape), std::move(st));
  }
  static NdArray uninit_like_layout(Shape shape, Strides strides) { return NdArray(std::move(shape), std::move(strides)); }
  static NdArray filled(Shape shape, T value) {
    NdArray a = uninit(std::move(shape));
    T* p = a.data();
    for (std::size_t i = 0, n = a.size(); i < n; ++i) p[i] = value;
    return a;
  }

  // Element count of an array of this shape. A count or byte size beyond what the
  // address space can hold is an allocation failure (std::bad_alloc, MemoryError
  // at the boundary), never a wrapped-around size.
  static std::size_t checked_size(const Shape& shape) {
    const auto n = checked_numel(shape);
    if (!n || *n > std::size_t(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T)) throw std::bad_alloc();
    return *n;
  }

  NdArray(NdArray&&) noexcept = default;
  NdArray& operator=(NdArray&&) noexcept = default;
  NdArray(const NdArray& o) : NdArray(o.shape_, o.strides_) {
    if (size_) std::memcpy(data_.get(), o.data_.get(), size_ * sizeof(T));
  }
  NdArray& operator=(const NdArray&) = delete;

  const Shape& shape() const noexcept { return shape_; }
  const Strides& strides() const noexcept { return strides_; }
  std::size_t ndim() const noexcept { return shape_.size(); }
  std::size_t size() const noexcept { return size_; }
  T* data() noexcept { return reinterpret_cast<T*>(data_.get()); }
  const T* data() const noexcept { return reinterpret_cast<const T*>(data_.get()); }
  bool is_standard_layout() const noexcept { return is_row_major(shape_, strides_); }

  // Same buffer, new shape and strides: only for layouts that stay dense over the same elements.
  void set_layout(Shape shape, Strides strides) noexcept {
    shape_ = std::move(shape);
    strides_ = std::move(strides);
  }

 private:
  NdArray(Shape shape, Strides strides) : shape_(std::move(shape)), strides_(std::move(strides)) {
    size_ = checked_size(shape_);
    data_.reset(allocate_bytes(size_ * sizeof(T)));
  }

  Shape shape_;
  Strides strides_;
  std::size_t size_ = 0;
  std::unique_ptr<void, BufferFree> data_;
};

template <class T>
struct View {
  const T* data;
  Shape shape;
  Strides strides;
};

template <class T>
View<T> view_of(const NdArray<T>& a) {
  return View<T>{a.data(), a.shape(), a.strides()};
}

// Dense in some axis order: the strides, sorted, are the dense strides of the
// correspondingly permuted shape (ignoring axes of length 1).
bool is_dense(const Shape& shape, const Strides& strides) noexcept;

}  // namespace mirel
