#include "autograd/ops.hpp"

namespace mirel {
namespace {

// Multiplying by a factor (1.0 makes a copy in the gradient's own type) and accumulating.
Result<void> scaled_into(AutogradContext& ctx, std::size_t id, const StoragePtr& grad, float factor) {
  auto g = grad->cpu.scalar_mul(factor);
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

Result<void> scaled_into(AutogradContext& ctx, OperandId x, const StoragePtr& grad, float factor) {
  if (!x.wanted) return grad->cpu.scalar_mul_check();  // Note [constant operands]
  return scaled_into(ctx, x.id, grad, factor);
}

Result<void> into(AutogradContext& ctx, std::size_t id, Result<CpuStorage> g) {
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (!lhs_id.wanted || !rhs_id.wanted) {
    if (auto r = scaled_into(ctx, lhs_id, grad, 1.0f); !r) return r;
    return scaled_into(ctx, rhs_id, grad, 1.0f);
  }
  // Both operands receive grad * 1.0, the same bits: storages are immutable, so one
  // copy serves both slots.
  auto g = grad->cpu.scalar_mul(1.0f);
  if (!g) return std::unexpected(std::move(g.error()));
  const StoragePtr copy = make_storage(std::move(*g));
  if (auto r = ctx.accumulate(lhs_id.id, copy); !r) return r;
  return ctx.accumulate(rhs_id.id, copy);
}

Result<void> SubNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (auto r = scaled_into(ctx, lhs_id, grad, 1.0f); !r) return r;
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
  return scaled_into(ctx, input_id, grad, 1.0f);
}

Result<void> ScalarMulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return scaled_into(ctx, input_id, grad, scalar);
}

Result<void> ScalarDivNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return scaled_into(ctx, input_id, grad, 1.0f / scalar);
}

}  // namespace mirel
