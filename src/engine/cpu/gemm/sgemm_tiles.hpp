#pragma once
// The instruction-set-specific half of sgemm (sgemm.hpp): a register-blocked
// tile and a packer of B per set, written once in sgemm_tile.inc.
#include <cstddef>

namespace mirel::sgemm_tiles {

inline constexpr std::size_t kPackSlack = 16;

struct Kernels {
  std::size_t rows;  // rows of C per tile
  std::size_t cols;  // columns of C per tile: two vectors
  std::size_t wide;  // columns of C per row_tile, at most
  std::size_t tall;  // rows of C per column_tile

  // h ≤ rows rows and w ≤ cols columns of C become, element by element,
  //   chain_add(Σ_p A[i,p]·B[p,j], first ? +0 : C[i,j])
  // with the sum one chain of chain_fma over p < kc from +0
  // (Note [summation order of products]). A[i,p] is a[i*a_rs + p*a_cs];
  // B[p,j] is b[p*b_rs + j], and only its first w columns are read; C[i,j]
  // is c[i*c_rs + j*c_cs]. With b_first, a multiply-add gives B's NaN before
  // A's (the product is being computed transposed).
  void (*tile)(std::size_t h, std::size_t w, std::size_t kc, const float* a, std::ptrdiff_t a_rs,
               std::ptrdiff_t a_cs, const float* b, std::ptrdiff_t b_rs, float* c, std::ptrdiff_t c_rs,
               std::ptrdiff_t c_cs, bool first, bool b_first);

  // The tile on packed panels: a from pack_a (h rows of it meaningful), b
  // from pack_b; the rest as for tile.
  void (*tile_packed)(std::size_t h, std::size_t w, std::size_t kc, const float* a, const float* b, float* c,
                      std::ptrdiff_t c_rs, std::ptrdiff_t c_cs, bool first, bool b_first);

  // tile for one row and as many of w columns as one of its wide shapes
  // takes whole (at most `wide`), B read in place (its rows runs); returns
  // how many columns it did, 0 when w is too narrow for any.
  std::size_t (*row_tile)(std::size_t w, std::size_t kc, const float* a, std::ptrdiff_t a_cs, const float* b,
                          std::ptrdiff_t b_rs, float* c, std::ptrdiff_t c_cs, bool first, bool b_first);

  // tile for h ≤ tall rows and a single column: A's rows are runs (a_cs = 1),
  // B[p] is b[p*b_rs], C[i] is c[i*c_rs].
  void (*column_tile)(std::size_t h, std::size_t kc, const float* a, std::ptrdiff_t a_rs, const float* b,
                      std::ptrdiff_t b_rs, float* c, std::ptrdiff_t c_rs, bool first);

  // kc columns and h ≤ rows rows of A (A[i,p] at a[i*a_rs + p*a_cs]) as a
  // panel of kc runs of `rows` floats, zero past row h. May write up to
  // kPackSlack floats past the panel.
  void (*pack_a)(const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs, std::size_t h, std::size_t kc,
                 float* out);

  // kc rows and w ≤ cols columns of B (B[p,j] at b[p*b_rs + j*b_cs]) as a
  // panel of kc rows of `cols` floats, zero past column w.
  void (*pack_b)(const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs, std::size_t kc, std::size_t w,
                 float* out);

  // `iters` rounds of independent multiply-adds on registers alone, for
  // measuring the CPU's peak: flops_per_iter floating-point operations each.
  void (*spin)(std::size_t iters) noexcept;
  std::size_t flops_per_iter;
};

extern const Kernels kPortable, kAvx2, kAvx512;

}  // namespace mirel::sgemm_tiles
