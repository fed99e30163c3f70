#include "engine/cpu/iter/zip.hpp"

namespace mirel {
namespace {

// Scores: row-major +2, column-major -2, leaning +1/-1, neither or both 0.
struct Layout {
  bool row;
  bool col;
  int score;
};

Layout classify(const Shape& shape, const Strides& st) noexcept {
  if (is_row_major(shape, st)) {
    const auto long_axes = std::count_if(shape.begin(), shape.end(), [](std::size_t d) { return d > 1; });
    const bool both = long_axes <= 1;
    return {true, both, both ? 0 : 2};
  }
  const std::size_t r = shape.size();
  if (r > 1 && is_col_major(shape, st)) return {false, true, -2};
  if (r > 1) {
    if (shape[0] > 1 && st[0] == 1) return {false, false, -1};
    if (shape[r - 1] > 1 && st[r - 1] == 1) return {false, false, 1};
  }
  return {false, false, 0};
}

}  // namespace

Order result_order(const Shape& shape, const Strides& a, const Strides& b) noexcept {
  const Layout la = classify(shape, a), lb = classify(shape, b);
  if (la.row && lb.row) return Order::RowMajor;
  if ((la.col && lb.col) || la.score + lb.score < 0) return Order::ColMajor;
  return Order::RowMajor;
}

}  // namespace mirel
