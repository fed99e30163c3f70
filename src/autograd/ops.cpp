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

Result<void> into(AutogradContext& ctx, std::size_t id, Result<CpuStorage> g) {
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

}  // namespace

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
  return into(ctx, input_id, CpuStorage::backward_relu(input->cpu, grad->cpu));
}

Result<void> ReshapeNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return into(ctx, input_id, grad->cpu.reshape(input_shape));
}

Result<void> TransposeNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return into(ctx, input_id, grad->cpu.transpose(dim0, dim1));
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
