#pragma once
// The reduction loops of reduce_lanes.inc, a portable and an AVX2 variant
// (eight lanes in every set: the AVX-512 sets run the AVX2 build, Note
// [compiler-vectorised loops]), picked once when the module loads (the
// registry's family "reductions"). Every variant gives the portable variant's
// bits: Note [summation order], Note [extrema].
#include <cstddef>
#include <cstdint>

#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {

inline constexpr std::size_t kSumLanes = isa_portable::kSumLanes;
inline constexpr std::size_t kSumBlock = isa_portable::kSumBlock;
static_assert(kSumBlock == isa_avx2::kSumBlock && kSumLanes == isa_avx2::kSumLanes);

// Raw sign-magnitude bits of an element: f32 32, f16 and bf16 16, bool 8.
template <class T>
using RawOf = isa_portable::RawOf<T>;

template <class T>
struct SumLoops {
  // The sums of the blocks of x[0, n), one per kSumBlock elements.
  using Blocks = void (*)(const T* x, std::size_t n, float* sums) noexcept;
  // One block of rows (nrows <= kSumBlock, row t at x + rows[t]), summed down cols columns.
  using Columns = void (*)(const T* x, const std::ptrdiff_t* rows, std::size_t nrows, std::size_t cols,
                           float* sums) noexcept;
  static constexpr Variants<Blocks> blocks MIREL_VARIANTS_AVX2(sum_blocks<T>);
  static constexpr Variants<Columns> columns MIREL_VARIANTS_AVX2(sum_columns<T>);
  static inline const Blocks best_blocks = blocks.best(exec::Family::Reductions);
  static inline const Columns best_columns = columns.best(exec::Family::Reductions);
};

// The three bounds of Note [extrema], which give max and min alike.
template <class T>
struct BoundsLoops {
  // Folds x[0, n) into the bounds b[0..2].
  using Run = void (*)(const T* x, std::size_t n, RawOf<T>* b) noexcept;
  // Folds rows t < nrows (row t at x + rows[t]) into bound k of column c at b[k * cols + c].
  using Columns = void (*)(const T* x, const std::ptrdiff_t* rows, std::size_t nrows, std::size_t cols,
                           RawOf<T>* b) noexcept;
  // The first of n elements at x, x + step, ... whose raw bits v satisfy
  // (v & keep) == want or |v| > above (above: at most all bits but the sign); n when none does.
  using Find = std::size_t (*)(const T* x, std::size_t n, std::ptrdiff_t step, RawOf<T> keep, RawOf<T> want,
                               RawOf<T> above) noexcept;
  static constexpr Variants<Run> run MIREL_VARIANTS_AVX2(bounds_run<T>);
  static constexpr Variants<Columns> columns MIREL_VARIANTS_AVX2(bounds_columns<T>);
  static constexpr Variants<Find> find MIREL_VARIANTS_AVX2(find_run<T>);
  static inline const Run best_run = run.best(exec::Family::Reductions);
  static inline const Columns best_columns = columns.best(exec::Family::Reductions);
  static inline const Find best_find = find.best(exec::Family::Reductions);
};

}  // namespace mirel
