#include "engine/cpu/numeric/ops/matmul.hpp"

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/gemm/bf16_gemm.hpp"
#include "engine/cpu/gemm/sgemm.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

Shape with_matrix(const Shape& batch, std::size_t rows, std::size_t cols) {
  Shape s = batch;
  s.push_back(rows);
  s.push_back(cols);
  return s;
}

std::ptrdiff_t off(std::size_t i, std::ptrdiff_t stride) noexcept { return std::ptrdiff_t(i) * stride; }

// How each product of a batch is cut for the pool's threads: into `pieces`
// bands of `size` rows (by_rows) or columns of C. A product is cut only when
// the batch alone does not give every thread a few products; then into one
// band a thread, since every band packs the whole of the other operand, each
// band keeping kMinFlops of multiply-adds and whole tiles of every kernel.
struct Split {
  std::size_t pieces = 1, size = 0;
  bool by_rows = true;
};
constexpr std::size_t kMinFlops = std::size_t(1) << 19;
constexpr std::size_t kRowAlign = 12;  // the tiles' rows: 4, 6 and 12
constexpr std::size_t kColumnAlign = 32;  // their columns: up to 32

Split split_of(std::size_t m, std::size_t n, std::size_t k, std::size_t count) {
  const std::size_t threads = exec::num_threads();
  Split s;
  s.by_rows = m >= n;
  s.size = s.by_rows ? m : n;
  if (threads == 1 || count >= 4 * threads) return s;
  std::size_t flops_per_line;
  if (__builtin_mul_overflow(s.by_rows ? n : m, std::max<std::size_t>(k, 1), &flops_per_line)) flops_per_line = SIZE_MAX;
  const std::size_t lines = s.size, align = s.by_rows ? kRowAlign : kColumnAlign;
  std::size_t want = std::min(threads, lines / align);
  want = std::min(want, lines / std::max<std::size_t>(1, kMinFlops / flops_per_line));
  if (want <= 1) return s;
  s.size = (lines + want - 1) / want;
  s.size = (s.size + align - 1) / align * align;
  s.pieces = (lines + s.size - 1) / s.size;
  return s;
}

// Fills `out` (row-major, non-empty) with one product per 2-D block, each by
// gemm (sgemm's contract, sgemm.hpp). `a`, `b` and `out` share the batch shape;
// broadcast batch axes of `a` and `b` have stride 0.
template <class T, class Gemm>
void batched_product(const View<T>& a, const View<T>& b, NdArray<float>& out, Gemm gemm) {
  const Shape& shape = out.shape();
  const Strides& c_st = out.strides();
  const std::size_t rank = shape.size();
  const std::size_t m = shape[rank - 2], n = shape[rank - 1], k = a.shape[rank - 1];

  // Trailing batch axes along which B does not change continue A's rows, as in
  // [b, t, d] @ [d, e]: they fold into m, and the whole stack is one product.
  std::size_t rows = m;
  std::ptrdiff_t a_rs = a.strides[rank - 2], c_rs = c_st[rank - 2];
  std::size_t batch_rank = rank - 2;
  for (; batch_rank > 0; --batch_rank) {
    const std::size_t d = batch_rank - 1;
    if (shape[d] == 1) continue;
    if (b.strides[d] != 0) break;
    if (rows == 1) {
      a_rs = a.strides[d];
      c_rs = c_st[d];
    } else {
      std::ptrdiff_t a_next, c_next;
      if (__builtin_mul_overflow(a_rs, std::ptrdiff_t(rows), &a_next) || a_next != a.strides[d]) break;
      if (__builtin_mul_overflow(c_rs, std::ptrdiff_t(rows), &c_next) || c_next != c_st[d]) break;
    }
    rows *= shape[d];
  }

  // Every remaining batch position is one product.
  Plan<3> batches{Shape(shape.begin(), shape.begin() + std::ptrdiff_t(batch_rank)),
                  {Strides(a.strides.begin(), a.strides.begin() + std::ptrdiff_t(batch_rank)),
                   Strides(b.strides.begin(), b.strides.begin() + std::ptrdiff_t(batch_rank)),
                   Strides(c_st.begin(), c_st.begin() + std::ptrdiff_t(batch_rank))}};
  coalesce(batches);
  std::vector<Offsets<3>> at;
  walk(batches, [&](std::size_t count, const Offsets<3>& off, const Offsets<3>& step) {
    for (std::size_t t = 0; t < count; ++t) {
      const auto i = std::ptrdiff_t(t);
      at.push_back({off[0] + i * step[0], off[1] + i * step[1], off[2] + i * step[2]});
    }
  });
  const std::ptrdiff_t a_cs = a.strides[rank - 1], b_rs = b.strides[rank - 2], b_cs = b.strides[rank - 1];
  const Split split = split_of(rows, n, k, at.size());
  // Note [same bits at any thread count]: each element of C keeps its order
  // of k whichever piece of C computes it.
  std::size_t unit_flops;  // saturating: only a cost
  if (__builtin_mul_overflow(split.size * (split.by_rows ? n : rows), std::max<std::size_t>(k, 1), &unit_flops)) {
    unit_flops = SIZE_MAX;
  }
  const std::size_t units = at.size() * split.pieces;
  const std::size_t grains = unit_flops / kMinFlops > SIZE_MAX / units ? SIZE_MAX : units * (unit_flops / kMinFlops);
  exec::parallel_for(units, std::max<std::size_t>(1, kMinFlops / unit_flops), [&](std::size_t begin, std::size_t end) {
    for (std::size_t u = begin; u < end; ++u) {
      const Offsets<3>& o = at[u / split.pieces];
      const std::size_t part = u % split.pieces;
      const std::size_t lo = part * split.size, len = std::min(split.size, (split.by_rows ? rows : n) - lo);
      if (split.by_rows) {
        gemm(len, n, k, a.data + o[0] + off(lo, a_rs), a_rs, a_cs, b.data + o[1], b_rs, b_cs,
             out.data() + o[2] + off(lo, c_rs), c_rs);
      } else {
        gemm(rows, len, k, a.data + o[0], a_rs, a_cs, b.data + o[1] + off(lo, b_cs), b_rs, b_cs,
             out.data() + o[2] + off(lo, 1), c_rs);
      }
    }
  }, grains);
}

// The one f32 product of every element type (sgemm.hpp).
constexpr auto kSgemm = [](auto... args) { sgemm(args...); };

// Operands presented at the common batch shape, and the shape of their product.
template <class T>
struct Prepared {
  View<T> a, b;
  Shape out;
};

// Every check of the product, in the order its messages are defined.
template <class T>
Expected<Prepared<T>> prepare(const View<T>& a, const View<T>& b) {
  const std::size_t ra = a.shape.size(), rb = b.shape.size();
  if (ra < 2 || rb < 2) {
    return std::unexpected(concat("Matmul requires at least 2D tensors. A: ", ra, "D, B: ", rb, "D"));
  }
  const std::size_t m = a.shape[ra - 2], k = a.shape[ra - 1];
  const std::size_t k2 = b.shape[rb - 2], n = b.shape[rb - 1];
  if (k != k2) return std::unexpected(concat("Matrix inner dimensions mismatch for matmul: ", k, " vs ", k2));

  auto batch = broadcast_shapes(Shape(a.shape.begin(), a.shape.end() - 2), Shape(b.shape.begin(), b.shape.end() - 2));
  if (!batch) return std::unexpected(std::move(batch.error()));
  const Shape a_target = with_matrix(*batch, m, k);
  const Shape b_target = with_matrix(*batch, k, n);

  auto va = broadcast_view(a.data, a.shape, a.strides, a_target);
  if (!va) return std::unexpected(concat("Broadcast failed for A to ", shape_str(a_target)));
  auto vb = broadcast_view(b.data, b.shape, b.strides, b_target);
  if (!vb) return std::unexpected(concat("Broadcast failed for B to ", shape_str(b_target)));
  return Prepared<T>{std::move(*va), std::move(*vb), with_matrix(*batch, m, n)};
}

}  // namespace

Expected<NdArray<float>> internal_linalg_matmul(const View<float>& a, const View<float>& b) {
  auto p = prepare(a, b);
  if (!p) return std::unexpected(std::move(p.error()));
  // Both operands fit, yet [m, 1] @ [1, n] can describe more elements than memory
  // can address: the allocation below refuses that as a MemoryError.
  NdArray<float> out = NdArray<float>::uninit(std::move(p->out));
  if (out.size() != 0) batched_product(p->a, p->b, out, kSgemm);
  return out;
}

template <class T>
Expected<void> matmul_check(const View<T>& a, const View<T>& b) {
  auto p = prepare(a, b);
  if (!p) return std::unexpected(std::move(p.error()));
  NdArray<float>::checked_size(p->out);  // every type's product is formed in f32 first
  return {};
}

template Expected<void> matmul_check(const View<float>&, const View<float>&);
template Expected<void> matmul_check(const View<F16>&, const View<F16>&);
template Expected<void> matmul_check(const View<BF16>&, const View<BF16>&);

Expected<NdArray<float>> internal_linalg_matmul(const NdArray<float>& a, const NdArray<float>& b) {
  return internal_linalg_matmul(view_of(a), view_of(b));
}

namespace {

// bf16 operands on the CPU's bf16 units, when they give widened binary32
// arithmetic's result (Note [bf16 products on the units]); nothing otherwise.
std::optional<Expected<NdArray<float>>> on_bf16_units(const View<BF16>& a, const View<BF16>& b) {
  const bf16_gemm::Unit unit = bf16_gemm::unit();
  if (unit == bf16_gemm::Unit::None) return std::nullopt;
  auto p = prepare(a, b);
  if (!p) return std::unexpected(std::move(p.error()));
  if (!bf16_gemm::exact_on_units(a, b, a.shape.back())) return std::nullopt;
  NdArray<float> product = NdArray<float>::uninit(std::move(p->out));
  if (product.size() != 0) {
    batched_product(p->a, p->b, product, [unit](auto... args) { bf16_gemm::gemm(unit, args...); });
  }
  return product;
}

}  // namespace

template <class T>
Expected<NdArray<float>> MatmulOps<T>::widened_product(const View<T>& a, const View<T>& b) {
  if constexpr (std::is_same_v<T, BF16>) {
    if (auto r = on_bf16_units(a, b)) return std::move(*r);
  }
  auto p = prepare(a, b);
  if (!p) return std::unexpected(std::move(p.error()));
  NdArray<float> product = NdArray<float>::uninit(std::move(p->out));
  if (product.size() != 0) batched_product(p->a, p->b, product, kSgemm);
  return product;
}

template <class T>
Expected<NdArray<T>> MatmulOps<T>::do_matmul(const View<T>& a, const View<T>& b) {
  auto product = widened_product(a, b);
  if (!product) return std::unexpected(std::move(product.error()));
  NdArray<T> out = NdArray<T>::uninit(product->shape());
  exec::parallel_for(out.size(), kElementGrain, [&](std::size_t begin, std::size_t end) {
    narrow_n(product->data() + begin, out.data() + begin, end - begin);
  });
  return out;
}

template struct MatmulOps<F16>;
template struct MatmulOps<BF16>;

}  // namespace mirel
