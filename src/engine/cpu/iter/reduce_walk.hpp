#pragma once
// The reduce walk, beside the elementwise walk (walk.hpp).
//
// Note [reduce walk]
// A reduction splits its operand's axes into kept and reduced ones. The
// reduced axes, in logical order (row-major: the last reduced axis fastest),
// give each result its sequence x_0 ... x_{n-1}, the order that
// Note [summation order] sums in and that argmax counts in. They coalesce only
// among themselves and only in that order, so the sequence is the same for
// every layout and for broadcast (stride 0) operands. The kept axes only say
// where a result's sequence starts and where the result goes: they are
// reordered by the operand's strides (the smallest last) and walked by walk(),
// whose runs may come in any order. Reductions whose answer does not depend
// on the order (max and min: Note [extrema]) plan with ReduceOrder::Any: their
// reduced axes are reordered by stride like the kept ones, and broadcast
// reduced axes dropped, since they only repeat elements.
//
// Paths, chosen once per reduction:
//  - Contiguous: the sequence is one unit-stride run (axis 1 of a row-major
//    matrix, axis 0 of its transpose): each result is computed along it.
//  - Columns: some kept axis has unit stride (axis 0 of a row-major matrix):
//    a run of results along it is computed side by side, the sequence's
//    elements of all of them read row by row ("rows" of the run).
//  - Gather: anything else: each sequence is copied into a buffer in logical
//    order, a box of whole trailing axes at a time (each_box).
//  - None: no results; Empty: results of no elements each.
#include <algorithm>
#include <cstddef>

#include "engine/cpu/iter/walk.hpp"
#include "util/error.hpp"

namespace mirel {

enum class ReducePath { None, Empty, Contiguous, Columns, Gather };
enum class ReduceOrder { Logical, Any };

struct ReducePlan {
  Shape result_shape;        // row-major; reduced axes kept as length 1 when keepdims
  Plan<2> kept;              // {result strides, operand strides}, see Note [reduce walk]
  Shape reduced;             // coalesced, in logical order (ReduceOrder::Any: in memory order)
  Strides reduced_strides;
  std::size_t count = 1;     // elements per result (ReduceOrder::Any: without broadcast repeats)
  std::size_t results = 1;
  std::size_t empty_axis = 0;  // the first reduced axis of length 0, in the operand's numbering
  ReducePath path = ReducePath::None;
};

// axes: sorted, unique, each below the rank (anything else is an error).
Expected<ReducePlan> plan_reduce(const Shape& shape, const Strides& strides, const Axes& axes, bool keepdims,
                                 ReduceOrder order = ReduceOrder::Logical);

// Results worth a thread: each reads p.count elements.
inline std::size_t result_grain(const ReducePlan& p) noexcept {
  return (kElementGrain + p.count - 1) / std::max<std::size_t>(p.count, 1);
}

// f(result offset, operand offset) for every result.
template <class F>
void each_result(const ReducePlan& p, F&& f) {
  walk(p.kept, [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto k = std::ptrdiff_t(j);
      f(off[0] + k * step[0], off[1] + k * step[1]);
    }
  });
}

// Columns path: f(n, result offset, result step, operand offset) for each run
// of n results whose sequences start at consecutive operand elements.
template <class F>
void each_column_run(const ReducePlan& p, F&& f) {
  walk(p.kept, [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) { f(n, off[0], step[0], off[1]); });
}

// each_result and each_column_run with the results shared among the pool's
// threads when they hold two grains of elements (walk.hpp's parallel_walk):
// f must write only its own results and keep its scratch to itself.
template <class F>
void each_result_parallel(const ReducePlan& p, F&& f) {
  parallel_walk(p.kept, result_grain(p), [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) {
    for (std::size_t j = 0; j < n; ++j) {
      const auto k = std::ptrdiff_t(j);
      f(off[0] + k * step[0], off[1] + k * step[1]);
    }
  });
}
template <class F>
void each_column_run_parallel(const ReducePlan& p, F&& f) {
  parallel_walk(p.kept, result_grain(p),
                [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) { f(n, off[0], step[0], off[1]); });
}

// Operand offsets of one result's sequence, relative to its first element, in
// logical order, handed out in pieces along the last reduced axis.
class ReducedCursor {
 public:
  explicit ReducedCursor(const ReducePlan& p) : ReducedCursor(p.reduced, p.reduced_strides) {}
  ReducedCursor(const Shape& shape, const Strides& strides) : shape_(shape), strides_(strides), idx_(shape.size(), 0) {}

  // run(offset, len, step) for the next `count` elements, which must remain.
  template <class Run>
  void next(std::size_t count, Run&& run) {
    const std::size_t r = shape_.size();
    if (r == 0) return run(std::ptrdiff_t(0), count, std::ptrdiff_t(0));  // one element
    const std::size_t inner = shape_[r - 1];
    const std::ptrdiff_t step = strides_[r - 1];
    while (count > 0) {
      const std::size_t len = std::min(count, inner - idx_[r - 1]);
      run(off_, len, step);
      count -= len;
      idx_[r - 1] += len;
      off_ += std::ptrdiff_t(len) * step;
      if (idx_[r - 1] == inner) carry();
    }
  }

  // The offsets of the next `count` elements, into out.
  void offsets(std::size_t count, std::ptrdiff_t* out) {
    next(count, [&](std::ptrdiff_t off, std::size_t len, std::ptrdiff_t step) {
      for (std::size_t j = 0; j < len; ++j) *out++ = off + std::ptrdiff_t(j) * step;
    });
  }

 private:
  void carry() noexcept {
    std::size_t d = shape_.size() - 1;
    off_ -= strides_[d] * std::ptrdiff_t(shape_[d]);
    idx_[d] = 0;
    while (d-- > 0) {
      off_ += strides_[d];
      if (++idx_[d] < shape_[d]) return;
      off_ -= strides_[d] * std::ptrdiff_t(shape_[d]);
      idx_[d] = 0;
    }
  }

  Shape shape_;
  Strides strides_;
  SmallVec<std::size_t> idx_;
  std::ptrdiff_t off_ = 0;
};

// Calls box(offset, shape, strides) for consecutive boxes of the reduced axes
// that together make one result's sequence in logical order, each of at most
// `limit` (> 0) elements: slices of one axis with every later axis whole, so
// that copy_to_row_major reads a transposed box in strips (Note [strips]).
template <class Box>
void each_box(const ReducePlan& p, std::size_t limit, Box&& box) {
  const std::size_t rank = p.reduced.size();
  if (rank == 0) return box(std::ptrdiff_t(0), Shape{}, Strides{});
  std::size_t d = rank - 1, inner = 1;  // inner: the elements of the axes after d
  while (d > 0 && p.reduced[d] <= limit / inner) {
    inner *= p.reduced[d];
    --d;
  }
  const std::size_t k = std::max<std::size_t>(1, limit / inner);  // slices of axis d
  Shape shape(p.reduced.begin() + std::ptrdiff_t(d), p.reduced.end());
  Strides strides(p.reduced_strides.begin() + std::ptrdiff_t(d), p.reduced_strides.end());
  ReducedCursor outer(Shape(p.reduced.begin(), p.reduced.begin() + std::ptrdiff_t(d + 1)),
                      Strides(p.reduced_strides.begin(), p.reduced_strides.begin() + std::ptrdiff_t(d + 1)));
  for (std::size_t done = 0, n = p.count / inner; done < n; done += std::min(k, n - done)) {
    outer.next(std::min(k, n - done), [&](std::ptrdiff_t off, std::size_t len, std::ptrdiff_t step) {
      shape[0] = len;
      strides[0] = step;
      box(off, shape, strides);
    });
  }
}

}  // namespace mirel
