#include "engine/cpu/gemm/blas.hpp"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

#include "engine/cpu/gemm/blas_library.hpp"
#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/gemm/sgemm_avx512.hpp"

namespace mirel {
namespace {

// Note [describing an operand to cblas]
// cblas takes each operand as a row-major matrix with a leading dimension, optionally
// transposed. An operand whose columns are adjacent (column stride 1) goes as it is,
// ld = row stride; one whose rows are adjacent (row stride 1) goes as the transpose of
// a row-major matrix, ld = column stride. A transposed view therefore costs nothing.
// An axis of length 1 is never stepped along, so its stride is free and we pick the
// smallest ld cblas accepts (ld >= max(1, columns)). Anything else — both strides
// above 1, overlapping rows, an ld past the 32-bit interface — is packed first.

struct Operand {
  const float* data;
  CBLAS_TRANSPOSE trans;
  blasint ld;
};

// A rows × cols block with strides rs, cs, when cblas can read it in place.
std::optional<Operand> describe(const float* p, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t rows, std::size_t cols,
                                std::size_t limit) {
  auto fits = [limit](std::ptrdiff_t ld, std::size_t len) {
    return ld >= 1 && std::size_t(ld) >= len && std::size_t(ld) <= limit;
  };
  if (cols <= 1 || cs == 1) {
    const std::ptrdiff_t ld = rows <= 1 ? std::ptrdiff_t(std::max<std::size_t>(1, cols)) : rs;
    if (fits(ld, cols)) return Operand{p, CblasNoTrans, blasint(ld)};
  }
  if (rows <= 1 || rs == 1) {
    const std::ptrdiff_t ld = cols <= 1 ? std::ptrdiff_t(std::max<std::size_t>(1, rows)) : cs;
    if (fits(ld, rows)) return Operand{p, CblasTrans, blasint(ld)};
  }
  return std::nullopt;
}

class Scratch {
 public:
  float* get(std::size_t n) {
    if (n > cap_) {
      buf_.reset();
      buf_.reset(allocate_bytes(n * sizeof(float)));
      cap_ = n;
    }
    return static_cast<float*>(buf_.get());
  }

 private:
  std::unique_ptr<void, BufferFree> buf_;
  std::size_t cap_ = 0;
};

// Dense copy of a block, walking the source along its shorter stride so the reads
// stay close together; the copy is row-major or column-major accordingly.
Operand pack(const float* src, std::ptrdiff_t rs, std::ptrdiff_t cs, std::size_t rows, std::size_t cols, float* dst) {
  if (std::abs(rs) < std::abs(cs)) {
    for (std::size_t j = 0; j < cols; ++j) {
      const float* col = src + std::ptrdiff_t(j) * cs;
      for (std::size_t i = 0; i < rows; ++i) dst[j * rows + i] = col[std::ptrdiff_t(i) * rs];
    }
    return Operand{dst, CblasTrans, blasint(std::max<std::size_t>(1, rows))};
  }
  for (std::size_t i = 0; i < rows; ++i) {
    const float* row = src + std::ptrdiff_t(i) * rs;
    for (std::size_t j = 0; j < cols; ++j) dst[i * cols + j] = row[std::ptrdiff_t(j) * cs];
  }
  return Operand{dst, CblasNoTrans, blasint(std::max<std::size_t>(1, cols))};
}

// How far one step along an axis reaches; an axis of length 1 is never stepped along.
std::size_t reach(std::ptrdiff_t stride, std::size_t len) {
  if (len <= 1) return 0;
  return stride < 0 ? SIZE_MAX : std::size_t(stride);
}

// Tiles when something exceeds the 32-bit interface: large enough to keep the
// kernel at full speed, small enough that a packed tile stays at 64 MiB.
constexpr std::size_t kHugeTile = 4096;

}  // namespace

void gemm_blocked(std::size_t limit, std::size_t m, std::size_t n, std::size_t k,
                  const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
                  const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
                  float* c, std::ptrdiff_t c_rs) {
  if (m == 0 || n == 0) return;
  if (k == 0) {
    // The product is all zeros; fill rather than hand BLAS an empty inner dimension.
    for (std::size_t i = 0; i < m; ++i) std::fill_n(c + std::ptrdiff_t(i) * c_rs, n, 0.0f);
    return;
  }
  // The module loads the library at import and refuses to import without it;
  // a program that links the engine directly learns of a missing one here.
  std::string why;
  const BlasLibrary* blas = blas_library(&why);
  if (blas == nullptr) throw std::runtime_error(why);

  // Normally one call covers the whole product. Past the interface, every tile is at
  // most kHugeTile on each side; partial products over k accumulate with beta = 1.
  const bool whole = std::max({m, n, k}) <= limit &&
                     std::max({reach(a_rs, m), reach(a_cs, k), reach(b_rs, k), reach(b_cs, n), reach(c_rs, m)}) <= limit;
  const std::size_t tile = whole ? limit : std::min(limit, kHugeTile);

  Scratch a_buf, b_buf, c_buf;
  for (std::size_t i0 = 0; i0 < m; i0 += tile) {
    const std::size_t mb = std::min(tile, m - i0);
    for (std::size_t j0 = 0; j0 < n; j0 += tile) {
      const std::size_t nb = std::min(tile, n - j0);
      float* c_blk = c + std::ptrdiff_t(i0) * c_rs + std::ptrdiff_t(j0);
      const std::ptrdiff_t c_ld = mb <= 1 ? std::ptrdiff_t(nb) : c_rs;
      const bool c_direct = c_ld >= std::ptrdiff_t(nb) && std::size_t(c_ld) <= limit;
      float* out = c_direct ? c_blk : c_buf.get(mb * nb);
      const blasint ldc = c_direct ? blasint(c_ld) : blasint(nb);

      for (std::size_t p0 = 0; p0 < k; p0 += tile) {
        const std::size_t kb = std::min(tile, k - p0);
        const float* a_blk = a + std::ptrdiff_t(i0) * a_rs + std::ptrdiff_t(p0) * a_cs;
        const float* b_blk = b + std::ptrdiff_t(p0) * b_rs + std::ptrdiff_t(j0) * b_cs;
        auto oa = describe(a_blk, a_rs, a_cs, mb, kb, limit);
        if (!oa) oa = pack(a_blk, a_rs, a_cs, mb, kb, a_buf.get(mb * kb));
        auto ob = describe(b_blk, b_rs, b_cs, kb, nb, limit);
        if (!ob) ob = pack(b_blk, b_rs, b_cs, kb, nb, b_buf.get(kb * nb));
        // beta = 0 on the first slice: C is never read, so its prior content is irrelevant.
        blas->sgemm(CblasRowMajor, oa->trans, ob->trans, blasint(mb), blasint(nb), blasint(kb), 1.0f,
                          oa->data, oa->ld, ob->data, ob->ld, p0 == 0 ? 0.0f : 1.0f, out, ldc);
      }
      if (!c_direct) {
        for (std::size_t i = 0; i < mb; ++i)
          std::memcpy(c_blk + std::ptrdiff_t(i) * c_rs, out + i * nb, nb * sizeof(float));
      }
    }
  }
}

std::string prepare_blas() {
  std::string why;
  return blas_library(&why) ? std::string() : why;
}

void sgemm(std::size_t m, std::size_t n, std::size_t k,
           const float* a, std::ptrdiff_t a_rs, std::ptrdiff_t a_cs,
           const float* b, std::ptrdiff_t b_rs, std::ptrdiff_t b_cs,
           float* c, std::ptrdiff_t c_rs) {
  // The same bits as the library, sooner (Note [summing as the BLAS sums]).
  if (sgemm_avx512::takes(m, n, k, a_rs, a_cs, b_rs, b_cs, c_rs) && sgemm_avx512::chosen()) {
    sgemm_avx512::gemm(m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
    return;
  }
  gemm_blocked(std::size_t(INT_MAX), m, n, k, a, a_rs, a_cs, b, b_rs, b_cs, c, c_rs);
}

}  // namespace mirel
