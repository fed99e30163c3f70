#pragma once
// A vector that keeps up to N elements inline: shapes and strides of a few axes
// cost no allocation, which matters for per-call overhead on small tensors.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <type_traits>

namespace mirel {

template <class T, std::size_t N = 6>
class SmallVec {
  static_assert(std::is_trivially_copyable_v<T>);

 public:
  SmallVec() noexcept = default;
  explicit SmallVec(std::size_t n, T fill = T{}) { assign(n, fill); }
  SmallVec(std::initializer_list<T> il) { assign(il.begin(), il.end()); }
  template <class It>
  SmallVec(It first, It last) { assign(first, last); }
  SmallVec(const SmallVec& o) { copy_from(o); }
  SmallVec(SmallVec&& o) noexcept { take(o); }
  SmallVec& operator=(const SmallVec& o) {
    if (this != &o) copy_from(o);
    return *this;
  }
  SmallVec& operator=(SmallVec&& o) noexcept {
    if (this != &o) {
      heap_.reset();
      take(o);
    }
    return *this;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  T* data() noexcept { return heap_ ? heap_.get() : inline_; }
  const T* data() const noexcept { return heap_ ? heap_.get() : inline_; }
  T* begin() noexcept { return data(); }
  T* end() noexcept { return data() + size_; }
  const T* begin() const noexcept { return data(); }
  const T* end() const noexcept { return data() + size_; }
  T& operator[](std::size_t i) noexcept { return data()[i]; }
  const T& operator[](std::size_t i) const noexcept { return data()[i]; }
  T& back() noexcept { return data()[size_ - 1]; }
  const T& back() const noexcept { return data()[size_ - 1]; }

  void resize(std::size_t n, T fill = T{}) {
    reserve(n);
    for (std::size_t i = size_; i < n; ++i) data()[i] = fill;
    size_ = n;
  }
  void push_back(T v) {
    reserve(size_ + 1);
    data()[size_++] = v;
  }
  void reserve(std::size_t n) {
    if (n <= capacity()) return;
    std::size_t cap = std::max(n, 2 * capacity());
    std::unique_ptr<T[]> grown(new T[cap]);
    std::copy(begin(), end(), grown.get());
    heap_ = std::move(grown);
    heap_cap_ = cap;
  }
  template <class It>
  void assign(It first, It last) {
    std::size_t n = std::size_t(std::distance(first, last));
    size_ = 0;
    reserve(n);
    std::copy(first, last, data());
    size_ = n;
  }
  void assign(std::size_t n, T fill) {
    size_ = 0;
    resize(n, fill);
  }

  friend bool operator==(const SmallVec& a, const SmallVec& b) noexcept {
    return std::equal(a.begin(), a.end(), b.begin(), b.end());
  }

 private:
  std::size_t capacity() const noexcept { return heap_ ? heap_cap_ : N; }
  // Inline contents are copied whole, as bytes (slots past size_ are never
  // written before use): a fixed-size copy compiles to a few moves.
  void copy_from(const SmallVec& o) {
    if (o.heap_) return assign(o.begin(), o.end());
    heap_.reset();
    std::memcpy(inline_, o.inline_, sizeof inline_);
    size_ = o.size_;
  }
  void take(SmallVec& o) noexcept {
    size_ = o.size_;
    if (o.heap_) {
      heap_ = std::move(o.heap_);
      heap_cap_ = o.heap_cap_;
    } else {
      std::memcpy(inline_, o.inline_, sizeof inline_);
    }
    o.size_ = 0;
  }

  std::size_t size_ = 0;
  T inline_[N];  // uninitialised past size_: see copy_from
  std::unique_ptr<T[]> heap_;
  std::size_t heap_cap_ = 0;
};

}  // namespace mirel
