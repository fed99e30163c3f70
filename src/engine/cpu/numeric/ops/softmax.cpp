#include "engine/cpu/numeric/ops/softmax.hpp"

#include <algorithm>
#include <cstring>
#include <span>
#include <vector>

#include "engine/cpu/iter/lines.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/reduce/reduce.hpp"

namespace mirel {
namespace {

// Elements of lines handled together: short lines share one call of the vector
// exp, and a block's buffers stay in the first-level cache.
constexpr std::size_t kBlock = 4096;

// Lines per block, for `lines` lines of n elements.
std::size_t lines_per_block(std::size_t n, std::size_t lines) {
  return std::clamp<std::size_t>(kBlock / std::max<std::size_t>(n, 1), 1, std::max<std::size_t>(lines, 1));
}

// out[j] = exp(in[j]) over n floats, by the engine's vector exp.
void exp_run(const float* in, float* out, std::size_t n) { UnaryLoops<Exp, float, float>::best(n, out, in); }
void log_run(const float* in, float* out, std::size_t n) { UnaryLoops<Log, float, float>::best(n, out, in); }

// The line of x at `off` (stride s, n elements) widened into buf.
template <class T>
void gather_line(const T* x, std::ptrdiff_t off, std::ptrdiff_t s, std::size_t n, float* buf) {
  const T* p = x + off;
  if (s != 1) {
    for (std::size_t j = 0; j < n; ++j) buf[j] = widen(p[std::ptrdiff_t(j) * s]);
  } else if constexpr (std::is_same_v<T, float>) {
    std::memcpy(buf, p, n * sizeof(float));
  } else {
    widen_n(p, buf, n);
  }
}

// The same line in f32: x itself when it is a contiguous f32 line, else buf.
template <class T>
const float* read_line(const T* x, std::ptrdiff_t off, std::ptrdiff_t s, std::size_t n, float* buf) {
  if constexpr (std::is_same_v<T, float>) {
    if (s == 1) return x + off;
  }
  gather_line(x, off, s, n, buf);
  return buf;
}

// line[0, n) rounded once into x's line at `off` (stride s).
template <class T>
void write_line(const float* line, T* x, std::ptrdiff_t off, std::ptrdiff_t s, std::size_t n) {
  T* p = x + off;
  if (s == 1) {
    if constexpr (std::is_same_v<T, float>) std::memcpy(p, line, n * sizeof(float));
    else narrow_n(line, p, n);
  } else {
    for (std::size_t j = 0; j < n; ++j) p[std::ptrdiff_t(j) * s] = narrow<T>(line[j]);
  }
}

// v[j] = line[j] - max(line) over each of r lines of n, gathered from x into v.
template <class T>
void shifted_lines(const T* x, std::span<const std::ptrdiff_t> offs, std::ptrdiff_t s, std::size_t n, float* v) {
  for (std::size_t i = 0; i < offs.size(); ++i) {
    float* vi = v + i * n;
    const float* line = read_line(x, offs[i], s, n, vi);
    const float m = max_run(line, n);
    for (std::size_t j = 0; j < n; ++j) vi[j] = line[j] - m;
  }
}

}  // namespace

template <class T>
NdArray<T> softmax(const NdArray<T>& x, std::size_t axis, bool log) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(x.shape(), x.strides());
  const std::size_t n = x.shape()[axis];
  if (out.size() == 0) return out;
  const std::ptrdiff_t s = x.strides()[axis];  // out has x's strides
  const std::size_t per = lines_per_block(n, out.size() / n);
  struct Scratch {
    std::vector<float> v, e, totals, logs;
    std::vector<std::ptrdiff_t> offs;
  };
  auto make = [&] { return Scratch{std::vector<float>(per * n), std::vector<float>(per * n), std::vector<float>(per),
                                   std::vector<float>(per), std::vector<std::ptrdiff_t>(per)}; };
  for_each_line_block<1>(x.shape(), {x.strides()}, axis, per, make, [&](Scratch& b, std::span<const Offsets<1>> lines) {
    const std::size_t r = lines.size();
    for (std::size_t i = 0; i < r; ++i) b.offs[i] = lines[i][0];
    shifted_lines(x.data(), {b.offs.data(), r}, s, n, b.v.data());
    exp_run(b.v.data(), b.e.data(), r * n);
    for (std::size_t i = 0; i < r; ++i) b.totals[i] = sum_run(b.e.data() + i * n, n);
    if (log) log_run(b.totals.data(), b.logs.data(), r);
    for (std::size_t i = 0; i < r; ++i) {
      float* vi = b.v.data() + i * n;
      const float* ei = b.e.data() + i * n;
      if (log) {
        for (std::size_t j = 0; j < n; ++j) vi[j] -= b.logs[i];
      } else {
        for (std::size_t j = 0; j < n; ++j) vi[j] = ei[j] / b.totals[i];
      }
      write_line(vi, out.data(), b.offs[i], s, n);
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
  const std::size_t per = lines_per_block(n, out.size() / n);
  struct Scratch {
    std::vector<float> g, v, w;
  };
  auto make = [&] { return Scratch{std::vector<float>(per * n), std::vector<float>(per * n), std::vector<float>(per * n)}; };
  for_each_line_block<2>(y.shape(), {y.strides(), grad.strides()}, axis, per, make,
                         [&](Scratch& b, std::span<const Offsets<2>> lines) {
    const std::size_t r = lines.size();
    for (std::size_t i = 0; i < r; ++i) {
      gather_line(grad.data(), lines[i][1], sg, n, b.g.data() + i * n);
      gather_line(y.data(), lines[i][0], sy, n, b.v.data() + i * n);
    }
    if (log) exp_run(b.v.data(), b.w.data(), r * n);
    for (std::size_t i = 0; i < r; ++i) {
      const float* gi = b.g.data() + i * n;
      const float* vi = b.v.data() + i * n;
      float* wi = b.w.data() + i * n;
      if (log) {  // g - exp(y) * sum(g)
        const float total = sum_run(gi, n);
        for (std::size_t j = 0; j < n; ++j) wi[j] = gi[j] - wi[j] * total;
      } else {  // y * (g - sum(g * y))
        for (std::size_t j = 0; j < n; ++j) wi[j] = gi[j] * vi[j];
        const float dot = sum_run(wi, n);
        for (std::size_t j = 0; j < n; ++j) wi[j] = vi[j] * (gi[j] - dot);
      }
      write_line(wi, out.data(), lines[i][0], sy, n);
    }
  });
  return out;
}

template <class T>
void cross_entropy_rows(const NdArray<T>& logits, const std::int64_t* labels, float* loss, SoftmaxRows* keep) {
  const std::size_t rows = logits.shape()[0], n = logits.shape()[1];
  if (rows == 0) return;
  const std::ptrdiff_t sr = logits.strides()[0], s = logits.strides()[1];
  const std::size_t per = lines_per_block(n, rows);
  exec::parallel_for(rows, (kElementGrain + n - 1) / std::max<std::size_t>(n, 1), [&](std::size_t begin, std::size_t end) {
    std::vector<float> v(per * n), e(keep ? 0 : per * n), totals(per), logs(per);
    std::vector<std::ptrdiff_t> offs(per);
    for (std::size_t first = begin; first < end; first += per) {
      const std::size_t r = std::min(per, end - first);
      for (std::size_t i = 0; i < r; ++i) offs[i] = std::ptrdiff_t(first + i) * sr;
      shifted_lines(logits.data(), {offs.data(), r}, s, n, v.data());
      float* exps = keep ? keep->exps.data() + first * n : e.data();
      exp_run(v.data(), exps, r * n);
      for (std::size_t i = 0; i < r; ++i) totals[i] = sum_run(exps + i * n, n);
      log_run(totals.data(), logs.data(), r);
      for (std::size_t i = 0; i < r; ++i) {
        // log(sum(exp(x - m))) - (x[label] - m): the difference to the maximum is
        // exact however large the logits are.
        loss[first + i] = logs[i] - v[i * n + std::size_t(labels[first + i])];
        if (keep) keep->totals.data()[first + i] = totals[i];
      }
    }
  }, rows * n / kElementGrain);
}

template <class T>
NdArray<T> backward_cross_entropy(const NdArray<T>& logits, const std::int64_t* labels, const SoftmaxRows& kept,
                                  const float* row_grad) {
  NdArray<T> out = NdArray<T>::uninit_like_layout(logits.shape(), logits.strides());
  const std::size_t rows = logits.shape()[0], n = logits.shape()[1];
  const std::ptrdiff_t sr = logits.strides()[0], s = logits.strides()[1];
  exec::parallel_for(rows, (kElementGrain + n - 1) / std::max<std::size_t>(n, 1), [&](std::size_t begin, std::size_t end) {
    std::vector<float> line(n);
    for (std::size_t i = begin; i < end; ++i) {
      const float* e = kept.exps.data() + i * n;
      const float total = kept.totals.data()[i], g = row_grad[i];
      for (std::size_t j = 0; j < n; ++j) line[j] = g * (e[j] / total);
      const auto label = std::size_t(labels[i]);
      line[label] = g * (e[label] / total - 1.0f);
      write_line(line.data(), out.data(), std::ptrdiff_t(i) * sr, s, n);
    }
  }, rows * n / kElementGrain);
  return out;
}

#define MIREL_INSTANTIATE(T)                                                                                \
  template NdArray<T> softmax(const NdArray<T>&, std::size_t, bool);                                        \
  template NdArray<T> backward_softmax(const NdArray<T>&, const NdArray<T>&, std::size_t, bool);            \
  template void cross_entropy_rows(const NdArray<T>&, const std::int64_t*, float*, SoftmaxRows*);           \
  template NdArray<T> backward_cross_entropy(const NdArray<T>&, const std::int64_t*, const SoftmaxRows&,    \
                                             const float*);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
