#include "autograd/ops.hpp"

namespace mirel {
namespace {

// Multiplying by a factor (1.0 makes a copy in the gradient's own type) and accumulating.
Result<void> scaled_into(AutogradContext& ctx, std::size_t id, const StoragePtr& grad, float factor) {
  auto g = grad->cpu.scalar_mul(factor);
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

Result<void> into(AutogradContext& ctx, std::size_t id, Result<CpuStorage> g) {
  if (!g) return std::unexpected(std::move(g.error()));
  return ctx.accumulate(id, std::move(*g));
}

}  // namespace

Result<void> AddNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (auto r = scaled_into(ctx, lhs_id, grad, 1.0f); !r) return r;
  return scaled_into(ctx, rhs_id, grad, 1.0f);
}

Result<void> SubNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  if (auto r = scaled_into(ctx, lhs_id, grad, 1.0f); !r) return r;
  return scaled_into(ctx, rhs_id, grad, -1.0f);
}

Result<void> BinaryNode::accumulate_pair(AutogradContext& ctx, Result<CpuStorage::GradPair> grads) const {
  if (!grads) return std::unexpected(std::move(grads.error()));
  if (auto r = ctx.accumulate(lhs_id, std::move(grads->first)); !r) return r;
  return ctx.accumulate(rhs_id, std::move(grads->second));
}

Result<void> MulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_mul(lhs->cpu, grad->cpu, rhs->cpu));
}

Result<void> DivNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_div(lhs->cpu, grad->cpu, rhs->cpu));
}

Result<void> MatmulNode::backward(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_pair(ctx, CpuStorage::backward_matmul(lhs->cpu, grad->cpu, rhs->cpu));
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
