#include "engine/cpu/numeric/ops/broadcast.hpp"

#include <algorithm>

#include "util/format.hpp"

namespace mirel {

Expected<Shape> broadcast_shapes(const Shape& a, const Shape& b) {
  const std::size_t n = std::max(a.size(), b.size());
  Shape out(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t da = i < a.size() ? a[a.size() - 1 - i] : 1;
    const std::size_t db = i < b.size() ? b[b.size() - 1 - i] : 1;
    std::size_t d;
    if (da == db || db == 1) d = da;
    else if (da == 1) d = db;
    else return std::unexpected(concat("Shape mismatch: cannot broadcast ", shape_str(a), " and ", shape_str(b)));
    out[n - 1 - i] = d;
  }
  return out;
}

std::string broadcast_failed(char which, const Shape& from, const Shape& to) {
  return (concat("Broadcast failed for ", which, ": ", shape_str(from), " -> ", shape_str(to)));
}

}  // namespace mirel
