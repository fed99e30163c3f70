#pragma once
// The one strided walk. A Plan pairs a shape with the strides of N operands
// (in any unit the caller likes: elements, or bytes for NumPy's buffers);
// coalesce merges axes that are contiguous together in every operand and drops
// length-1 axes; walk hands every innermost run to a callback with each
// operand's offset and step. Elementwise kernels, the NumPy gather and export,
// matmul's batches and widening, and the backward kernels all go through here.
//
// Note [strips]
// When an operand steps through memory faster along the second-to-last axis
// than along the last (a transposed operand beside row-major ones), walking
// whole rows touches one cache line of it per element, and the line is gone
// before the next row would use it. walk then goes through tiles of kTileRows
// rows by kStrip columns, the rows of a tile one after another: the transposed
// operand's lines are reused while still in cache, and the other operands
// still read each row in order. Runs may arrive in any order; every caller writes
// through its own offsets.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>

#include "engine/cpu/array/layout.hpp"
#include "engine/cpu/exec/parallel.hpp"

namespace mirel {

template <std::size_t N>
struct Plan {
  Shape shape;
  std::array<Strides, N> strides;
};

template <std::size_t N>
using Offsets = std::array<std::ptrdiff_t, N>;

// Merges axes that are contiguous together in every operand; drops length-1 axes.
template <std::size_t N>
void coalesce(Plan<N>& p) {
  std::size_t k = 0;
  for (std::size_t d = 0; d < p.shape.size(); ++d) {
    if (p.shape[d] == 1) continue;  // carries no layout information
    p.shape[k] = p.shape[d];
    for (auto& s : p.strides) s[k] = s[d];
    ++k;
  }
  p.shape.resize(k);
  for (auto& s : p.strides) s.resize(k);
  if (k < 2) return;
  std::size_t keep = 0;
  for (std::size_t d = 1; d < k; ++d) {
    auto fits = [&](const Strides& s) { return s[keep] == s[d] * std::ptrdiff_t(p.shape[d]); };
    if (std::all_of(p.strides.begin(), p.strides.end(), fits)) p.shape[keep] *= p.shape[d];
    else p.shape[++keep] = p.shape[d];
    for (auto& s : p.strides) s[keep] = s[d];  // the merged axis advances at the inner stride
  }
  p.shape.resize(keep + 1);
  for (auto& s : p.strides) s.resize(keep + 1);
}

// 64 lines of the transposed operand per tile; 4 rows, because taller tiles cut
// the other operands' rows into runs too short for the hardware prefetcher.
// Measured against taller and wider tiles on an idle and on a busy machine:
// this shape was the fastest in both.
inline constexpr std::size_t kStrip = 64;
inline constexpr std::size_t kTileRows = 4;

// Calls run(n, offsets, steps) for every run of n elements along the last axis
// (rank 0: one run of one element; an empty shape: none).
template <std::size_t N, class Run>
void walk(const Plan<N>& p, Run&& run) {
  const std::size_t rank = p.shape.size();
  Offsets<N> step{};
  if (rank == 0) return run(std::size_t(1), Offsets<N>{}, step);
  for (std::size_t d : p.shape) {
    if (d == 0) return;
  }
  for (std::size_t k = 0; k < N; ++k) step[k] = p.strides[k][rank - 1];
  const std::size_t inner = p.shape[rank - 1];

  // Every position of the axes below `top`, the last of them fastest.
  auto odometer = [&](std::size_t top, auto&& body) {
    SmallVec<std::size_t> idx(top, 0);
    Offsets<N> off{};
    for (;;) {
      body(off);
      std::size_t d = top;
      for (;;) {
        if (d == 0) return;
        --d;
        for (std::size_t k = 0; k < N; ++k) off[k] += p.strides[k][d];
        if (++idx[d] < p.shape[d]) break;
        for (std::size_t k = 0; k < N; ++k) off[k] -= p.strides[k][d] * std::ptrdiff_t(p.shape[d]);
        idx[d] = 0;
      }
    }
  };

  // A broadcast operand (stride 0 on the outer axis) reads one row again and again: not transposed.
  const bool strips = rank >= 2 && inner > kStrip && std::any_of(p.strides.begin(), p.strides.end(), [&](const Strides& s) {
    return s[rank - 2] != 0 && std::abs(s[rank - 2]) < std::abs(s[rank - 1]);
  });
  if (!strips) return odometer(rank - 1, [&](const Offsets<N>& off) { run(inner, off, step); });

  // See Note [strips].
  const std::size_t rows = p.shape[rank - 2];
  Offsets<N> row_step;
  for (std::size_t k = 0; k < N; ++k) row_step[k] = p.strides[k][rank - 2];
  odometer(rank - 2, [&](const Offsets<N>& base) {
    for (std::size_t i0 = 0; i0 < rows; i0 += kTileRows) {
      const std::size_t tile_rows = std::min(rows - i0, kTileRows);
      for (std::size_t j0 = 0; j0 < inner; j0 += kStrip) {
        const std::size_t len = std::min(kStrip, inner - j0);
        Offsets<N> off;
        for (std::size_t k = 0; k < N; ++k) {
          off[k] = base[k] + std::ptrdiff_t(i0) * row_step[k] + std::ptrdiff_t(j0) * step[k];
        }
        for (std::size_t i = 0; i < tile_rows; ++i) {
          run(len, off, step);
          for (std::size_t k = 0; k < N; ++k) off[k] += row_step[k];
        }
      }
    }
  });
}

// Elements of simple elementwise work (an addition, a copy) worth a thread:
// tens of microseconds, against the few it takes to wake one.
inline constexpr std::size_t kElementGrain = std::size_t(1) << 15;

// walk, with the plan cut along its outermost axis into ranges for the pool's
// threads (exec/parallel.hpp) when it holds two grains of elements or more.
// Runs then arrive from several threads at once: run must write only through
// its own offsets.
template <std::size_t N, class Run>
void parallel_walk(const Plan<N>& p, std::size_t grain, Run&& run) {
  std::size_t total = 1;  // fits: every operand exists
  for (std::size_t d : p.shape) total *= d;
  if (p.shape.empty() || total / 2 < grain) return walk(p, run);
  const std::size_t outer = p.shape[0], inner = total / outer;
  exec::parallel_for(outer, (grain + inner - 1) / inner, [&](std::size_t begin, std::size_t end) {
    Plan<N> part = p;
    part.shape[0] = end - begin;
    Offsets<N> base;
    for (std::size_t k = 0; k < N; ++k) base[k] = std::ptrdiff_t(begin) * p.strides[k][0];
    walk(part, [&](std::size_t n, const Offsets<N>& off, const Offsets<N>& step) {
      Offsets<N> at;
      for (std::size_t k = 0; k < N; ++k) at[k] = base[k] + off[k];
      run(n, at, step);
    });
  }, total / grain);
}

// Copies the elements of a strided source into dst in row-major order of
// `shape`, each read by load(const S*). Strides are in units of S.
template <class D, class S, class Load>
void copy_to_row_major(const S* src, const Shape& shape, const Strides& strides, D* dst, Load load) {
  Plan<2> p{shape, {dense_strides(shape, Order::RowMajor), strides}};
  coalesce(p);
  // dst is row-major, so after coalescing it is unit-stride along every run.
  parallel_walk(p, kElementGrain, [&](std::size_t n, const Offsets<2>& off, const Offsets<2>& step) {
    D* o = dst + off[0];
    const S* s = src + off[1];
    for (std::size_t j = 0; j < n; ++j) o[j] = load(s + std::ptrdiff_t(j) * step[1]);
  });
}

}  // namespace mirel
