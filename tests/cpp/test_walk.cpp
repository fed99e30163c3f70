// The strided walk: coalescing, and copy_to_row_major against index
// arithmetic for transposed (the strip order included), permuted, broadcast,
// reversed, length-1, rank-0 and empty sources.
#include <vector>

#include "check.hpp"
#include "engine/cpu/iter/walk.hpp"

namespace mirel {
namespace {

TEST(coalesce_merges_only_what_every_operand_allows) {
  Plan<2> all_dense{{2, 1, 3, 4}, {Strides{12, 12, 4, 1}, Strides{12, 99, 4, 1}}};
  coalesce(all_dense);
  CHECK(all_dense.shape == Shape{24} && all_dense.strides[1] == Strides{1});

  Plan<2> transposed{{3, 4}, {Strides{4, 1}, Strides{1, 3}}};
  coalesce(transposed);
  CHECK(transposed.shape == (Shape{3, 4}));

  Plan<2> broadcast{{5, 3, 4}, {Strides{12, 4, 1}, Strides{0, 4, 1}}};  // a row repeated: inner axes merge
  coalesce(broadcast);
  CHECK(broadcast.shape == (Shape{5, 12}) && broadcast.strides[1] == (Strides{0, 1}));

  Plan<2> ones{{1, 1, 1}, {Strides{1, 1, 1}, Strides{7, 8, 9}}};
  coalesce(ones);
  CHECK(ones.shape.size() == 0);
}

TEST(copy_to_row_major_matches_index_arithmetic) {
  std::vector<int> src(5000);
  for (std::size_t i = 0; i < src.size(); ++i) src[i] = int(i);
  struct Case {
    Shape shape;
    Strides strides;
    std::ptrdiff_t start;
  };
  const Case cases[] = {
      {{300, 7}, {1, 300}, 0},          // transposed, short rows
      {{20, 200}, {1, 20}, 0},          // transposed, long rows: walked in strips
      {{4, 5, 6}, {1, 24, 4}, 0},       // permuted
      {{3, 1, 4}, {0, 99, 1}, 0},       // broadcast and length-1
      {{6, 150}, {-150, -1}, 899},      // reversed
      {{}, {}, 42},                     // rank 0
      {{3, 0, 2}, {0, 0, 0}, 0},        // empty
  };
  for (const Case& c : cases) {
    const std::size_t n = numel(c.shape);
    std::vector<int> got(n + 1, -1), want(n + 1, -1);
    copy_to_row_major(src.data() + c.start, c.shape, c.strides, got.data(), [](const int* p) { return *p; });
    for (std::size_t flat = 0; flat < n; ++flat) {
      std::size_t rest = flat;
      std::ptrdiff_t off = c.start;
      for (std::size_t d = c.shape.size(); d-- > 0;) {
        off += std::ptrdiff_t(rest % c.shape[d]) * c.strides[d];
        rest /= c.shape[d];
      }
      want[flat] = src[std::size_t(off)];
    }
    CHECK(got == want, "shape of rank %zu, %zu elements", c.shape.size(), n);
  }
}

}  // namespace
}  // namespace mirel
