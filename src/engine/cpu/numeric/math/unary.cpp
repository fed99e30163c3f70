#include "engine/cpu/numeric/math/unary.hpp"

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/iter/zip.hpp"
#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/table.hpp"

namespace mirel {

template <class Op, class T>
NdArray<T> unary(const NdArray<T>& a) {
  return map<T>(a, UnaryLoops<Op, T, T>::best, kElementGrain / 4);  // a math kernel per element
}

template <class T>
GeluKept<T> gelu_keeping_slope(const NdArray<T>& a) {
  GeluKept<T> r{NdArray<T>::uninit_like_layout(a.shape(), a.strides()),
                NdArray<float>::uninit_like_layout(a.shape(), a.strides())};
  T* y = r.y.data();
  float* slope = r.slope.data();
  const T* x = a.data();
  exec::parallel_for(a.size(), kElementGrain / 4, [&](std::size_t begin, std::size_t end) {
    GeluSlopeLoops<Gelu, T>::best_forward(end - begin, y + begin, slope + begin, x + begin);
  });
  return r;
}

template <class T>
NdArray<T> gelu_gradient(const NdArray<T>& grad, const NdArray<float>& slope) {
  // One pass over both buffers when they share a layout (a gradient usually
  // has its result's); else both are read in row-major order.
  NdArray<T> g_copy;
  NdArray<float> s_copy;
  const bool same = grad.strides() == slope.strides();
  const NdArray<T>& g = same ? grad : (g_copy = row_major(grad), g_copy);
  const NdArray<float>& s = same ? slope : (s_copy = row_major(slope), s_copy);
  NdArray<T> out = NdArray<T>::uninit_like_layout(g.shape(), g.strides());
  T* o = out.data();
  exec::parallel_for(out.size(), kElementGrain, [&](std::size_t begin, std::size_t end) {
    GeluSlopeLoops<Gelu, T>::best_backward(end - begin, o + begin, g.data() + begin, s.data() + begin);
  });
  return out;
}

template GeluKept<float> gelu_keeping_slope(const NdArray<float>&);
template GeluKept<F16> gelu_keeping_slope(const NdArray<F16>&);
template GeluKept<BF16> gelu_keeping_slope(const NdArray<BF16>&);
template NdArray<float> gelu_gradient(const NdArray<float>&, const NdArray<float>&);
template NdArray<F16> gelu_gradient(const NdArray<F16>&, const NdArray<float>&);
template NdArray<BF16> gelu_gradient(const NdArray<BF16>&, const NdArray<float>&);

// One instantiation per line of the table (numeric/table.hpp) and element type.
#define MIREL_UNARY(name, Op, Rule, saved)                  \
  template NdArray<float> unary<Op>(const NdArray<float>&); \
  template NdArray<F16> unary<Op>(const NdArray<F16>&);     \
  template NdArray<BF16> unary<Op>(const NdArray<BF16>&);
MIREL_UNARY_OPS(MIREL_UNARY)
#undef MIREL_UNARY

}  // namespace mirel
