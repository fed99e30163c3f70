#include "engine/cpu/numeric/ops/softmax.hpp"

#include <cmath>
#include <vector>

#include "engine/cpu/iter/lines.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/math/math.hpp"

namespace mirel {
namespace {

// out[j] = exp(in[j]) over a line held in f32, by the engine's vector exp.
void exp_line(const float* in, float* out, std::size_t n) { UnaryLoops<Exp, float, float>::best(n, out, in); }

float log_of(float x) {
  float y;
  UnaryLoops<Log, float, float>::best(1, &y, &x);
  return y;
}

// The line's largest value (NaN if it holds one; -inf if empty).
float line_max(const float* v, std::size_t n) {
  float m = -INFINITY;
  for (std::size_t j = 0; j < n; ++j) m = (v[j] > m || std::isnan(v[j])) && !std::isnan(m) ? v[j] : m;
  return m;
}

float line_sum(const float* v, std::size_t n) {
  float s = 0.0f;
  for (std::size_t j = 0; j < n; ++j) s += v[j];
  return s;
}

// The line of x at `off` (stride s) widened into buf.
template <class T>
void load_line(const T* x, std::ptrdiff_t off, std::ptrdiff_t s, std::size_t n, float* buf) {
  for (std::size_t j = 0; j < n; ++j) buf[j] = widen(x[off + std::ptrdiff_t(j) * s]);
}

}  // namespace

template <class T>
NdArray<T> softmax(const NdArray<T>& x, std::size_t axis, bool log) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(x.shape(), x.strides());
  const std::size_t n = x.shape()[axis];
  if (out.size() == 0) return out;
  const std::ptrdiff_t s = x.strides()[axis];  // out has x's strides
  std::vector<float> line(n), shifted(n), e(n);
  for_each_line<1>(x.shape(), {x.strides()}, axis, [&](const Offsets<1>& off) {
    load_line(x.data(), off[0], s, n, line.data());
    const float m = line_max(line.data(), n);
    for (std::size_t j = 0; j < n; ++j) shifted[j] = line[j] - m;
    exp_line(shifted.data(), e.data(), n);
    const float total = line_sum(e.data(), n);
    T* o = out.data() + off[0];
    if (log) {
      const float log_total = log_of(total);
      for (std::size_t j = 0; j < n; ++j) o[std::ptrdiff_t(j) * s] = narrow<T>((line[j] - m) - log_total);
    } else {
      for (std::size_t j = 0; j < n; ++j) o[std::ptrdiff_t(j) * s] = narrow<T>(e[j] / total);
    }
  });
  return out;
}

template <class T>
NdArray<T> backward_softmax(const NdArray<T>& grad, const NdArray<T>& y, std::size_t axis, bool log) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(y.shape(), y.strides());
  const std::size_t n = y.shape()[axis];
  if (out.size() == 0) return out;
  const std::ptrdiff_t sy = y.strides()[axis], sg = grad.strides()[axis];
  std::vector<float> g(n), v(n), ev(n);
  for_each_line<2>(y.shape(), {y.strides(), grad.strides()}, axis, [&](const Offsets<2>& off) {
    load_line(grad.data(), off[1], sg, n, g.data());
    load_line(y.data(), off[0], sy, n, v.data());
    T* o = out.data() + off[0];
    if (log) {
      const float total = line_sum(g.data(), n);
      exp_line(v.data(), ev.data(), n);
      for (std::size_t j = 0; j < n; ++j) o[std::ptrdiff_t(j) * sy] = narrow<T>(g[j] - ev[j] * total);
    } else {
      float dot = 0.0f;
      for (std::size_t j = 0; j < n; ++j) dot += g[j] * v[j];
      for (std::size_t j = 0; j < n; ++j) o[std::ptrdiff_t(j) * sy] = narrow<T>(v[j] * (g[j] - dot));
    }
  });
  return out;
}

template <class T>
void cross_entropy_rows(const NdArray<T>& logits, const std::int64_t* labels, float* loss, float* lse) {
  const std::size_t rows = logits.shape()[0], n = logits.shape()[1];
  const std::ptrdiff_t sr = logits.strides()[0], s = logits.strides()[1];
  std::vector<float> line(n), shifted(n), e(n);
  for (std::size_t i = 0; i < rows; ++i) {
    load_line(logits.data(), std::ptrdiff_t(i) * sr, s, n, line.data());
    const float m = line_max(line.data(), n);
    for (std::size_t j = 0; j < n; ++j) shifted[j] = line[j] - m;
    exp_line(shifted.data(), e.data(), n);
    lse[i] = m + log_of(line_sum(e.data(), n));
    loss[i] = lse[i] - line[std::size_t(labels[i])];
  }
}

template <class T>
NdArray<T> backward_cross_entropy(const NdArray<T>& logits, const std::int64_t* labels, const float* lse,
                                  const float* row_grad) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(logits.shape(), logits.strides());
  const std::size_t rows = logits.shape()[0], n = logits.shape()[1];
  const std::ptrdiff_t sr = logits.strides()[0], s = logits.strides()[1];
  std::vector<float> shifted(n), e(n);
  for (std::size_t i = 0; i < rows; ++i) {
    const std::ptrdiff_t base = std::ptrdiff_t(i) * sr;
    load_line(logits.data(), base, s, n, shifted.data());
    for (std::size_t j = 0; j < n; ++j) shifted[j] -= lse[i];
    exp_line(shifted.data(), e.data(), n);
    const auto label = std::size_t(labels[i]);
    for (std::size_t j = 0; j < n; ++j) {
      out.data()[base + std::ptrdiff_t(j) * s] = narrow<T>(row_grad[i] * (j == label ? e[j] - 1.0f : e[j]));
    }
  }
  return out;
}

#define MIREL_INSTANTIATE(T)                                                                                \
  template NdArray<T> softmax(const NdArray<T>&, std::size_t, bool);                                        \
  template NdArray<T> backward_softmax(const NdArray<T>&, const NdArray<T>&, std::size_t, bool);            \
  template void cross_entropy_rows(const NdArray<T>&, const std::int64_t*, float*, float*);                 \
  template NdArray<T> backward_cross_entropy(const NdArray<T>&, const std::int64_t*, const float*, const float*);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
