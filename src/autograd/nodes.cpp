#include "autograd/nodes.hpp"

#include "util/format.hpp"

namespace mirel {
namespace {

// Note [unit factor]
// A gradient scaled by 1.0 keeps its exact bits: gradients are ones, zeros or
// results of arithmetic, never signalling NaNs, and x * 1 == x for every other
// value of every element type (a half is widened exactly and rounded back to
// itself). Storages are immutable, so the slot takes the gradient itself and
// the copy is skipped; the product's element-type check still runs first.
Result<void> unit_into(AutogradContext& ctx, OperandId x, const StoragePtr& grad) {
  if (auto r = grad->cpu.scalar_mul_check(); !r) return r;
  if (!x.wanted) return {};  // Note [constant operands]
  return ctx.accumulate(x.id, grad);
}

Result<void> scaled_into(AutogradContext& ctx, OperandId x, const StoragePtr& grad, float factor) {
  if (!x.wanted) return grad->cpu.scalar_mul_check();  // Note [constant operands]
  auto g = grad->cpu.scalar_mul(factor);
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(x.id, std::move(*g));
}

}  // namespace

Result<void> accumulate_into(AutogradContext& ctx, std::size_t id, Result<CpuStorage> g) {
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

Result<void> AddNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (auto r = unit_into(ctx, lhs_id, grad); !r) return r;
  return unit_into(ctx, rhs_id, grad);
}

Result<void> SubNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (auto r = unit_into(ctx, lhs_id, grad); !r) return r;
  return scaled_into(ctx, rhs_id, grad, -1.0f);
}

Result<void> accumulate_pair(AutogradContext& ctx, OperandId lhs, OperandId rhs, Result<CpuStorage::GradPair> grads) {
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (grads->first) {
    if (auto r = ctx.accumulate(lhs.id, std::move(*grads->first)); !r) return r;
  }
  if (grads->second) return ctx.accumulate(rhs.id, std::move(*grads->second));
  return {};
}

Result<void> BinaryNode::accumulate_pair(AutogradContext& ctx, Result<CpuStorage::GradPair> grads) const {
  return mirel::accumulate_pair(ctx, lhs_id, rhs_id, std::move(grads));
}

void ShapedNode::keep_result(const StoragePtr& result) {
  shape_ = result->cpu.shape();
  keep(result);
}

Result<void> ShapedNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  // Only a computed result has a tensor from which a gradient can arrive.
  if (!shape_) return panic("a node received a gradient before its result was computed");
  auto at = summed_to(grad, *shape_);
  if (!at) return std::unexpected(std::move(at.error()));
  return backward_at(ctx, *at);
}

Result<void> MulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_mul(lhs->cpu, grad->cpu, rhs->cpu, wanted()));
}

Result<void> DivNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_div(lhs->cpu, grad->cpu, rhs->cpu, wanted()));
}

Result<void> MatmulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_matmul(lhs->cpu, grad->cpu, rhs->cpu, wanted()));
}

Result<void> ReluNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, CpuStorage::backward_relu(input->cpu, grad->cpu));
}

Result<void> ReshapeNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, grad->cpu.reshape(input_shape));
}

Result<void> SoftmaxNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, CpuStorage::backward_softmax(grad->cpu, result->cpu, axis, log));
}

Result<void> CrossEntropyNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id,
                         CpuStorage::backward_cross_entropy(grad->cpu, logits->cpu, labels, *kept, reduction));
}

Result<void> LinearNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  auto pair = CpuStorage::backward_linear(x->cpu, grad->cpu, weight->cpu, {x_id.wanted, weight_id.wanted});
  if (auto r = accumulate_pair(ctx, x_id, weight_id, std::move(pair)); !r) return r;
  if (!bias_id || !bias_id->wanted) return {};
  return accumulate_into(ctx, bias_id->id, grad->cpu.sum_to(Shape{weight->cpu.shape()[0]}));
}

Result<void> CastNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  if (grad->cpu.dtype() == input_dtype) return ctx.accumulate(input_id, grad);
  return ctx.accumulate(input_id, grad->cpu.astype(input_dtype));
}

Result<void> PermuteNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  Axes inverse(perm.size(), 0);
  for (std::size_t i = 0; i < perm.size(); ++i) inverse[perm[i]] = i;
  return accumulate_into(ctx, input_id, grad->cpu.permute(inverse));
}

Result<void> ReshapeAnyNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  const CpuStorage& g = grad->cpu;
  if (is_row_major(g.shape(), g.strides())) return accumulate_into(ctx, input_id, g.reshape(input_shape));
  return accumulate_into(ctx, input_id, g.row_major().reshape(input_shape));
}

Result<void> ConcatenateNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  std::size_t start = 0;
  for (std::size_t i = 0; i < part_ids.size(); ++i) {
    if (part_ids[i].wanted) {
      if (auto r = accumulate_into(ctx, part_ids[i].id, grad->cpu.slice(axis, start, lengths[i])); !r) return r;
    }
    start += lengths[i];
  }
  return {};
}

Result<void> TakeNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, CpuStorage::backward_take(grad->cpu, input_shape, axis, indices));
}

Result<void> TransposeNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, grad->cpu.transpose(dim0, dim1));
}

Result<void> ScalarShiftNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return unit_into(ctx, OperandId{input_id}, grad);
}

Result<void> ScalarMulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return scaled_into(ctx, OperandId{input_id}, grad, scalar);
}

Result<void> ScalarDivNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return scaled_into(ctx, OperandId{input_id}, grad, 1.0f / scalar);
}

}  // namespace mirel
