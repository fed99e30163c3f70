#pragma once
// The tape: one per thread, created on first use, destroyed at thread exit.
// Node ids are indices into nodes_; grads_ holds the gradient of each id once
// a backward pass has stored one.
// Note [tape epochs]: every tape takes a fresh number from a process-wide
// counter when it is created and again at each clear(). A tracked tensor keeps
// the epoch its id was issued in, so an id from before a clear or from another
// thread's tape is recognised instead of naming an unrelated node.
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "engine/cpu/storage/storage.hpp"
#include "util/error.hpp"

namespace mirel {

class AutogradContext;

// nodes own no PyObject*: the tape dies at thread exit
class BackwardOp {
 public:
  virtual ~BackwardOp() = default;
  virtual Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const = 0;
  // Handed the operation's result once it has been computed (nodes are pushed
  // before it exists); a node whose rule reads the result keeps it.
  virtual void keep_result(const StoragePtr&) {}
  // The shape of a leaf whose gradients add up over backward passes (Note
  // [accumulating leaves] in backward.cpp); null for every other node.
  virtual const Shape* accumulates_at() const noexcept { return nullptr; }

  // Note [gradients as they arrive]
  // A node recorded for a package tensor (Face::Package) takes every gradient
  // that arrives for its result at the result's own shape: each contribution
  // is summed over the axes broadcasting added before it is added to the
  // others, so no contribution is counted once per broadcast copy and a leaf's
  // gradient has its leaf's shape, as PyTorch gives it. Nodes of mirel_core's
  // tensors have no arrival shape and keep the operators' broadcast shapes.
  void arrive_at(Shape shape) { arrival_shape_ = std::move(shape); }
  const std::optional<Shape>& arrival_shape() const noexcept { return arrival_shape_; }

 private:
  std::optional<Shape> arrival_shape_;
};

class Tape {
 public:
  Tape();
  Tape(const Tape&) = delete;
  Tape& operator=(const Tape&) = delete;

  std::size_t push_node(std::unique_ptr<BackwardOp> node);
  void keep_result(std::size_t id, const StoragePtr& result) { nodes_[id]->keep_result(result); }
  void set_grad(std::size_t id, StoragePtr grad);
  std::optional<StoragePtr> get_grad(std::size_t id) const;
  void clear();

  std::size_t size() const noexcept { return nodes_.size(); }
  const BackwardOp& node(std::size_t id) const noexcept { return *nodes_[id]; }
  BackwardOp& node_mut(std::size_t id) noexcept { return *nodes_[id]; }
  std::uint64_t epoch() const noexcept { return epoch_; }

 private:
  std::vector<std::unique_ptr<BackwardOp>> nodes_;
  std::vector<StoragePtr> grads_;  // null: no gradient stored
  std::uint64_t epoch_;
};

// The calling thread's tape.
Tape& tape();

// Note [grad mode]: a per-thread switch, on by default. While it is off no
// operation records a node, whatever its operands require, and every result
// is untracked; leaves made with requires_grad still get their node.
bool grad_enabled() noexcept;
void set_grad_enabled(bool on) noexcept;

// Note [tape growth]
// A training loop that never calls clear_graph() keeps every step's nodes and
// the storages they hold. The first time any thread's tape passes
// kTapeGrowthNodes nodes since its last clear, that thread gets a notice,
// once per process; the next tensor handed to Python carries it as a
// ResourceWarning.
inline constexpr std::size_t kTapeGrowthNodes = 10'000;
// True once, on the thread whose tape passed the size.
bool take_tape_growth_notice() noexcept;
extern const char* const kTapeGrowthMessage;

// The error for a tensor whose id belongs to another tape epoch.
Error stale_tensor_error(const char* what);

}  // namespace mirel
