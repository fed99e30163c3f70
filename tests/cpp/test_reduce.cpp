// Reductions: every loop variant this CPU runs against the portable one;
// every layout (row-major, column-major, permuted, broadcast, empty, rank 0 to
// 9) against a literal transcription of Note [summation order] and
// Note [extrema] over the logical sequence, bit for bit; the error of a long
// sum against float64; the NaN, signed-zero and empty rules; halves rounded once.
#include <bit>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <vector>

#include "check.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/loops/reduce_loops.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/numeric/reduce/reduce.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

// Elements in a std::vector; bools as bytes, since std::vector<bool> packs bits.
template <class T>
using Vals = std::vector<std::conditional_t<std::is_same_v<T, bool>, std::uint8_t, T>>;
template <class T, class E>
const T* as(const std::vector<E>& v) { return reinterpret_cast<const T*>(v.data()); }

template <class T>
T make(float f) {
  if constexpr (std::is_same_v<T, bool>) return f > 0.0f;
  else return narrow<T>(f);
}
template <class A, class B>
bool same(const A& a, const B& b) {
  static_assert(sizeof(A) == sizeof(B));
  return std::memcmp(&a, &b, sizeof(A)) == 0;
}
float nan_with(std::uint32_t payload) { return std::bit_cast<float>(0x7f80'0000u | payload); }
float quieted(float f) { return std::bit_cast<float>(std::bit_cast<std::uint32_t>(f) | 0x40'0000u); }

// Random values with signed zeros, infinities and NaNs (payloads, both signs) mixed in.
template <class T>
Vals<T> samples(std::size_t n, std::uint32_t seed, bool specials) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-4.0f, 4.0f);
  const float odd[] = {0.0f, -0.0f, INFINITY, -INFINITY, nan_with(0x1234), -nan_with(0x40'0077), nan_with(1)};
  Vals<T> v(n);
  for (auto& x : v) x = make<T>(specials && rng() % 16 == 0 ? odd[rng() % 7] : u(rng));
  return v;
}

// Note [summation order], transcribed: lanes, fold, and P by recursion.
float ref_tree(const std::vector<float>& s, std::size_t lo, std::size_t m) {
  if (m == 1) return s[lo];
  const std::size_t p = std::bit_floor(m) == m ? m / 2 : std::bit_floor(m);
  return ref_tree(s, lo, p) + ref_tree(s, lo + p, m - p);
}
template <class T>
T ref_sum(const Vals<T>& x, bool mean) {
  std::vector<float> blocks;
  for (std::size_t b = 0; b < x.size(); b += kSumBlock) {
    float lanes[kSumLanes];
    std::fill_n(lanes, kSumLanes, -0.0f);
    for (std::size_t t = b; t < std::min(x.size(), b + kSumBlock); ++t) lanes[(t - b) % kSumLanes] += widen(x[t]);
    for (std::size_t h = kSumLanes / 2; h > 0; h /= 2) {
      for (std::size_t j = 0; j < h; ++j) lanes[j] = lanes[j] + lanes[j + h];
    }
    blocks.push_back(lanes[0]);
  }
  float s = blocks.empty() ? 0.0f : ref_tree(blocks, 0, blocks.size());
  if (std::isnan(s)) {
    for (const T& v : x) {
      if (std::isnan(widen(v))) { s = quieted(widen(v)); break; }
    }
  }
  if (mean) s = x.empty() ? NAN : s / float(x.size());
  return narrow<T>(s);
}

// Note [extrema], transcribed: the first NaN, quieted; else the extreme with +0 above -0.
template <class T>
T ref_extreme(const Vals<T>& x, bool max) {
  if constexpr (std::is_same_v<T, bool>) {
    return max ? std::find(x.begin(), x.end(), 1) != x.end() : std::find(x.begin(), x.end(), 0) == x.end();
  } else {
    T best = x[0];
    for (const T& v : x) {
      const float a = widen(v), b = widen(best);
      if (std::isnan(a)) return narrow<T>(quieted(a));
      const bool better = max ? (a > b || (a == b && !std::signbit(a))) : (a < b || (a == b && std::signbit(a)));
      if (better) best = v;
    }
    return best;
  }
}
template <class T>
std::int64_t ref_argmax(const Vals<T>& x) {
  std::size_t best = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if constexpr (std::is_same_v<T, bool>) {
      if (x[i] && !x[best]) best = i;
    } else {
      if (std::isnan(widen(x[i]))) return std::int64_t(i);
      if (widen(x[i]) > widen(x[best])) best = i;
    }
  }
  return std::int64_t(best);
}

// Calls f(sequence, result index) for every result, the sequence in logical order.
template <class T, class F>
void each_sequence(const Shape& shape, const Vals<T>& values, const Axes& axes, F f) {
  const Strides st = dense_strides(shape, Order::RowMajor);
  std::vector<bool> red(shape.size(), false);
  for (auto a : axes) red[a] = true;
  Shape kept, reduced;
  Strides ks, rs;
  for (std::size_t d = 0; d < shape.size(); ++d) {
    (red[d] ? reduced : kept).push_back(shape[d]);
    (red[d] ? rs : ks).push_back(st[d]);
  }
  auto offsets = [](const Shape& s, const Strides& t) {
    std::vector<std::ptrdiff_t> out;
    for (std::size_t f = 0, n = numel(s); f < n; ++f) {
      std::ptrdiff_t off = 0;
      for (std::size_t d = s.size(), rest = f; d-- > 0; rest /= s[d]) off += std::ptrdiff_t(rest % s[d]) * t[d];
      out.push_back(off);
    }
    return out;
  };
  const auto outer = offsets(kept, ks), inner = offsets(reduced, rs);
  for (std::size_t r = 0; r < outer.size(); ++r) {
    Vals<T> seq;
    for (auto i : inner) seq.push_back(values[std::size_t(outer[r] + i)]);
    f(seq, r);
  }
}

// values (row-major logical order) laid out with perm[0] outermost in memory.
template <class T>
NdArray<T> laid_out(const Shape& shape, const Vals<T>& values, const std::vector<std::size_t>& perm) {
  Shape ps;
  for (auto d : perm) ps.push_back(shape[d]);
  const Strides pst = dense_strides(ps, Order::RowMajor);
  Strides st(shape.size(), 0);
  for (std::size_t k = 0; k < perm.size(); ++k) st[perm[k]] = pst[k];
  NdArray<T> a = NdArray<T>::uninit_like_layout(shape, st);
  const Strides rm = dense_strides(shape, Order::RowMajor);
  for (std::size_t f = 0; f < values.size(); ++f) {
    std::ptrdiff_t off = 0;
    for (std::size_t d = 0; d < shape.size(); ++d) {
      off += (std::ptrdiff_t(f) / rm[d] % std::ptrdiff_t(shape[d])) * st[d];
    }
    a.data()[off] = T(values[f]);
  }
  return a;
}

template <class R>
void check_bits(const Expected<NdArray<R>>& got, const Vals<R>& want, const char* op, const char* layout,
                const Shape& shape, const Axes& axes) {
  CHECK(got.has_value(), "%s on %s: %s", op, layout, got ? "" : got.error().c_str());
  if (!got) return;
  std::size_t at = 0;
  bool ok = got->size() == want.size() && got->is_standard_layout();
  for (; ok && at < want.size(); ++at) ok = same(got->data()[at], want[at]);
  CHECK(ok, "%s on %s layout of %s over %s, %zu bytes each: result %zu differs", op, layout, shape_str(shape).c_str(),
        shape_str(axes).c_str(), sizeof(R), at - 1);
}

struct Case {
  Shape shape;
  Axes axes;
};
// Rank 0 to 9, no axes and all of them, empty sets and empty results, length-1
// axes, several blocks and chunks, column strips with tails, gathered boxes.
const Case kCases[] = {
    {{}, {}},
    {{7}, {0}},
    {{7}, {}},
    {{3, 4}, {0}},
    {{3, 4}, {1}},
    {{3, 4}, {0, 1}},
    {{0, 3}, {1}},
    {{4, 0}, {0}},
    {{3, 0, 2}, {1}},
    {{2, 1, 3}, {1}},
    {{2, 1, 3}, {0, 2}},
    {{5, 600}, {1}},
    {{600, 5}, {0}},
    {{37, 70}, {0}},
    {{300, 40}, {0}},
    {{70, 300}, {0}},
    {{20, 9, 30}, {0, 2}},
    {{3, 5000}, {1}},
    {{4100, 3}, {0, 1}},
    {{130, 140}, {0, 1}},
    {{2, 3000, 7}, {0, 1, 2}},
    {{2, 1, 3, 2, 2, 1, 2, 3}, {0, 2, 5, 7}},
    {{2, 1, 3, 2, 2, 1, 2, 3}, {1, 3, 4, 6}},
    {{2, 2, 1, 2, 3, 1, 2, 2, 2}, {1, 3, 5, 7}},
    {{2, 2, 1, 2, 3, 1, 2, 2, 2}, {0, 1, 2, 3, 4, 5, 6, 7, 8}},
};

// Every op on every layout against the transcriptions; `specials` mixes NaNs, infinities and signed zeros in.
template <class T>
void check_layouts(bool specials) {
  constexpr bool floating = !std::is_same_v<T, bool>;
  std::uint32_t seed = 1;
  for (const Case& c : kCases) {
    const std::size_t rank = c.shape.size();
    const auto values = samples<T>(numel(c.shape), seed++, specials);
    Vals<T> want_sum, want_mean, want_max, want_min;
    Vals<std::int64_t> want_arg;
    bool empty = false;
    each_sequence<T>(c.shape, values, c.axes, [&](const Vals<T>& seq, std::size_t) {
      if constexpr (floating) want_sum.push_back(ref_sum<T>(seq, false)), want_mean.push_back(ref_sum<T>(seq, true));
      if (seq.empty()) return void(empty = true);
      want_max.push_back(ref_extreme<T>(seq, true));
      want_min.push_back(ref_extreme<T>(seq, false));
      want_arg.push_back(ref_argmax<T>(seq));
    });
    Shape dropped, kept = c.shape;
    for (std::size_t d = 0; d < rank; ++d) {
      if (std::find(c.axes.begin(), c.axes.end(), d) == c.axes.end()) dropped.push_back(c.shape[d]);
      else kept[d] = 1;
    }
    std::vector<std::size_t> row(rank), col(rank), shuffled(rank);
    std::iota(row.begin(), row.end(), 0);
    std::iota(col.rbegin(), col.rend(), 0);
    shuffled = row;
    std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937(seed));
    const std::pair<const char*, std::vector<std::size_t>> layouts[] = {
        {"row-major", row}, {"column-major", col}, {"permuted", shuffled}};
    for (const auto& [name, perm] : layouts) {
      const NdArray<T> a = laid_out<T>(c.shape, values, perm);
      const View<T> v = view_of(a);
      for (bool keep : {false, true}) {
        if constexpr (floating) {
          check_bits(sum_over(v, c.axes, keep), want_sum, "sum", name, c.shape, c.axes);
          check_bits(mean_over(v, c.axes, keep), want_mean, "mean", name, c.shape, c.axes);
        }
        if (empty) {
          CHECK(!max_over(v, c.axes, keep) && !argmax_over(v, c.axes, keep), "max of no elements must fail");
          continue;
        }
        check_bits(max_over(v, c.axes, keep), want_max, "max", name, c.shape, c.axes);
        check_bits(min_over(v, c.axes, keep), want_min, "min", name, c.shape, c.axes);
        check_bits(argmax_over(v, c.axes, keep), want_arg, "argmax", name, c.shape, c.axes);
        const auto r = min_over(v, c.axes, keep);
        CHECK(r->shape() == (keep ? kept : dropped), "result shape");
      }
    }
  }
}

TEST(reductions_follow_the_written_order_on_every_layout) {
  for (bool specials : {false, true}) {
    check_layouts<float>(specials);
    check_layouts<F16>(specials);
    check_layouts<BF16>(specials);
  }
  check_layouts<bool>(false);
}

TEST(broadcast_operands_give_the_materialised_bits) {
  const Shape target{6, 300, 5};
  for (const Shape& src_shape : {Shape{6, 1, 5}, Shape{1, 300, 1}, Shape{300, 5}, Shape{1}}) {
    const auto values = samples<float>(numel(src_shape), 9, true);
    const NdArray<float> src = laid_out<float>(src_shape, values, [&] {
      std::vector<std::size_t> p(src_shape.size());
      std::iota(p.rbegin(), p.rend(), 0);  // column-major source
      return p;
    }());
    const View<float> bv = *broadcast_view(src, target);
    NdArray<float> dense = NdArray<float>::uninit(target);
    copy_to_row_major(bv.data, bv.shape, bv.strides, dense.data(), [](const float* p) { return *p; });
    for (const Axes& axes : {Axes{0}, Axes{1}, Axes{2}, Axes{0, 2}, Axes{0, 1, 2}, Axes{}}) {
      auto same_as_dense = [&](const auto& got, const auto& want, const char* op) {
        bool ok = got && want && got->size() == want->size() &&
                  std::memcmp(got->data(), want->data(), want->size() * sizeof(*want->data())) == 0;
        CHECK(ok, "%s of a broadcast %s over %s", op, shape_str(src_shape).c_str(), shape_str(axes).c_str());
      };
      const View<float> dv = view_of(dense);
      same_as_dense(sum_over(bv, axes, false), sum_over(dv, axes, false), "sum");
      same_as_dense(max_over(bv, axes, false), max_over(dv, axes, false), "max");
      same_as_dense(min_over(bv, axes, true), min_over(dv, axes, true), "min");
      same_as_dense(argmax_over(bv, axes, false), argmax_over(dv, axes, false), "argmax");
    }
  }
}

// The lanes and the tree keep the error pairwise: a million terms against float64.
TEST(long_sums_stay_within_the_pairwise_bound) {
  for (std::size_t n : {1'000'000u, 65'537u, 300u}) {
    const auto x = samples<float>(n, 5, false);
    double exact = 0, mag = 0;
    for (float v : x) exact += v, mag += std::fabs(v);
    const auto got = sum_over(View<float>{x.data(), {n}, {1}}, {0}, false);
    const double roundings =
        double(kSumBlock / kSumLanes) + std::log2(double(kSumLanes)) + std::log2(double(n) / kSumBlock + 1) + 2;
    const double err = std::fabs(double(got->data()[0]) - exact);
    CHECK(err <= roundings * 0x1p-24 * mag, "n = %zu: error %g, bound %g", n, err, roundings * 0x1p-24 * mag);
  }
}

TEST(signed_zeros_nans_and_empty_sets) {
  auto one = [](std::vector<float> x, auto op) {
    return op(View<float>{x.data(), {x.size()}, {1}}, Axes{0}, false)->data()[0];
  };
  auto max = [](auto... a) { return max_over(a...); };
  auto min = [](auto... a) { return min_over(a...); };
  for (auto x : {std::vector<float>{-0.0f, 0.0f}, std::vector<float>{0.0f, -0.0f}}) {
    CHECK(!std::signbit(one(x, max)) && std::signbit(one(x, min)), "max(-0, +0) = +0, min = -0, in any order");
  }
  CHECK(std::signbit(one({-0.0f, -0.0f}, max)), "max of -0s is -0");
  const float q = nan_with(0x40'0005), s = nan_with(0x5);  // quiet, signalling
  const std::vector<float> two_nans{1.0f, s, 7.0f, q};
  auto bits = [](float f) { return std::bit_cast<std::uint32_t>(f); };
  CHECK(bits(one(two_nans, max)) == (bits(s) | 0x40'0000u) && bits(one(two_nans, min)) == (bits(s) | 0x40'0000u),
        "the first NaN, quieted");
  auto sum = [](auto... a) { return sum_over(a...); };
  CHECK(bits(one(two_nans, sum)) == (bits(s) | 0x40'0000u), "a NaN sum is the first NaN");
  CHECK(std::isnan(one({INFINITY, -INFINITY}, sum)), "inf - inf");
  CHECK(argmax_over(View<float>{two_nans.data(), {4}, {1}}, {0}, false)->data()[0] == 1, "argmax: the first NaN");
  const std::vector<float> ties{-1.0f, -0.0f, 0.0f, -0.0f};
  CHECK(argmax_over(View<float>{ties.data(), {4}, {1}}, {0}, false)->data()[0] == 1, "argmax: ±0 tie, the first");

  const View<float> empty{nullptr, {3, 0}, {0, 0}};
  const auto nothing = sum_over(empty, {1}, false);
  CHECK(nothing->data()[0] == 0.0f && !std::signbit(nothing->data()[2]), "sum of nothing is +0");
  CHECK(std::isnan(mean_over(empty, {1}, false)->data()[1]), "mean of nothing is NaN");
  const auto err = extremum_check("max", {3, 0}, {1});
  CHECK(!err && err.error().find("axis 1 of shape [3, 0]") != std::string::npos, "%s",
        err ? "no error" : err.error().c_str());
  CHECK(extremum_check("max", {0, 0}, {1}).has_value(), "no results: nothing to refuse");
  CHECK(!max_over(empty, {1}, false).has_value() && max_over(empty, {0}, false).has_value(), "the kernel agrees");
}

TEST(halves_are_summed_in_f32_and_rounded_once) {
  // In f16, 2048 + 1 rounds back to 2048 at every step; in f32 the sum is 2050 exactly.
  const std::vector<F16> x{F16::from_float(2048.0f), F16::from_float(1.0f), F16::from_float(1.0f)};
  CHECK(sum_over(View<F16>{x.data(), {3}, {1}}, {0}, false)->data()[0].to_float() == 2050.0f);
  CHECK(mean_over(View<F16>{x.data(), {3}, {1}}, {0}, false)->data()[0].bits == F16::from_float(2050.0f / 3.0f).bits);
  const std::vector<BF16> y(300, BF16::from_float(1.0f));  // 256 + 44 ones: bf16 steps would stop at 256
  CHECK(sum_over(View<BF16>{y.data(), {300}, {1}}, {0}, false)->data()[0].to_float() == 300.0f);
}

TEST(storage_reductions_name_their_errors) {
  const CpuStorage flags(NdArray<bool>::filled({2, 3}, true));
  CHECK(!flags.sum({0}, false) && flags.sum({0}, false).error().kind == ExcKind::Type, "sum of Bool");
  CHECK(flags.max({1}, false).has_value() && flags.argmax({}, true).has_value(), "max and argmax of Bool");
  const CpuStorage empty(NdArray<float>::uninit({2, 0}));
  const auto r = empty.min({1}, true);
  CHECK(!r && r.error().kind == ExcKind::Value, "min over an empty axis");
  CHECK(empty.sum({1}, true).has_value() && empty.max({0}, false).has_value(), "sum of nothing, no results");
}

// Every variant of every reduction loop against the portable one; sums with a
// NaN only need to be NaN here (the drivers fix the payload afterwards).
template <class T>
void check_loop_variants() {
  const auto xs = samples<T>(20'000, 3, true);
  const T* x = as<T>(xs);
  std::vector<std::ptrdiff_t> rows(kSumBlock);
  for (std::size_t t = 0; t < rows.size(); ++t) rows[t] = std::ptrdiff_t(t * 67);
  auto nan_or_same = [](float a, float b) { return (std::isnan(a) && std::isnan(b)) || same(a, b); };
  for (std::size_t i = 1; i < kIsaCount; ++i) {
    if (!isa_supported(Isa(i))) continue;
    for (std::size_t n : {1u, 7u, 9u, 255u, 256u, 257u, 1031u, 4096u, 5000u}) {
      if constexpr (!std::is_same_v<T, bool>) {
        std::vector<float> want(67), got(67);  // up to 20 blocks, or 66 columns
        SumLoops<T>::blocks.by_isa[0](x + 1, n, want.data());
        SumLoops<T>::blocks.by_isa[i](x + 1, n, got.data());
        CHECK(std::equal(want.begin(), want.end(), got.begin(), nan_or_same), "sum_blocks on %s, n = %zu",
              isa_name(Isa(i)), n);
        const std::size_t cols = n % 67, nrows = std::min(n, kSumBlock);
        SumLoops<T>::columns.by_isa[0](x + 1, rows.data(), nrows, cols, want.data());
        SumLoops<T>::columns.by_isa[i](x + 1, rows.data(), nrows, cols, got.data());
        CHECK(std::equal(want.begin(), want.end(), got.begin(), nan_or_same),
              "sum_columns on %s, %zu columns", isa_name(Isa(i)), cols);
      }
      using L = BoundsLoops<T>;
      std::vector<RawOf<T>> want(3 * 67, 0x5a), got(want);
      L::run.by_isa[0](x + 1, n, want.data());
      L::run.by_isa[i](x + 1, n, got.data());
      const std::size_t cols = n % 67, nrows = std::min(n, kSumBlock);
      L::columns.by_isa[0](x + 1, rows.data(), nrows, cols, want.data() + 3);
      L::columns.by_isa[i](x + 1, rows.data(), nrows, cols, got.data() + 3);
      CHECK(want == got, "bounds on %s, n = %zu", isa_name(Isa(i)), n);
      for (std::size_t target = 0; target < 40; target += 13) {  // found at varying places, or not at all
        const RawOf<T> v = std::bit_cast<RawOf<T>>(x[1 + n / 2 + target % 7]) & 0x7fff, all = RawOf<T>(~RawOf<T>(0));
        for (std::ptrdiff_t step : {1, 3}) {
          const std::size_t m = n / std::size_t(step);
          CHECK(L::find.by_isa[0](x + 1, m, step, all, v, all) == L::find.by_isa[i](x + 1, m, step, all, v, all) &&
                    L::find.by_isa[0](x + 1, m, step, 0, 1, v) == L::find.by_isa[i](x + 1, m, step, 0, 1, v),
                "find on %s, n = %zu, step %td", isa_name(Isa(i)), m, step);
        }
      }
    }
  }
}

TEST(reduction_loops_match_portable) {
  check_loop_variants<float>();
  check_loop_variants<F16>();
  check_loop_variants<BF16>();
  check_loop_variants<bool>();
}

}  // namespace
}  // namespace mirel
