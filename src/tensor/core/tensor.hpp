#pragma once
// Tensor: the value every operation takes and returns. Tracked tensors
// (requires_grad) carry the id of their node on the recording thread's tape and
// the epoch of that tape; every differentiable operation records its node first
// and computes second.
#include <cstdint>
#include <optional>

#include "engine/cpu/storage/storage.hpp"

namespace mirel {

struct Tensor {
  std::optional<std::size_t> node_id;
  StoragePtr storage;
  bool requires_grad = false;
  std::uint64_t epoch = 0;  // tape epoch the node id belongs to (tracked tensors only)

  const CpuStorage& cpu() const noexcept { return storage->cpu; }

  // A leaf: pushes a LeafNode when requires_grad, after everything that can fail.
  static Result<Tensor> from_storage(CpuStorage storage, bool requires_grad);

  static Result<Tensor> add(const Tensor& a, const Tensor& b);
  static Result<Tensor> sub(const Tensor& a, const Tensor& b);
  static Result<Tensor> mul(const Tensor& a, const Tensor& b);
  static Result<Tensor> div(const Tensor& a, const Tensor& b);
  static Result<Tensor> matmul(const Tensor& a, const Tensor& b);

  static Result<Tensor> scalar_add(const Tensor& a, float x);
  static Result<Tensor> scalar_sub(const Tensor& a, float x);
  static Result<Tensor> scalar_mul(const Tensor& a, float x);
  static Result<Tensor> scalar_div(const Tensor& a, float x);
  // x / a: a tensor filled with x (a's shape and type) divided by a, so a's gradient is -x/a².
  static Result<Tensor> scalar_rdiv(const Tensor& a, float x);

  static Result<Tensor> eq(const Tensor& a, const Tensor& b);
  static Result<Tensor> ne(const Tensor& a, const Tensor& b);
  static Result<Tensor> ge(const Tensor& a, const Tensor& b);
  static Result<Tensor> gt(const Tensor& a, const Tensor& b);
  static Result<Tensor> le(const Tensor& a, const Tensor& b);
  static Result<Tensor> lt(const Tensor& a, const Tensor& b);
  static Result<Tensor> scalar_eq(const Tensor& a, float x);
  static Result<Tensor> scalar_ne(const Tensor& a, float x);
  static Result<Tensor> scalar_ge(const Tensor& a, float x);
  static Result<Tensor> scalar_gt(const Tensor& a, float x);
  static Result<Tensor> scalar_le(const Tensor& a, float x);
  static Result<Tensor> scalar_lt(const Tensor& a, float x);

  static Result<Tensor> logical_and(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_or(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_xor(const Tensor& a, const Tensor& b);
  static Result<Tensor> logical_not(const Tensor& a);

  static Result<Tensor> reshape(const Tensor& a, const Shape& shape);
  static Result<Tensor> transpose(const Tensor& a, std::size_t dim0, std::size_t dim1);
  static Result<Tensor> relu(const Tensor& a);
  static Tensor zeros_like(const Tensor& a);
  static Tensor ones_like(const Tensor& a);

  // Backward pass from this tensor, seeded with ones of its shape.
  static Result<void> backward(const Tensor& t);
  // Gradient stored for this tensor on the calling thread's tape, if any.
  static std::optional<StoragePtr> grad(const Tensor& t);
  static void clear_graph();
};

}  // namespace mirel
