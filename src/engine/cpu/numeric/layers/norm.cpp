#include "engine/cpu/numeric/layers/norm.hpp"

#include <cmath>
#include <algorithm>
#include <cstring>
#include <vector>

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/reduce/reduce.hpp"

namespace mirel {
namespace {

// Row r of a row-major array of n columns, widened into buf (f32 read in place).
template <class T>
const float* row_f32(const T* p, std::size_t r, std::size_t n, float* buf) {
  if constexpr (std::is_same_v<T, float>) {
    return p + r * n;
  } else {
    widen_n(p + r * n, buf, n);
    return buf;
  }
}

template <class T>
void write_row(const float* row, T* p, std::size_t r, std::size_t n) {
  if constexpr (std::is_same_v<T, float>) std::memcpy(p + r * n, row, n * sizeof(float));
  else narrow_n(row, p + r * n, n);
}

template <class T>
NdArray<T> narrowed(const NdArray<float>& a) {
  if constexpr (std::is_same_v<T, float>) {
    return NdArray<float>(a);
  } else {
    NdArray<T> out = NdArray<T>::uninit(a.shape());
    narrow_n(a.data(), out.data(), a.size());
    return out;
  }
}

// Sums over the rows of a row-major [rows, n] f32 array, in the order of `sum`.
NdArray<float> column_sums(const NdArray<float>& a) {
  auto r = sum_over(view_of(a), Axes{0}, false);
  return std::move(*r);  // a float sum over a valid axis does not fail
}

// Rows worth a thread: each costs a few passes over its n elements.
std::size_t row_grain(std::size_t n) { return kElementGrain / 4 / std::max<std::size_t>(n, 1) + 1; }

}  // namespace

template <class T>
NdArray<T> norm_forward(const NdArray<T>& x, const NdArray<T>* w, const NdArray<T>* b, const NormInput& in,
                        NormStats* keep) {
  NdArray<T> out = NdArray<T>::uninit(x.shape());
  const std::size_t n = in.n;
  if (out.size() == 0) return out;
  std::vector<float> ws(w ? n : 0), bs(b ? n : 0);
  {
    std::vector<float> buf(n);
    if (w) std::memcpy(ws.data(), row_f32(w->data(), 0, n, buf.data()), n * sizeof(float));
    if (b) std::memcpy(bs.data(), row_f32(b->data(), 0, n, buf.data()), n * sizeof(float));
  }
  const float count = float(n);
  exec::parallel_for(in.rows, row_grain(n), [&](std::size_t first, std::size_t last) {
    std::vector<float> xs(n), y(n);
    for (std::size_t r = first; r < last; ++r) {
      const float* row = row_f32(x.data(), r, n, xs.data());
      float mean = 0.0f;
      if (in.rms) {
        for (std::size_t j = 0; j < n; ++j) y[j] = row[j] * row[j];
      } else {
        mean = sum_run(row, n) / count;
        for (std::size_t j = 0; j < n; ++j) y[j] = (row[j] - mean) * (row[j] - mean);
      }
      const float rstd = 1.0f / std::sqrt(sum_run(y.data(), n) / count + in.eps);
      for (std::size_t j = 0; j < n; ++j) y[j] = (row[j] - mean) * rstd;
      if (w) {
        for (std::size_t j = 0; j < n; ++j) y[j] *= ws[j];
      }
      if (b) {
        for (std::size_t j = 0; j < n; ++j) y[j] += bs[j];
      }
      write_row(y.data(), out.data(), r, n);
      if (keep) {
        if (!in.rms) keep->mean.data()[r] = mean;
        keep->rstd.data()[r] = rstd;
      }
    }
  }, in.rows * n / (kElementGrain / 4));
  return out;
}

template <class T>
NormGrads<T> norm_backward(const NdArray<T>& g, const NdArray<T>& x, const NdArray<T>* w, const NormInput& in,
                           const NormStats& stats, bool want_x, bool want_w, bool want_b) {
  const std::size_t n = in.n;
  std::size_t rows = in.rows;
  NormGrads<T> out;
  NdArray<T> dx = NdArray<T>::uninit(x.shape());
  NdArray<float> dw_rows = NdArray<float>::uninit(want_w ? Shape{rows, n} : Shape{0});
  NdArray<float> db_rows = NdArray<float>::uninit(want_b ? Shape{rows, n} : Shape{0});
  std::vector<float> ws(w ? n : 0);
  if (w && n) {
    std::vector<float> buf(n);
    std::memcpy(ws.data(), row_f32(w->data(), 0, n, buf.data()), n * sizeof(float));
  }
  const float count = float(n);
  if (n == 0) rows = 0;
  // Each row writes its own rows of dx, dw_rows and db_rows; the column sums
  // come after, in their own order.
  exec::parallel_for(rows, row_grain(n), [&](std::size_t first, std::size_t last) {
    std::vector<float> xs(n), gs(n), xhat(n), gy(n), prod(n);
    for (std::size_t r = first; r < last; ++r) {
      const float* row = row_f32(x.data(), r, n, xs.data());
      const float* gr = row_f32(g.data(), r, n, gs.data());
      const float mean = in.rms ? 0.0f : stats.mean.data()[r], rstd = stats.rstd.data()[r];
      for (std::size_t j = 0; j < n; ++j) xhat[j] = (row[j] - mean) * rstd;
      if (want_w) {
        float* d = dw_rows.data() + r * n;
        for (std::size_t j = 0; j < n; ++j) d[j] = gr[j] * xhat[j];
      }
      if (want_b) std::memcpy(db_rows.data() + r * n, gr, n * sizeof(float));
      if (!want_x) continue;
      for (std::size_t j = 0; j < n; ++j) gy[j] = w ? gr[j] * ws[j] : gr[j];
      for (std::size_t j = 0; j < n; ++j) prod[j] = gy[j] * xhat[j];
      const float dot = sum_run(prod.data(), n) / count;
      const float shift = in.rms ? 0.0f : sum_run(gy.data(), n) / count;
      for (std::size_t j = 0; j < n; ++j) prod[j] = rstd * ((gy[j] - shift) - xhat[j] * dot);
      write_row(prod.data(), dx.data(), r, n);
    }
  }, rows * n / (kElementGrain / 4));
  if (want_x) out.x = std::move(dx);
  if (want_w) out.weight = narrowed<T>(column_sums(dw_rows));
  if (want_b) out.bias = narrowed<T>(column_sums(db_rows));
  return out;
}

#define MIREL_INSTANTIATE(T)                                                                                      \
  template NdArray<T> norm_forward(const NdArray<T>&, const NdArray<T>*, const NdArray<T>*, const NormInput&,     \
                                   NormStats*);                                                                    \
  template NormGrads<T> norm_backward(const NdArray<T>&, const NdArray<T>&, const NdArray<T>*, const NormInput&, \
                                      const NormStats&, bool, bool, bool);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
