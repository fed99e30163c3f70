#pragma once
// Gradient store of one backward pass, indexed by node id.
#include <vector>

#include "engine/cpu/storage/storage.hpp"
#include "util/error.hpp"

namespace mirel {

class Tape;

// grad summed to shape over the axes broadcasting added (the written reduction
// order); RuntimeError naming both shapes when shape does not broadcast to it.
Result<StoragePtr> summed_to(StoragePtr grad, const Shape& shape);
// The same in float32: a half gradient is widened first and never rounded.
Result<StoragePtr> widened_summed_to(StoragePtr grad, const Shape& shape);

class AutogradContext {
 public:
  AutogradContext(const Tape& tape, std::size_t n) : tape_(tape), grads_(n) {}

  // Adds a contribution into slot id (stored on the left of the sum), first
  // summed to the node's arrival shape when it has one (Note [gradients as
  // they arrive]). On failure the slot keeps its previous gradient.
  Result<void> accumulate(std::size_t id, CpuStorage grad);
  // The same for a gradient that may be shared: an empty slot takes the handle.
  Result<void> accumulate(std::size_t id, StoragePtr grad);
  void set_grad(std::size_t id, StoragePtr grad);
  // Takes the gradient out of slot id (empty when there is none).
  StoragePtr take(std::size_t id) noexcept;

  std::vector<StoragePtr>& grads() noexcept { return grads_; }

 private:
  const Tape& tape_;
  std::vector<StoragePtr> grads_;
};

}  // namespace mirel
