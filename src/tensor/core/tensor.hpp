#pragma once
// Tensor: the value every operation takes and returns. Tracked tensors
// (requires_grad) carry the id of their node on the recording thread's tape and
// the epoch of that tape; every differentiable operation records its node first
// and computes second.
#include <cstdint>
#include <optional>
#include <vector>

#include "engine/cpu/storage/layers.hpp"
#include "engine/cpu/storage/storage.hpp"

namespace mirel {

// Note [two faces]
// Core tensors are mirel_core's; package tensors are the mirel package's
// (its class mirel.Tensor). An operation's result is a package tensor when any
// tensor operand is one, and every node recorded for a package tensor takes
// its gradients at its result's own shape (Note [gradients as they arrive]).
enum class Face : std::uint8_t { Core, Package };

struct Tensor {
  std::optional<std::size_t> node_id;
  StoragePtr storage;
  bool requires_grad = false;
  std::uint64_t epoch = 0;  // tape epoch the node id belongs to (tracked tensors only)
  Face face = Face::Core;

  const CpuStorage& cpu() const noexcept { return storage->cpu; }

  // A leaf: pushes a LeafNode when requires_grad, after everything that can fail.
  static Result<Tensor> from_storage(CpuStorage storage, bool requires_grad, Face face = Face::Core);

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
#define MIREL_DECLARE_UNARY(name, Fn, Rule, saved) static Result<Tensor> name(const Tensor& a);
  MIREL_UNARY_OPS(MIREL_DECLARE_UNARY)
#undef MIREL_DECLARE_UNARY
#define MIREL_DECLARE_REDUCE(name) static Result<Tensor> name(const Tensor& a, const Axes& axes, bool keepdims);
  MIREL_REDUCE_OPS(MIREL_DECLARE_REDUCE)
#undef MIREL_DECLARE_REDUCE
  // Never tracked: indices have no gradient.
  static Result<NdArray<std::int64_t>> argmax(const Tensor& a, const Axes& axes, bool keepdims);
  static Result<Tensor> broadcast_to(const Tensor& a, const Shape& shape);
#define MIREL_DECLARE_BINARY(name, Fn, RuleA, RuleB) static Result<Tensor> name(const Tensor& a, const Tensor& b);
  MIREL_BINARY_OPS(MIREL_DECLARE_BINARY)
#undef MIREL_DECLARE_BINARY
  static Result<Tensor> where(const Tensor& cond, const Tensor& a, const Tensor& b);
  static Result<Tensor> power(const Tensor& a, float p);
  // Any layout, like NumPy's reshape (a row-major copy first when needed).
  static Result<Tensor> reshape_any(const Tensor& a, const Shape& shape);
  static Result<Tensor> permute(const Tensor& a, const Axes& perm);
  static Result<Tensor> concatenate(const std::vector<const Tensor*>& parts, std::size_t axis);
  // indices: each in [0, a.shape[axis]).
  static Result<Tensor> take(const Tensor& a, std::size_t axis, NdArray<std::int64_t> indices);
  static Result<Tensor> softmax(const Tensor& a, std::size_t axis, bool log);
  // labels: class indices for the rows of logits [N, C], each in [0, C).
  static Result<Tensor> cross_entropy(const Tensor& logits, NdArray<std::int64_t> labels, Reduction reduction);
  // x @ weightᵀ + bias, weight [out, in], bias [out] when given.
  static Result<Tensor> linear(const Tensor& x, const Tensor& weight, const Tensor* bias);
  static Result<Tensor> sum_to(const Tensor& a, const Shape& shape);
  // Normalisation over the trailing axes `normalized` of x (weight and bias
  // optional, of that shape): layer_norm, or rms_norm when rms.
  static Result<Tensor> layer_norm(const Tensor& x, const Tensor* weight, const Tensor* bias, const Shape& normalized,
                                   float eps, bool rms);
  // Each element kept (times 1 / (1 - p)) or zeroed by its word of the stream.
  static Result<Tensor> dropout(const Tensor& x, const PhiloxStream& stream, double p);
  // Scaled dot-product attention; the mask (Bool or q's type) gets no gradient.
  static Result<Tensor> attention(const Tensor& q, const Tensor& k, const Tensor& v, const Tensor* mask,
                                  const AttentionParams& params);
  // Self-attention over qkv [..., T, 3E] (query, key and value side by side), [..., T, E] out.
  static Result<Tensor> attention_packed(const Tensor& qkv, std::size_t heads, const Tensor* mask,
                                         const AttentionParams& params);
  // The values in another element type, rounded once; the gradient comes back
  // in a's type. To or from Bool (x != 0; 0 or 1) the result is never tracked.
  static Result<Tensor> astype(const Tensor& a, DType dtype);
  // The same value on the other face (no copy; a tracked tensor keeps its node).
  static Tensor with_face(const Tensor& a, Face face);
  // Untracked, over the same immutable storage: no copy.
  static Tensor detach(const Tensor& a);
  // A parameter's tracked leaf over an existing storage, without a copy: a
  // fresh node on the calling thread's tape whose gradients of several
  // backward passes add up in float32 (Note [accumulating leaves]).
  static Tensor leaf(StoragePtr storage);
  static Tensor zeros_like(const Tensor& a);
  static Tensor ones_like(const Tensor& a);

  // Backward pass from this tensor, seeded with ones of its shape.
  static Result<void> backward(const Tensor& t);
  // Gradient stored for this tensor on the calling thread's tape, if any.
  static std::optional<StoragePtr> grad(const Tensor& t);
  static void clear_graph();
};

}  // namespace mirel
