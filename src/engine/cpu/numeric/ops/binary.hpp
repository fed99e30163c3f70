#pragma once
// Broadcasting elementwise operations of two arrays. Op is a functor of
// numeric/core.hpp: binary gives the element type (float types), compare a Bool
// array (any type).
#include "engine/cpu/iter/zip.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "util/error.hpp"

namespace mirel {

// Same shape, both row-major: the result is row-major and the pass one loop,
// with no broadcasting or planning at all (the common case, and the one where
// per-call cost shows on small tensors). Anything else broadcasts and plans.
template <class R, class T>
Expected<NdArray<R>> elementwise(const NdArray<T>& a, const NdArray<T>& b, BinaryLoop<R, T> loop) {
  if (a.shape() == b.shape() && a.is_standard_layout() && b.is_standard_layout()) {
    NdArray<R> out = NdArray<R>::uninit(a.shape());
    loop(out.size(), out.data(), 1, a.data(), 1, b.data(), 1);
    return out;
  }
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  return zip_collect<R>(views->first, views->second, loop);
}

template <class Op, class T>
Expected<NdArray<T>> binary(const NdArray<T>& a, const NdArray<T>& b);

template <class Op, class T>
Expected<NdArray<bool>> compare(const NdArray<T>& a, const NdArray<T>& b);

// The checks of binary() without the arithmetic (Note [checked, not computed]).
template <class T>
Expected<void> binary_check(const NdArray<T>& a, const NdArray<T>& b);

}  // namespace mirel
