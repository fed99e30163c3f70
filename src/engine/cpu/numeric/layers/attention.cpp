#include "engine/cpu/numeric/layers/attention.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/gemm/sgemm.hpp"
#include "engine/cpu/loops/dispatch.hpp"
#include "engine/cpu/numeric/layers/dropout.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/reduce/reduce.hpp"
#include "engine/cpu/random/sample.hpp"

namespace mirel {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// The key block is part of the summation order (Note [summation order of
// attention]); the query block only sets how many rows share a block's keys.
constexpr std::size_t kQueryBlock = 64;
constexpr std::size_t kKeyBlock = 256;

void exp_run(const float* in, float* out, std::size_t n) { UnaryLoops<Exp, float, float>::best(n, out, in); }
void log_run(const float* in, float* out, std::size_t n) { UnaryLoops<Log, float, float>::best(n, out, in); }

using Stride = std::ptrdiff_t;

// Head h of an operand as f32 rows of cols elements, rs apart.
struct Rows {
  const float* p;
  Stride rs;
  const float* row(std::size_t i) const { return p + Stride(i) * rs; }
};

// Read in place when its rows are runs of f32 (the products take any row
// stride, with the same bits), else widened or gathered into buf.
template <class T>
Rows gather(const HeadOperand<T>& a, std::size_t h, std::size_t rows, std::size_t cols, float* buf) {
  const T* base = a.data + a.head[h];
  if constexpr (std::is_same_v<T, float>) {
    if (a.cs == 1 || cols == 1) return Rows{base, rows == 1 ? Stride(cols) : a.rs};
  }
  for (std::size_t r = 0; r < rows; ++r) {
    const T* p = base + Stride(r) * a.rs;
    float* o = buf + r * cols;
    if (a.cs == 1) {
      if constexpr (std::is_same_v<T, float>) std::memcpy(o, p, cols * sizeof(float));
      else widen_n(p, o, cols);
    } else {
      for (std::size_t j = 0; j < cols; ++j) o[j] = widen(p[Stride(j) * a.cs]);
    }
  }
  return Rows{buf, Stride(cols)};
}

// n floats rounded once into out.
template <class T>
void scatter(const float* buf, std::size_t n, T* out) {
  if constexpr (std::is_same_v<T, float>) std::memcpy(out, buf, n * sizeof(float));
  else narrow_n(buf, out, n);
}

// Rows [r0, r0 + rows) of head h, from buf [rows, cols], rounded once into the target.
template <class T>
void scatter_rows(const float* buf, std::size_t rows, std::size_t cols, const HeadTarget<T>& t, std::size_t h,
                  std::size_t r0) {
  T* base = t.data + t.head[h] + Stride(r0) * t.rs;
  if (t.rs == Stride(cols)) return scatter(buf, rows * cols, base);
  for (std::size_t r = 0; r < rows; ++r) scatter(buf + r * cols, cols, base + Stride(r) * t.rs);
}

void add_into(float* acc, const float* x, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) acc[i] += x[i];
}

// A block of query rows [i0, i0 + rows) against keys [j0, j0 + cols).
struct Block {
  std::size_t i0, rows, j0, cols;
};

// s[rows, cols]: the block's scores (Note [summation order of attention]).
template <class T>
void block_scores(const Rows& qf, const Rows& kf, const AttentionMask<T>& mask, std::size_t h,
                  const AttentionConfig& c, const Block& b, float* s) {
  sgemm(b.rows, b.cols, c.e, qf.row(b.i0), qf.rs, 1, kf.row(b.j0), 1, kf.rs, s, Stride(b.cols));
  for (std::size_t r = 0; r < b.rows; ++r) {
    float* sr = s + r * b.cols;
    const std::size_t i = b.i0 + r;
    for (std::size_t j = 0; j < b.cols; ++j) sr[j] *= c.scale;
    const Stride at = mask.head.empty() ? 0 : mask.head[h] + Stride(i) * mask.rs + Stride(b.j0) * mask.cs;
    if (mask.add) {
      for (std::size_t j = 0; j < b.cols; ++j) sr[j] += widen(mask.add[at + Stride(j) * mask.cs]);
    } else if (mask.keep) {
      for (std::size_t j = 0; j < b.cols; ++j) sr[j] = mask.keep[at + Stride(j) * mask.cs] ? sr[j] : -kInf;
    }
    if (c.causal) {
      for (std::size_t j = i >= b.j0 ? i - b.j0 + 1 : 0; j < b.cols; ++j) sr[j] = -kInf;
    }
  }
}

// Keys of the block from j0 that rows [i0, i0 + rows) may see: the whole block,
// or under is_causal up to the last row's own position (rows start at or
// after j0 - rows + 1, so at least one key), later keys being hidden.
std::size_t visible_keys(const AttentionConfig& c, std::size_t i0, std::size_t rows, std::size_t j0) {
  const std::size_t cols = std::min(kKeyBlock, c.s - j0);
  return c.causal ? std::min(cols, i0 + rows - j0) : cols;
}

// f[j]: the dropout factor of pair (i, j0 + j) of head h, cols of them.
void drop_factors(const AttentionConfig& c, float scale, std::size_t h, std::size_t i, std::size_t j0,
                  std::size_t cols, float* f) {
  const std::uint64_t first = (std::uint64_t(h) * c.l + i) * c.s + j0;
  for (std::size_t j = 0; j < cols;) {
    const std::uint64_t w = first + j;
    const PhiloxBlock words = c.stream.block(w / 4);
    for (std::size_t lane = w % 4; lane < 4 && j < cols; ++lane, ++j) {
      f[j] = word_below(words[lane], c.dropout_p) ? 0.0f : scale;
    }
  }
}

// Heads worth a thread: each is independent of the others (Note [same bits at
// any thread count]) and costs about l·s·(e + ev) multiply-adds.
constexpr double kHeadGrainFlops = double(1 << 19);

std::size_t head_grain(const AttentionConfig& c) {
  const double flops = double(c.l) * double(c.s) * double(c.e + c.ev);
  return flops >= kHeadGrainFlops ? 1 : std::size_t(kHeadGrainFlops / std::max(flops, 1.0));
}

// The grains of work all heads hold (parallel_for's last argument).
std::size_t head_grains(const AttentionConfig& c) {
  const double g = double(c.heads) * double(c.l) * double(c.s) * double(c.e + c.ev) / kHeadGrainFlops;
  return g >= 1e18 ? std::size_t(1e18) : std::size_t(g);
}

}  // namespace

template <class T>
NdArray<float> attention_forward(const HeadOperand<T>& q, const HeadOperand<T>& k, const HeadOperand<T>& v,
                                 const AttentionMask<T>& mask, const AttentionConfig& c, const HeadTarget<T>& out,
                                 bool keep_lse) {
  NdArray<float> kept = keep_lse ? NdArray<float>::uninit(Shape{c.heads, c.l}) : NdArray<float>{};
  constexpr std::size_t BQ = kQueryBlock, BK = kKeyBlock;
  const bool dropping = c.dropout_p > 0;
  const float drop_scale = dropping ? dropout_scale(c.dropout_p) : 1.0f;
  exec::parallel_for(c.heads, head_grain(c), [&](std::size_t first, std::size_t last) {
    std::vector<float> qb(c.l * c.e), kb(c.s * c.e), vb(c.s * c.ev), s(BQ * BK), p(BQ * BK), pv(BQ * c.ev),
        acc(BQ * c.ev), m(BQ), l(BQ), shifted(BQ), alpha(BQ), f(BK);
    for (std::size_t h = first; h < last; ++h) {
      const Rows qf = gather(q, h, c.l, c.e, qb.data());
      const Rows kf = gather(k, h, c.s, c.e, kb.data());
      const Rows vf = gather(v, h, c.s, c.ev, vb.data());
      for (std::size_t i0 = 0; i0 < c.l; i0 += BQ) {
        const std::size_t rows = std::min(BQ, c.l - i0);
        std::fill_n(m.data(), rows, -kInf);
        std::fill_n(l.data(), rows, 0.0f);
        std::fill_n(acc.data(), rows * c.ev, 0.0f);
        for (std::size_t j0 = 0; j0 < c.s; j0 += BK) {
          if (c.causal && j0 > i0 + rows - 1) break;  // every later pair is hidden
          const Block b{i0, rows, j0, visible_keys(c, i0, rows, j0)};
          block_scores(qf, kf, mask, h, c, b, s.data());
          for (std::size_t r0 = 0; r0 < rows; ++r0) {
            float* sr = s.data() + r0 * b.cols;
            const float bm = max_run(sr, b.cols);
            const float next = std::isnan(m[r0]) || m[r0] > bm ? m[r0] : bm;
            // Nothing visible yet: shift by 0, so hidden pairs give exp(-inf) = 0, not NaN.
            const float shift = next == -kInf ? 0.0f : next;
            for (std::size_t j = 0; j < b.cols; ++j) sr[j] -= shift;
            shifted[r0] = m[r0] - shift;
            m[r0] = next;
          }
          exp_run(s.data(), p.data(), rows * b.cols);
          exp_run(shifted.data(), alpha.data(), rows);
          for (std::size_t r0 = 0; r0 < rows; ++r0) {
            float* pr = p.data() + r0 * b.cols;
            l[r0] = l[r0] * alpha[r0] + sum_run(pr, b.cols);
            if (dropping) {
              drop_factors(c, drop_scale, h, i0 + r0, j0, b.cols, f.data());
              for (std::size_t j = 0; j < b.cols; ++j) pr[j] *= f[j];
            }
          }
          sgemm(rows, c.ev, b.cols, p.data(), Stride(b.cols), 1, vf.row(j0), vf.rs, 1, pv.data(),
                Stride(c.ev));
          for (std::size_t r0 = 0; r0 < rows; ++r0) {
            float* a = acc.data() + r0 * c.ev;
            const float* x = pv.data() + r0 * c.ev;
            for (std::size_t j = 0; j < c.ev; ++j) a[j] = a[j] * alpha[r0] + x[j];
          }
        }
        for (std::size_t r0 = 0; r0 < rows; ++r0) {
          float* a = acc.data() + r0 * c.ev;
          if (l[r0] == 0.0f) std::fill_n(a, c.ev, 0.0f);  // every pair hidden
          else for (std::size_t j = 0; j < c.ev; ++j) a[j] = a[j] / l[r0];
        }
        scatter_rows(acc.data(), rows, c.ev, out, h, i0);
        if (keep_lse) {
          float* lse = kept.data() + h * c.l + i0;
          log_run(l.data(), lse, rows);
          for (std::size_t r0 = 0; r0 < rows; ++r0) lse[r0] = l[r0] == 0.0f ? kInf : m[r0] + lse[r0];
        }
      }
    }
  }, head_grains(c));
  return kept;
}

template <class T>
void attention_backward(const HeadOperand<T>& dy, const HeadOperand<T>& y, const HeadOperand<T>& q,
                        const HeadOperand<T>& k, const HeadOperand<T>& v, const AttentionMask<T>& mask,
                        const AttentionConfig& c, const NdArray<float>& lse, const HeadTarget<T>* dq,
                        const HeadTarget<T>* dk, const HeadTarget<T>* dv) {
  constexpr std::size_t BQ = kQueryBlock, BK = kKeyBlock;
  const bool want_q = dq != nullptr, want_k = dk != nullptr, want_v = dv != nullptr;
  const std::size_t wide = std::max(c.e, c.ev);
  const bool dropping = c.dropout_p > 0;
  const float drop_scale = dropping ? dropout_scale(c.dropout_p) : 1.0f;
  exec::parallel_for(c.heads, head_grain(c), [&](std::size_t first, std::size_t last) {
    std::vector<float> qb(c.l * c.e), kb(c.s * c.e), vb(c.s * c.ev), yb(c.l * c.ev), gb(c.l * c.ev), d(c.l),
        dqf(c.l * c.e), s(BQ * BK), p(BQ * BK), pd(BQ * BK), dp(BQ * BK), f(BQ * BK), tmp(std::max(BQ, BK) * wide),
        dkf(BK * c.e), dvf(BK * c.ev);
    for (std::size_t h = first; h < last; ++h) {
      const Rows qf = gather(q, h, c.l, c.e, qb.data());
      const Rows kf = gather(k, h, c.s, c.e, kb.data());
      const Rows vf = gather(v, h, c.s, c.ev, vb.data());
      const Rows yf = gather(y, h, c.l, c.ev, yb.data());
      const Rows gf = gather(dy, h, c.l, c.ev, gb.data());
      for (std::size_t i = 0; i < c.l; ++i) {
        const float *gi = gf.row(i), *yi = yf.row(i);
        for (std::size_t j = 0; j < c.ev; ++j) tmp[j] = gi[j] * yi[j];
        d[i] = c.ev ? sum_run(tmp.data(), c.ev) : 0.0f;
      }
      std::fill(dqf.begin(), dqf.end(), 0.0f);
      const float* lse_h = lse.data() + h * c.l;
      for (std::size_t j0 = 0; j0 < c.s; j0 += BK) {
        const std::size_t all = std::min(BK, c.s - j0);
        std::fill_n(dkf.data(), all * c.e, 0.0f);
        std::fill_n(dvf.data(), all * c.ev, 0.0f);
        // Causal: query rows before j0 see none of these keys.
        for (std::size_t i0 = c.causal ? j0 / BQ * BQ : 0; i0 < c.l; i0 += BQ) {
          const std::size_t rows = std::min(BQ, c.l - i0);
          const Block b{i0, rows, j0, visible_keys(c, i0, rows, j0)};
          const std::size_t cols = b.cols, n = b.rows * cols;
          block_scores(qf, kf, mask, h, c, b, s.data());
          for (std::size_t r0 = 0; r0 < b.rows; ++r0) {
            for (std::size_t j = 0; j < cols; ++j) s[r0 * cols + j] -= lse_h[i0 + r0];
          }
          exp_run(s.data(), p.data(), n);
          const float* pk = p.data();  // the probabilities as they entered y
          if (dropping) {
            for (std::size_t r0 = 0; r0 < b.rows; ++r0) drop_factors(c, drop_scale, h, i0 + r0, j0, cols, f.data() + r0 * cols);
            for (std::size_t x = 0; x < n; ++x) pd[x] = p[x] * f[x];
            pk = pd.data();
          }
          if (want_v) {
            sgemm(cols, c.ev, b.rows, pk, 1, Stride(cols), gf.row(i0), gf.rs, 1, tmp.data(),
                  Stride(c.ev));
            add_into(dvf.data(), tmp.data(), cols * c.ev);
          }
          if (!want_q && !want_k) continue;
          sgemm(b.rows, cols, c.ev, gf.row(i0), gf.rs, 1, vf.row(j0), 1, vf.rs,
                dp.data(), Stride(cols));
          for (std::size_t r0 = 0; r0 < b.rows; ++r0) {
            const float di = d[i0 + r0];
            for (std::size_t j = 0; j < cols; ++j) {
              const std::size_t x = r0 * cols + j;
              const float dpx = dropping ? dp[x] * f[x] : dp[x];
              dp[x] = p[x] * (dpx - di) * c.scale;
            }
          }
          if (want_q) {
            sgemm(b.rows, c.e, cols, dp.data(), Stride(cols), 1, kf.row(j0), kf.rs, 1, tmp.data(),
                  Stride(c.e));
            add_into(dqf.data() + i0 * c.e, tmp.data(), b.rows * c.e);
          }
          if (want_k) {
            sgemm(cols, c.e, b.rows, dp.data(), 1, Stride(cols), qf.row(i0), qf.rs, 1, tmp.data(),
                  Stride(c.e));
            add_into(dkf.data(), tmp.data(), cols * c.e);
          }
        }
        if (want_k) scatter_rows(dkf.data(), all, c.e, *dk, h, j0);
        if (want_v) scatter_rows(dvf.data(), all, c.ev, *dv, h, j0);
      }
      if (want_q) scatter_rows(dqf.data(), c.l, c.e, *dq, h, 0);
    }
  }, head_grains(c));
}

#define MIREL_INSTANTIATE(T)                                                                                 \
  template NdArray<float> attention_forward(const HeadOperand<T>&, const HeadOperand<T>&, const HeadOperand<T>&, \
                                            const AttentionMask<T>&, const AttentionConfig&, const HeadTarget<T>&, \
                                            bool);                                                                 \
  template void attention_backward(const HeadOperand<T>&, const HeadOperand<T>&, const HeadOperand<T>&,          \
                                   const HeadOperand<T>&, const HeadOperand<T>&, const AttentionMask<T>&,        \
                                   const AttentionConfig&, const NdArray<float>&, const HeadTarget<T>*,          \
                                   const HeadTarget<T>*, const HeadTarget<T>*);
MIREL_INSTANTIATE(float)
MIREL_INSTANTIATE(F16)
MIREL_INSTANTIATE(BF16)
#undef MIREL_INSTANTIATE

}  // namespace mirel
