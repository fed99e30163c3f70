#pragma once
// The gradient of a one-operand operation from its table rule (numeric/table.hpp):
// rule(g, v) per element, where v is the saved operand or result, computed in
// f32 and rounded once. Shapes must match exactly; the result takes the
// gradient's shape, in the order zip_collect picks from both layouts.
#include "engine/cpu/iter/zip.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/numeric/core.hpp"
#include "util/error.hpp"
#include "util/format.hpp"

namespace mirel {

template <class Rule, class T>
Expected<NdArray<T>> backward_rule(const NdArray<T>& grad, const NdArray<T>& saved, const char* name) {
  if (!(grad.shape() == saved.shape())) {
    return std::unexpected(concat("Shape mismatch in backward_", name, ": grad ", shape_str(grad.shape()),
                                  " vs saved ", shape_str(saved.shape())));
  }
  return zip_collect<T>(view_of(grad), view_of(saved), BinaryLoops<Widened<Rule>, T, T>::best);
}

// A two-operand rule: rule(g, a, b) per element at grad's (the broadcast)
// shape, a and b broadcast to it; f32, rounded once; row-major result.
template <class Rule, class T>
Expected<NdArray<T>> backward_rule(const NdArray<T>& grad, const NdArray<T>& a, const NdArray<T>& b) {
  const Shape& shape = grad.shape();
  auto va = broadcast_view(a, shape);
  auto vb = broadcast_view(b, shape);
  if (!va) return std::unexpected(broadcast_failed('A', a.shape(), shape));
  if (!vb) return std::unexpected(broadcast_failed('B', b.shape(), shape));
  NdArray<T> out = NdArray<T>::uninit(shape);
  Plan<4> p{shape, {out.strides(), grad.strides(), va->strides, vb->strides}};
  coalesce(p);
  T* o = out.data();
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<4>& off, const Offsets<4>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto i = std::ptrdiff_t(j);
      o[off[0] + i * step[0]] = narrow<T>(Rule{}(widen(grad.data()[off[1] + i * step[1]]),
                                                 widen(va->data[off[2] + i * step[2]]),
                                                 widen(vb->data[off[3] + i * step[3]])));
    }
  });
  return out;
}

}  // namespace mirel
