#pragma once
// The iteration engine behind every elementwise kernel.
//
// Two operands: broadcast views at one shape are paired with a freshly
// allocated result whose memory order (row- or column-major) is chosen from the
// views (result_order). The loop is planned first: axes reversed for a
// column-major result, adjacent axes that are contiguous together in all three
// operands merged (coalesce), then run as one flat loop when every operand is
// unit-stride, otherwise as a strided nest with the innermost axis fastest.
//
// One operand (map): the result takes the operand's shape and strides, and since
// every array is dense the whole pass is one flat loop over the buffer.
//
// Half types are computed in float: whole runs are widened into small float
// buffers, the float operation runs over them (vectorised), and the results are
// narrowed once each.
#include <algorithm>
#include <array>
#include <type_traits>

#include "engine/cpu/flat.hpp"
#include "engine/cpu/ndarray.hpp"

namespace mirel {

// Element type an operation computes in: float for the half types.
template <class T>
using compute_t = std::conditional_t<is_half_v<T>, float, T>;

Order result_order(const Shape& shape, const Strides& a, const Strides& b) noexcept;

struct Plan {
  Shape shape;
  std::array<Strides, 3> strides;  // out, a, b
};

// Merges axes that are contiguous together in every operand; drops length-1 axes.
void coalesce(Plan& p);

namespace detail {

inline constexpr std::size_t kChunk = 1024;

// Widens a run of half-type elements at stride s into dst.
template <class T>
inline void load_run(const T* p, std::ptrdiff_t s, float* dst, std::size_t m) noexcept {
  if (s == 1) return widen_n(p, dst, m);
  if (s == 0) {
    std::fill(dst, dst + m, widen(p[0]));
    return;
  }
  for (std::size_t j = 0; j < m; ++j) dst[j] = widen(p[std::ptrdiff_t(j) * s]);
}

// Element functors that name their operation (F::op) have a prebuilt flat loop.
template <class R, class F>
inline constexpr bool has_flat_v = requires { F::op; } && (std::is_same_v<R, float> || std::is_same_v<R, bool>);

template <class R, class F>
inline void flat_run(std::size_t n, R* o, const float* a, const float* b, F&) noexcept {
  if constexpr (std::is_same_v<R, bool>) flat_compare(F::op, n, o, a, b);
  else flat_binary(F::op, n, o, a, b);
}

// Innermost run of n elements with one stride per operand. Float and bool take
// direct loops (the unit-stride ones vectorise); half types go through float runs.
template <class R, class T, bool Raw, class F>
inline void binary_run(std::size_t n, R* o, std::ptrdiff_t so, const T* a, std::ptrdiff_t sa, const T* b,
                       std::ptrdiff_t sb, F& f) {
  if constexpr (!is_half_v<T> || Raw) {
    if constexpr (std::is_same_v<T, float> && has_flat_v<R, F>) {
      if (so == 1 && sa == 1 && sb == 1) return flat_run(n, o, a, b, f);
    }
    if (so == 1 && sa == 1 && sb == 1) {
      for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i], b[i]);
    } else if (so == 1 && sa == 1 && sb == 0) {
      const T y = b[0];
      for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i], y);
    } else if (so == 1 && sa == 0 && sb == 1) {
      const T x = a[0];
      for (std::size_t i = 0; i < n; ++i) o[i] = f(x, b[i]);
    } else {
      for (std::size_t i = 0; i < n; ++i) {
        const auto k = std::ptrdiff_t(i);
        o[k * so] = f(a[k * sa], b[k * sb]);
      }
    }
  } else {
    if constexpr (std::is_same_v<R, T> && has_flat_v<float, F>) {
      if (so == 1 && sa == 1 && sb == 1 && flat_binary(F::op, n, o, a, b)) return;
    }
    float fa[kChunk], fb[kChunk];
    for (std::size_t i0 = 0; i0 < n; i0 += kChunk) {
      const std::size_t m = std::min(kChunk, n - i0);
      const auto k0 = std::ptrdiff_t(i0);
      load_run(a + k0 * sa, sa, fa, m);
      load_run(b + k0 * sb, sb, fb, m);
      if constexpr (std::is_same_v<R, T>) {
        float fo[kChunk];
        if constexpr (has_flat_v<float, F>) flat_run(m, fo, fa, fb, f);
        else for (std::size_t j = 0; j < m; ++j) fo[j] = f(fa[j], fb[j]);
        if (so == 1) narrow_n(fo, o + k0, m);
        else for (std::size_t j = 0; j < m; ++j) o[(k0 + std::ptrdiff_t(j)) * so] = narrow<R>(fo[j]);
      } else {
        if constexpr (has_flat_v<R, F>) {
          if (so == 1) {
            flat_run(m, o + k0, fa, fb, f);
            continue;
          }
        }
        for (std::size_t j = 0; j < m; ++j) o[(k0 + std::ptrdiff_t(j)) * so] = f(fa[j], fb[j]);
      }
    }
  }
}

}  // namespace detail

// Pairs two views of one shape and collects f over them into a new array.
// f works on compute_t<T> values and returns compute_t<R> (R = T or bool);
// with Raw it gets and returns the stored elements themselves (bit-exact copies).
template <class R, class T, bool Raw = false, class F>
NdArray<R> zip_collect(const View<T>& a, const View<T>& b, F f) {
  const Order order = result_order(a.shape, a.strides, b.strides);
  NdArray<R> out = NdArray<R>::uninit(a.shape, order);
  if (out.size() == 0) return out;
  Plan p{a.shape, {out.strides(), a.strides, b.strides}};
  if (order == Order::ColMajor) {
    std::reverse(p.shape.begin(), p.shape.end());
    for (auto& s : p.strides) std::reverse(s.begin(), s.end());
  }
  coalesce(p);
  R* o = out.data();
  const std::size_t rank = p.shape.size();
  if (rank == 0) {
    detail::binary_run<R, T, Raw>(1, o, 1, a.data, 0, b.data, 0, f);
    return out;
  }
  const std::size_t inner = p.shape[rank - 1];
  const auto &so = p.strides[0], &sa = p.strides[1], &sb = p.strides[2];
  if (rank == 1) {
    detail::binary_run<R, T, Raw>(inner, o, so[0], a.data, sa[0], b.data, sb[0], f);
    return out;
  }
  // Odometer over the outer axes.
  SmallVec<std::size_t> idx(rank - 1, 0);
  std::ptrdiff_t oo = 0, ao = 0, bo = 0;
  for (;;) {
    detail::binary_run<R, T, Raw>(inner, o + oo, so[rank - 1], a.data + ao, sa[rank - 1], b.data + bo, sb[rank - 1], f);
    std::size_t d = rank - 1;
    for (;;) {
      if (d == 0) return out;
      --d;
      oo += so[d], ao += sa[d], bo += sb[d];
      if (++idx[d] < p.shape[d]) break;
      oo -= so[d] * std::ptrdiff_t(p.shape[d]);
      ao -= sa[d] * std::ptrdiff_t(p.shape[d]);
      bo -= sb[d] * std::ptrdiff_t(p.shape[d]);
      idx[d] = 0;
    }
  }
}

// Applies f to every element, keeping the operand's shape and memory order.
// f works on compute_t<T> and returns compute_t<R>; with Raw it works on the
// stored elements themselves (bit-level operations such as relu).
template <class R, class T, bool Raw = false, class F>
NdArray<R> map(const NdArray<T>& a, F f) {
  NdArray<R> out = NdArray<R>::uninit_like_layout(a.shape(), a.strides());
  const std::size_t n = a.size();
  const T* x = a.data();
  R* o = out.data();
  if constexpr (is_half_v<T> && !Raw) {
    float fa[detail::kChunk];
    for (std::size_t i0 = 0; i0 < n; i0 += detail::kChunk) {
      const std::size_t m = std::min(detail::kChunk, n - i0);
      widen_n(x + i0, fa, m);
      if constexpr (std::is_same_v<R, T>) {
        for (std::size_t j = 0; j < m; ++j) fa[j] = f(fa[j]);
        narrow_n(fa, o + i0, m);
      } else {
        for (std::size_t j = 0; j < m; ++j) o[i0 + j] = f(fa[j]);
      }
    }
  } else {
    for (std::size_t i = 0; i < n; ++i) o[i] = f(x[i]);
  }
  return out;
}

}  // namespace mirel
