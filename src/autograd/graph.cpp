#include "autograd/graph.hpp"

#include <atomic>
#include <utility>

#include "autograd/nodes.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

std::atomic<std::uint64_t> next_epoch{1};
std::atomic<bool> growth_noticed{false};
thread_local constinit bool growth_notice = false;

}  // namespace

const char* const kTapeGrowthMessage =
    "this thread's computation graph holds over 10000 recorded operations and every tensor they saved: a "
    "training loop must call Tensor.clear_graph() once per step, or memory grows without bound";

bool take_tape_growth_notice() noexcept { return std::exchange(growth_notice, false); }

Tape::Tape() : epoch_(next_epoch.fetch_add(1, std::memory_order_relaxed)) {}

std::size_t Tape::push_node(std::unique_ptr<BackwardOp> node) {
  const std::size_t id = nodes_.size();
  nodes_.push_back(std::move(node));
  try {
    if (grads_.size() <= id) grads_.resize(id + 1);  // both lists grow geometrically, together
  } catch (...) {
    nodes_.pop_back();
    throw;
  }
  grads_[id].reset();  // a new node starts without a gradient
  if (id == kTapeGrowthNodes) [[unlikely]] {
    growth_notice = !growth_noticed.exchange(true, std::memory_order_relaxed);  // Note [tape growth]
  }
  return id;
}

void Tape::set_grad(std::size_t id, StoragePtr grad) {
  if (id >= grads_.size()) grads_.resize(id + 1);
  grads_[id] = std::move(grad);
}

std::optional<StoragePtr> Tape::get_grad(std::size_t id) const {
  if (id < grads_.size() && grads_[id]) return grads_[id];
  return std::nullopt;
}

void Tape::clear() {
  nodes_.clear();  // nodes first, then gradients; capacity is kept
  grads_.clear();
  epoch_ = next_epoch.fetch_add(1, std::memory_order_relaxed);
}

namespace {
thread_local constinit bool grad_mode_on = true;
}  // namespace

bool grad_enabled() noexcept { return grad_mode_on; }
void set_grad_enabled(bool on) noexcept { grad_mode_on = on; }

Tape& tape() {
  thread_local Tape t;
  return t;
}

Error stale_tensor_error(const char* what) {
  return Error{ExcKind::Runtime,
               concat(what,
                      ": the tensor was recorded on a computation graph that has since been cleared with "
                      "clear_graph(), or that belongs to another thread. Make a new tensor from its data, "
                      "e.g. Tensor(t.to_numpy(), requires_grad=True).")};
}

}  // namespace mirel
