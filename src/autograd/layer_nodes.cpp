#include "autograd/layer_nodes.hpp"

namespace mirel {
namespace {

// Adds each gradient that came back into its operand's slot.
Result<void> accumulate_some(AutogradContext& ctx, std::initializer_list<std::pair<std::optional<OperandId>, std::optional<CpuStorage>*>> grads) {
  for (auto& [id, g] : grads) {
    if (id && g->has_value()) {
      if (auto r = ctx.accumulate(id->id, std::move(**g)); !r) return r;
    }
  }
  return {};
}

bool wanted(const std::optional<OperandId>& id) { return id && id->wanted; }

}  // namespace

Result<void> NormNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  auto g = backward_layer_norm(grad->cpu, x->cpu, weight ? &weight->cpu : nullptr, normalized, rms, *stats,
                               x_id.wanted, wanted(weight_id), wanted(bias_id));
  if (!g) return std::unexpected(std::move(g.error()));
  return accumulate_some(ctx, {{x_id, &g->x}, {weight_id, &g->weight}, {bias_id, &g->bias}});
}

Result<void> DropoutNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, input_id, dropout(grad->cpu, stream, p));
}

Result<void> AttentionNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  auto g = backward_attention(grad->cpu, result->cpu, q->cpu, k->cpu, v->cpu, mask ? &mask->cpu : nullptr, params,
                              *lse, q_id.wanted, k_id.wanted, v_id.wanted);
  if (!g) return std::unexpected(std::move(g.error()));
  return accumulate_some(ctx, {{q_id, &g->q}, {k_id, &g->k}, {v_id, &g->v}});
}

Result<void> PackedAttentionNode::backward_at(AutogradContext& ctx, const StoragePtr& grad) const {
  return accumulate_into(ctx, qkv_id.id, backward_attention_packed(grad->cpu, result->cpu, qkv->cpu, heads,
                                                                    mask ? &mask->cpu : nullptr, params, *lse));
}

}  // namespace mirel
