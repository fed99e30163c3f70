#include "autograd/backward.hpp"

#include <algorithm>

#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace mirel {

Result<void> run_backward(StoragePtr seed, std::size_t root) {
  Tape& t = tape();
  // Nodes pass gradients only to lower ids, so no slot above the root is ever
  // filled: the pass costs what the root's history holds, however long the tape.
  AutogradContext ctx(t, std::min(root + 1, t.size()));
  ctx.set_grad(root, std::move(seed));
  for (std::size_t i = root + 1; i-- > 0;) {
    StoragePtr g = ctx.take(i);
    if (!g) continue;  // no gradient reached this node
    if (i >= t.size()) return panic("backward reached a node id past the end of the tape");
    if (auto r = t.node(i).backward(ctx, g); !r) return r;
    ctx.set_grad(i, std::move(g));  // the node keeps the gradient of its result
  }
  auto& grads = ctx.grads();
  // Note [accumulating leaves]
  // A parameter's leaf keeps one float32 gradient at its own shape, and the
  // gradients of every backward pass through it add up there (micro-batches)
  // until its holder hands out fresh leaves. Each contribution is widened
  // first, then summed to the leaf's shape in the written reduction order, as
  // it arrives (AutogradContext::accumulate), so a half gradient is never
  // rounded on the way. Every sum is made before any gradient is stored: a
  // failing pass stores nothing.
  for (std::size_t i = 0; i < grads.size(); ++i) {
    const Shape* shape = grads[i] ? t.node(i).accumulates_at() : nullptr;
    if (!shape) continue;
    auto g = widened_summed_to(grads[i], *shape);  // only the seed, when the root is such a leaf, is not yet
    if (!g) return std::unexpected(std::move(g.error()));
    grads[i] = std::move(*g);
    if (auto before = t.get_grad(i)) {
      auto sum = (*before)->cpu.add(grads[i]->cpu);
      if (!sum) return std::unexpected(std::move(sum.error()));
      grads[i] = make_storage(std::move(*sum));
    }
  }
  for (std::size_t i = 0; i < grads.size(); ++i) {
    if (grads[i]) t.set_grad(i, std::move(grads[i]));
  }
  return {};
}

}  // namespace mirel
