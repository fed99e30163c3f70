#include "autograd/context.hpp"

namespace mirel {

Result<void> AutogradContext::accumulate(std::size_t id, CpuStorage grad) {
  return accumulate(id, make_storage(std::move(grad)));
}

Result<void> AutogradContext::accumulate(std::size_t id, StoragePtr grad) {
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
