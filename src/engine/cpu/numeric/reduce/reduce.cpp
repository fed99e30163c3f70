// Sums and means over axes (Note [summation order]), along the paths of
// Note [reduce walk]; the loops are in loops/reduce_lanes.inc.
#include "engine/cpu/numeric/reduce/reduce.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "engine/cpu/numeric/reduce/reduce_find.hpp"

namespace mirel {
namespace {

using namespace reduce_detail;

// Note [summation order]: the tree over block sums, as a binary counter, for
// `width` results side by side (Width, when it is known at compile time).
// Level l holds P of the last complete group of 2^l blocks.
template <std::size_t Width = 0>
class PairwiseTree {
 public:
  static std::size_t levels_for(std::size_t n) noexcept {
    return std::max<std::size_t>(1, std::bit_width((n + kSumBlock - 1) / kSumBlock));
  }

  explicit PairwiseTree(float* levels, std::size_t width = Width) noexcept : levels_(levels), width_(width) {}

  // The next block's sums, one per result; `sums` is overwritten.
  void push(float* sums) noexcept {
    std::size_t l = 0;
    for (; (blocks_ >> l) & 1; ++l) {
      const float* level = levels_ + l * width();
      for (std::size_t j = 0; j < width(); ++j) sums[j] = level[j] + sums[j];
    }
    std::copy_n(sums, width(), levels_ + l * width());
    ++blocks_;
  }

  // Result j to out[j * step], through acc (width floats): the groups still
  // open, the latest first, each added after the earlier ones; +0 when nothing
  // was pushed.
  void finish(float* acc, float* out, std::ptrdiff_t step) const noexcept {
    if (blocks_ == 0) {
      std::fill_n(acc, width(), 0.0f);
    } else {
      std::size_t l = std::size_t(std::countr_zero(blocks_));
      std::copy_n(levels_ + l * width(), width(), acc);
      for (++l; (blocks_ >> l) != 0; ++l) {
        if (!((blocks_ >> l) & 1)) continue;
        const float* level = levels_ + l * width();
        for (std::size_t j = 0; j < width(); ++j) acc[j] = level[j] + acc[j];
      }
    }
    for (std::size_t j = 0; j < width(); ++j) out[std::ptrdiff_t(j) * step] = acc[j];
  }

 private:
  std::size_t width() const noexcept { return Width ? Width : width_; }

  float* levels_;
  std::size_t width_;
  std::size_t blocks_ = 0;
};

// The sum of one sequence, fed its elements in order, whole blocks at a time
// but for the last call.
template <class T>
class SequenceSum {
 public:
  void add(const T* x, std::size_t n) {
    if (n >= 2 * kElementGrain) {  // the blocks' sums on the pool's threads, then the same tree
      std::vector<float> sums((n + kSumBlock - 1) / kSumBlock);
      exec::parallel_for(sums.size(), kElementGrain / kSumBlock, [&](std::size_t b, std::size_t e) {
        SumLoops<T>::best_blocks(x + b * kSumBlock, std::min(n, e * kSumBlock) - b * kSumBlock, sums.data() + b);
      });
      for (float& s : sums) tree_.push(&s);
      return;
    }
    for (std::size_t i = 0; i < n; i += kChunk) {
      const std::size_t len = std::min(kChunk, n - i);
      SumLoops<T>::best_blocks(x + i, len, sums_);
      for (std::size_t b = 0; b * kSumBlock < len; ++b) tree_.push(sums_ + b);
    }
  }
  float total() noexcept {
    float s;
    tree_.finish(&s, &s, 1);
    return s;
  }

 private:
  float levels_[64];
  float sums_[kChunk / kSumBlock];
  PairwiseTree<1> tree_{levels_};
};

// The sum of one result's sequence (from x) copied box by box (each_box) in
// logical order behind what is left of the last block; buf holds kGather + kSumBlock.
template <class T>
float gathered_sum(const T* x, const ReducePlan& p, T* buf) {
  SequenceSum<T> sum;
  std::size_t have = 0;
  each_box(p, kGather, [&](std::ptrdiff_t off, const Shape& shape, const Strides& strides) {
    copy_to_row_major(x + off, shape, strides, buf + have, [](const T* q) { return *q; });
    have += numel(shape);
    const std::size_t whole = have / kSumBlock * kSumBlock;
    sum.add(buf, whole);
    std::copy(buf + whole, buf + have, buf);
    have -= whole;
  });
  sum.add(buf, have);
  return sum.total();
}

// x, or x quieted when it is a NaN, as an addition would give it.
float quieted(float x) noexcept {
  const auto u = std::bit_cast<std::uint32_t>(x);
  return std::isnan(x) ? std::bit_cast<float>(u | 0x0040'0000u) : x;
}

// The f32 sums of every result, at their row-major offsets in out.
template <class T>
void sum_into(const View<T>& a, const ReducePlan& p, float* out) {
  if (p.count == 1) {  // one element each: what one block of it gives, -0 + x
    each_result_parallel(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) { out[o] = quieted(widen(a.data[i])); });
    return;
  }
  switch (p.path) {
    case ReducePath::None: return;
    case ReducePath::Empty: std::fill(out, out + p.results, 0.0f); return;
    case ReducePath::Contiguous:
      each_result_parallel(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) {
        if (p.count <= kSumBlock) return SumLoops<T>::best_blocks(a.data + i, p.count, out + o);  // one block
        SequenceSum<T> sum;
        sum.add(a.data + i, p.count);
        out[o] = sum.total();
      });
      break;
    case ReducePath::Gather:
      each_result_parallel(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) {
        thread_local std::unique_ptr<T[]> buf;  // each thread its own: results run at once
        if (!buf) buf.reset(new T[kGather + kSumBlock]);
        out[o] = gathered_sum(a.data + i, p, buf.get());
      });
      break;
    case ReducePath::Columns:
      each_column_run_parallel(p, [&](std::size_t n, std::ptrdiff_t o, std::ptrdiff_t ostep, std::ptrdiff_t i) {
        std::vector<float> levels, sums;
        std::ptrdiff_t rows[kSumBlock];
        ReducedCursor cur(p);
        if (p.count <= kSumBlock && ostep == 1) {  // one block: its sums are the results
          cur.offsets(p.count, rows);
          return SumLoops<T>::best_columns(a.data + i, rows, p.count, n, out + o);
        }
        sums.resize(n);
        levels.resize(PairwiseTree<>::levels_for(p.count) * n);
        PairwiseTree<> tree(levels.data(), n);
        for (std::size_t k = 0; k < p.count; k += kSumBlock) {
          const std::size_t len = std::min(kSumBlock, p.count - k);
          cur.offsets(len, rows);
          SumLoops<T>::best_columns(a.data + i, rows, len, n, sums.data());
          tree.push(sums.data());
        }
        tree.finish(sums.data(), out + o, ostep);
      });
      break;
  }
  // Note [summation order]: a NaN result becomes the sequence's first NaN.
  std::size_t nans = 0;  // a count: the compiler vectorises it
  for (std::size_t k = 0; k < p.results; ++k) nans += std::isnan(out[k]);
  if (nans == 0) return;
  each_result(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) {
    if (!std::isnan(out[o])) return;
    if (auto f = find_first(a.data + i, p, Bits<T>::nan)) {
      out[o] = quieted(widen(a.data[i + f->offset]));
    }
  });
}

// The sum of a whole_run operand, read as one run: no plan needed unless the
// sum is a NaN (whose first NaN the plan finds).
template <class T>
std::optional<float> whole_sum(const View<T>& a, const Axes& axes) {
  if (!whole_run(a, axes)) return std::nullopt;
  SequenceSum<T> sum;
  sum.add(a.data, numel(a.shape));
  const float total = sum.total();
  if (std::isnan(total)) return std::nullopt;
  return total;
}

}  // namespace

float sum_run(const float* x, std::size_t n) noexcept {
  SequenceSum<float> sum;
  sum.add(x, n);
  return sum.total();
}

template <class T>
Expected<NdArray<T>> sum_over(const View<T>& a, const Axes& axes, bool keepdims) {
  if (auto total = whole_sum(a, axes)) {
    NdArray<T> out = NdArray<T>::uninit(whole_shape(a, keepdims));
    out.data()[0] = narrow<T>(*total);
    return out;
  }
  auto p = plan_reduce(a.shape, a.strides, axes, keepdims);
  if (!p) return std::unexpected(std::move(p.error()));
  NdArray<T> out = NdArray<T>::uninit(p->result_shape);
  if constexpr (std::is_same_v<T, float>) {
    sum_into(a, *p, out.data());
  } else {
    std::vector<float> s(p->results);
    sum_into(a, *p, s.data());
    HalfConversions<T>::best_narrow(s.data(), out.data(), s.size());
  }
  return out;
}

template <class T>
Expected<NdArray<T>> mean_over(const View<T>& a, const Axes& axes, bool keepdims) {
  if (auto total = whole_sum(a, axes)) {
    NdArray<T> out = NdArray<T>::uninit(whole_shape(a, keepdims));
    out.data()[0] = narrow<T>(*total / float(numel(a.shape)));
    return out;
  }
  auto p = plan_reduce(a.shape, a.strides, axes, keepdims);
  if (!p) return std::unexpected(std::move(p.error()));
  std::vector<float> s(p->results);
  sum_into(a, *p, s.data());
  const float n = float(p->count);
  for (float& v : s) v = p->count ? v / n : std::numeric_limits<float>::quiet_NaN();
  NdArray<T> out = NdArray<T>::uninit(p->result_shape);
  if constexpr (std::is_same_v<T, float>) std::copy(s.begin(), s.end(), out.data());
  else HalfConversions<T>::best_narrow(s.data(), out.data(), s.size());
  return out;
}

#define MIREL_SUM(T)                                                        \
  template Expected<NdArray<T>> sum_over(const View<T>&, const Axes&, bool); \
  template Expected<NdArray<T>> mean_over(const View<T>&, const Axes&, bool);
MIREL_SUM(float)
MIREL_SUM(F16)
MIREL_SUM(BF16)

}  // namespace mirel
