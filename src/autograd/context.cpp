#include "autograd/context.hpp"

#include "autograd/graph.hpp"
#include "util/format.hpp"

namespace mirel {

Result<StoragePtr> summed_to(StoragePtr grad, const Shape& shape) {
  const Shape& got = grad->cpu.shape();
  if (got == shape) return grad;
  auto summed = grad->cpu.sum_to(shape);
  if (!summed) {
    return fail(ExcKind::Runtime, concat("backward(): a gradient of shape ", shape_str(got), " reached a result of shape ",
                                         shape_str(shape), ", which does not broadcast to it"));
  }
  return make_storage(std::move(*summed));
}

Result<void> AutogradContext::accumulate(std::size_t id, CpuStorage grad) {
  return accumulate(id, make_storage(std::move(grad)));
}

Result<StoragePtr> widened_summed_to(StoragePtr grad, const Shape& shape) {
  if (grad->cpu.dtype() == DType::F32) return summed_to(std::move(grad), shape);
  auto summed = grad->cpu.widened_sum_to(shape);
  if (!summed) return summed_to(std::move(grad), shape);  // the shapes do not fit: its error
  return make_storage(std::move(*summed));
}

Result<void> AutogradContext::accumulate(std::size_t id, StoragePtr grad) {
  const BackwardOp& node = tape_.node(id);
  if (const Shape* leaf = node.accumulates_at()) {  // Note [accumulating leaves]: float32 from the start
    auto at = widened_summed_to(std::move(grad), *leaf);
    if (!at) return std::unexpected(std::move(at.error()));
    grad = std::move(*at);
  } else if (const auto& shape = node.arrival_shape()) {
    auto at = summed_to(std::move(grad), *shape);
    if (!at) return std::unexpected(std::move(at.error()));
    grad = std::move(*at);
  }
  if (id >= grads_.size()) grads_.resize(id + 1);
  StoragePtr& slot = grads_[id];
  if (!slot) {
    slot = std::move(grad);
    return {};
  }
  auto sum = slot->cpu.add(grad->cpu);
  if (!sum) return std::unexpected(std::move(sum.error()));
  slot = make_storage(std::move(*sum));
  return {};
}

void AutogradContext::set_grad(std::size_t id, StoragePtr grad) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  grads_[id] = std::move(grad);
}

StoragePtr AutogradContext::take(std::size_t id) noexcept {
  if (id >= grads_.size()) return nullptr;
  return std::move(grads_[id]);
}

}  // namespace mirel
