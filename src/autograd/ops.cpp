#include "autograd/ops.hpp"

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

// Unwanted gradients come back empty and are not accumulated (Note [constant operands]).
Result<void> BinaryNode::accumulate_pair(AutogradContext& ctx, Result<CpuStorage::GradPair> grads) const {
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (grads->first) {
    if (auto r = ctx.accumulate(lhs_id.id, std::move(*grads->first)); !r) return r;
  }
  if (grads->second) return ctx.accumulate(rhs_id.id, std::move(*grads->second));
  return {};
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

Result<void> SoftmaxNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (!result) return panic("a softmax node received a gradient before its result was computed");
  return accumulate_into(ctx, input_id, CpuStorage::backward_softmax(grad->cpu, result->cpu, axis, log));
}

Result<void> CrossEntropyNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id,
                         CpuStorage::backward_cross_entropy(grad->cpu, logits->cpu, labels, *kept, reduction));
}

Result<void> LinearNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  auto pair = CpuStorage::backward_linear(x->cpu, grad->cpu, weight->cpu, {x_id.wanted, weight_id.wanted});
  if (!pair) return std::unexpected(std::move(pair.error()));
  if (pair->first) {
    if (auto r = ctx.accumulate(x_id.id, std::move(*pair->first)); !r) return r;
  }
  if (pair->second) {
    if (auto r = ctx.accumulate(weight_id.id, std::move(*pair->second)); !r) return r;
  }
  if (!bias_id || !bias_id->wanted) return {};
  return accumulate_into(ctx, bias_id->id, grad->cpu.sum_to(Shape{weight->cpu.shape()[0]}));
}

Result<void> PermuteNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  Axes inverse(perm.size(), 0);
  for (std::size_t i = 0; i < perm.size(); ++i) inverse[perm[i]] = i;
  return accumulate_into(ctx, input_id, grad->cpu.permute(inverse));
}

Result<void> ReshapeAnyNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  const CpuStorage& g = grad->cpu;
  if (is_row_major(g.shape(), g.strides())) return accumulate_into(ctx, input_id, g.reshape(input_shape));
  return accumulate_into(ctx, input_id, g.row_major().reshape(input_shape));
}

Result<void> ConcatenateNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  std::size_t start = 0;
  for (std::size_t i = 0; i < part_ids.size(); ++i) {
    if (part_ids[i].wanted) {
      if (auto r = accumulate_into(ctx, part_ids[i].id, grad->cpu.slice(axis, start, lengths[i])); !r) return r;
    }
    start += lengths[i];
  }
  return {};
}

Result<void> TakeNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, CpuStorage::backward_take(grad->cpu, input_shape, axis, indices));
}

Result<void> BroadcastToNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, grad->cpu.sum_to(input_shape));
}

Result<void> SumToNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, grad->cpu.broadcast_to(input_shape));
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
