// max, min and argmax over axes (Note [extrema]), along the paths of
// Note [reduce walk]; the loops are in loops/reduce_lanes.inc.
#include <algorithm>
#include <bit>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "engine/cpu/numeric/reduce/reduce.hpp"
#include "engine/cpu/numeric/reduce/reduce_find.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

using namespace reduce_detail;

// The three bounds of every result (Note [extrema]): bound k of the result at
// row-major offset o is b[k * results + o].
template <class T>
void bounds_into(const View<T>& a, const ReducePlan& p, RawOf<T>* b) {
  using R = RawOf<T>;
  using Loops = BoundsLoops<T>;
  constexpr auto id = Bits<T>::identity;
  auto put = [&](std::ptrdiff_t o, const R* s) {
    for (std::size_t k = 0; k < 3; ++k) b[std::ptrdiff_t(k * p.results) + o] = s[k];
  };
  switch (p.path) {
    case ReducePath::None:
    case ReducePath::Empty: return;
    case ReducePath::Contiguous:
      each_result_parallel(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) {
        auto s = id;
        Loops::best_run(a.data + i, p.count, s.data());
        put(o, s.data());
      });
      return;
    case ReducePath::Gather:
      each_result_parallel(p, [&](std::ptrdiff_t o, std::ptrdiff_t i) {
        thread_local std::unique_ptr<T[]> buf;  // each thread its own: results run at once
        if (!buf) buf.reset(new T[kGather]);
        auto s = id;
        each_box(p, kGather, [&](std::ptrdiff_t off, const Shape& shape, const Strides& strides) {
          copy_to_row_major(a.data + i + off, shape, strides, buf.get(), [](const T* q) { return *q; });
          Loops::best_run(buf.get(), numel(shape), s.data());
        });
        put(o, s.data());
      });
      return;
    case ReducePath::Columns: {
      each_column_run_parallel(p, [&](std::size_t n, std::ptrdiff_t o, std::ptrdiff_t ostep, std::ptrdiff_t i) {
        std::vector<R> run;
        std::ptrdiff_t rows[kSumBlock];
        run.resize(3 * n);
        for (std::size_t k = 0; k < 3; ++k) std::fill_n(run.begin() + std::ptrdiff_t(k * n), n, id[k]);
        ReducedCursor cur(p);
        for (std::size_t k = 0; k < p.count; k += kSumBlock) {
          const std::size_t len = std::min(kSumBlock, p.count - k);
          cur.offsets(len, rows);
          Loops::best_columns(a.data + i, rows, len, n, run.data());
        }
        for (std::size_t j = 0; j < n; ++j) {
          const R s[3] = {run[j], run[n + j], run[2 * n + j]};
          put(o + std::ptrdiff_t(j) * ostep, s);
        }
      });
      return;
    }
  }
}

std::string empty_message(const char* name, const Shape& shape, std::size_t axis) {
  return concat(name, " of no elements: axis ", axis, " of shape ", shape_str(shape),
                " has length 0, and ", name, " has no identity");
}

// Plans the reduction; max, min and argmax refuse results of no elements.
template <class T>
Expected<ReducePlan> extremum_plan(const View<T>& a, const Axes& axes, bool keepdims, const char* name,
                                   ReduceOrder order = ReduceOrder::Logical) {
  auto p = plan_reduce(a.shape, a.strides, axes, keepdims, order);
  if (p && p->path == ReducePath::Empty) return std::unexpected(empty_message(name, a.shape, p->empty_axis));
  return p;
}

// The bounds of every result (Note [extrema]), found in any order, and the
// plan that found them.
template <class T>
Expected<std::pair<ReducePlan, std::vector<RawOf<T>>>> all_bounds(const View<T>& a, const Axes& axes, bool keepdims,
                                                                  const char* name) {
  auto any = extremum_plan(a, axes, keepdims, name, ReduceOrder::Any);
  if (!any) return std::unexpected(std::move(any.error()));
  std::vector<RawOf<T>> b(3 * any->results);
  bounds_into(a, *any, b.data());
  return std::pair{std::move(*any), std::move(b)};
}

template <class T, bool Max>
Expected<NdArray<T>> extremum(const View<T>& a, const Axes& axes, bool keepdims) {
  using B = Bits<T>;
  if (whole_run(a, axes)) {  // no plan needed unless a NaN turns up
    auto s = B::identity;
    BoundsLoops<T>::best_run(a.data, numel(a.shape), s.data());
    if (!B::nan_in(s.data())) {
      NdArray<T> out = NdArray<T>::uninit(whole_shape(a, keepdims));
      out.data()[0] = B::from(B::template value<Max>(s.data()));
      return out;
    }
  }
  auto r = all_bounds(a, axes, keepdims, Max ? "max" : "min");
  if (!r) return std::unexpected(std::move(r.error()));
  const auto& [any, b] = *r;
  NdArray<T> out = NdArray<T>::uninit(any.result_shape);
  T* o = out.data();
  std::size_t nans = 0;
  for (std::size_t k = 0; k < any.results; ++k) {
    const RawOf<T> s[3] = {b[k], b[any.results + k], b[2 * any.results + k]};
    nans += B::nan_in(s);
    o[k] = B::from(B::template value<Max>(s));
  }
  if (nans == 0) return out;
  auto p = extremum_plan(a, axes, keepdims, Max ? "max" : "min");  // the first NaN, in logical order
  if (!p) return std::unexpected(std::move(p.error()));
  each_result(*p, [&](std::ptrdiff_t k, std::ptrdiff_t i) {
    const RawOf<T> s[3] = {b[k], b[p->results + k], b[2 * p->results + k]};
    if (!B::nan_in(s)) return;
    const T first_nan = a.data[i + find_first(a.data + i, *p, B::nan)->offset];
    o[k] = B::from(std::bit_cast<RawOf<T>>(first_nan) | B::quiet);
  });
  return out;
}

// argmax of one contiguous sequence in one pass: the bounds of each chunk, then
// the first maximum inside the first chunk that holds it, while still in cache.
template <class T>
std::size_t argmax_run(const T* x, std::size_t n) {
  using B = Bits<T>;
  constexpr std::size_t kChunkArg = 2048;
  std::size_t best = 0;
  RawOf<T> max{};
  bool nan = false;
  for (std::size_t c = 0; c < n && !nan; c += kChunkArg) {
    auto s = B::identity;
    BoundsLoops<T>::best_run(x + c, std::min(kChunkArg, n - c), s.data());
    nan = B::nan_in(s.data());
    const RawOf<T> m = B::template value<true>(s.data());
    if (c == 0 || nan || B::greater(m, max)) best = c, max = m;
  }
  const Target<T> t = nan ? B::nan : B::equal(max);
  return best + BoundsLoops<T>::best_find(x + best, std::min(kChunkArg, n - best), 1, t.keep, t.want, t.above);
}

}  // namespace

float max_run(const float* x, std::size_t n) noexcept {
  using B = Bits<float>;
  auto s = B::identity;
  BoundsLoops<float>::best_run(x, n, s.data());
  return B::nan_in(s.data()) ? std::numeric_limits<float>::quiet_NaN() : B::from(B::value<true>(s.data()));
}

Expected<void> extremum_check(const char* name, const Shape& shape, const Axes& axes) {
  // Some result has no elements when a reduced axis has length 0 and the kept ones do not.
  std::size_t empty = shape.size();
  for (std::size_t d = 0, i = 0; d < shape.size(); ++d) {
    const bool reduced = i < axes.size() && axes[i] == d;
    i += reduced;
    if (shape[d] != 0) continue;
    if (!reduced) return {};
    if (empty == shape.size()) empty = d;
  }
  if (empty == shape.size()) return {};
  return std::unexpected(empty_message(name, shape, empty));
}

template <class T>
Expected<NdArray<T>> max_over(const View<T>& a, const Axes& axes, bool keepdims) {
  return extremum<T, true>(a, axes, keepdims);
}

template <class T>
Expected<NdArray<T>> min_over(const View<T>& a, const Axes& axes, bool keepdims) {
  return extremum<T, false>(a, axes, keepdims);
}

template <class T>
Expected<NdArray<std::int64_t>> argmax_over(const View<T>& a, const Axes& axes, bool keepdims) {
  if (whole_run(a, axes)) {
    NdArray<std::int64_t> out = NdArray<std::int64_t>::uninit(whole_shape(a, keepdims));
    out.data()[0] = std::int64_t(argmax_run(a.data, numel(a.shape)));
    return out;
  }
  auto logical = extremum_plan(a, axes, keepdims, "argmax");  // the first maximum, in logical order
  if (!logical) return std::unexpected(std::move(logical.error()));
  const ReducePlan& p = *logical;
  if (p.path == ReducePath::Contiguous) {
    NdArray<std::int64_t> out = NdArray<std::int64_t>::uninit(p.result_shape);
    each_result(p, [&](std::ptrdiff_t k, std::ptrdiff_t i) {
      out.data()[k] = std::int64_t(argmax_run(a.data + i, p.count));
    });
    return out;
  }
  auto r = all_bounds(a, axes, keepdims, "argmax");
  if (!r) return std::unexpected(std::move(r.error()));
  const auto& b = r->second;
  using B = Bits<T>;
  NdArray<std::int64_t> out = NdArray<std::int64_t>::uninit(p.result_shape);
  std::int64_t* o = out.data();
  each_result(p, [&](std::ptrdiff_t k, std::ptrdiff_t i) {
    const RawOf<T> s[3] = {b[k], b[p.results + k], b[2 * p.results + k]};
    const Target<T> t = B::nan_in(s) ? B::nan : B::equal(B::template value<true>(s));
    o[k] = std::int64_t(find_first(a.data + i, p, t)->index);
  });
  return out;
}

#define MIREL_EXTREMA(T)                                                                      \
  template Expected<NdArray<T>> max_over(const View<T>&, const Axes&, bool);               \
  template Expected<NdArray<T>> min_over(const View<T>&, const Axes&, bool);               \
  template Expected<NdArray<std::int64_t>> argmax_over(const View<T>&, const Axes&, bool);
MIREL_EXTREMA(float)
MIREL_EXTREMA(F16)
MIREL_EXTREMA(BF16)
MIREL_EXTREMA(bool)

}  // namespace mirel
