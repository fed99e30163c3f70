#pragma once
// The one door to the BLAS backend: a single-precision matrix product over
// arbitrary element strides. Only this door and the library loader behind it
// include cblas.h, so the backend can change behind this function.
#include <cstddef>
#include <string>

namespace mirel {

// C = A·B with A m×k, B k×n and C m×n. Element (i, j) of A is a[i*a_rs + j*a_cs],
// likewise for B; C is row-major with row stride c_rs (its columns are adjacent).
// Strides are in elements and non-negative; an axis of length 1 may carry any stride.
// C is only written, never read. With k == 0, C is set to zero.
// Any size is accepted: work beyond the backend's 32-bit integer interface is
// split into blocks, never truncated.
void sgemm(std::size_t m, std::size_t n, std::size_t k,
           const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
           float* c, std::ptrdiff_t c_rs);

// sgemm with `limit` as the largest size or leading dimension the backend's
// interface takes: sgemm passes INT_MAX; a small limit exercises the tiling.
void gemm_blocked(std::size_t limit, std::size_t m, std::size_t n, std::size_t k,
                  const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
                  const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
                  float* c, std::ptrdiff_t c_rs);

// Loads the backend now rather than at the first product: empty when it is
// ready, otherwise why it could not be loaded.
std::string prepare_blas();

}  // namespace mirel
