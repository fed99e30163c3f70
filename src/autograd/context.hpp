#pragma once
// Gradient store of one backward pass, indexed by node id.
#include <vector>

#include "engine/cpu/storage/storage.hpp"
#include "util/error.hpp"

namespace mirel {

class AutogradContext {
 public:
  explicit AutogradContext(std::size_t n) : grads_(n) {}

  // Adds a contribution into slot id (stored on the left of the sum). On
  // failure the slot keeps its previous gradient.
  Result<void> accumulate(std::size_t id, CpuStorage grad);
  // The same for a gradient that may be shared: an empty slot takes the handle.
  Result<void> accumulate(std::size_t id, StoragePtr grad);
  void set_grad(std::size_t id, StoragePtr grad);
  // Takes the gradient out of slot id (empty when there is none).
  StoragePtr take(std::size_t id) noexcept;

  std::vector<StoragePtr>& grads() noexcept { return grads_; }

 private:
  std::vector<StoragePtr> grads_;
};

}  // namespace mirel
