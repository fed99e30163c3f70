#pragma once
// Backward nodes of the layers' functions: normalisation, dropout and
// attention (engine/cpu/storage/layers.hpp). Each takes its gradient at its
// result's shape (Note [gradients at the result's shape]).
#include "autograd/nodes.hpp"
#include "engine/cpu/storage/layers.hpp"

namespace mirel {

// layer_norm and rms_norm: the rule reads x, the weight and the forward
// pass's per-row statistics, handed over once computed.
struct NormNode final : ShapedNode {
  StoragePtr x, weight;
  OperandId x_id;
  std::optional<OperandId> weight_id, bias_id;
  Shape normalized;
  bool rms;
  std::optional<NormStats> stats;
  NormNode(StoragePtr xs, StoragePtr ws, OperandId xi, std::optional<OperandId> wi, std::optional<OperandId> bi,
           Shape shape, bool r)
      : x(std::move(xs)), weight(std::move(ws)), x_id(xi), weight_id(wi), bias_id(bi), normalized(std::move(shape)),
        rms(r) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Dropout draws its mask again from the stream (Note [counter-based random numbers]).
struct DropoutNode final : ShapedNode {
  PhiloxStream stream;
  double p;
  std::size_t input_id;
  DropoutNode(PhiloxStream s, double prob, std::size_t id) : stream(s), p(prob), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Attention keeps its operands, its result and each row's log-sum-exp; the
// mask is a constant (no gradient).
struct AttentionNode final : ShapedNode {
  StoragePtr q, k, v, mask, result;
  OperandId q_id, k_id, v_id;
  AttentionParams params;
  std::optional<NdArray<float>> lse;
  AttentionNode(StoragePtr qs, StoragePtr ks, StoragePtr vs, StoragePtr m, OperandId qi, OperandId ki, OperandId vi,
                AttentionParams p)
      : q(std::move(qs)), k(std::move(ks)), v(std::move(vs)), mask(std::move(m)), q_id(qi), k_id(ki), v_id(vi),
        params(p) {}
  void keep(const StoragePtr& r) override { result = r; }
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Self-attention over one packed projection (attention_packed): its operand,
// result and log-sum-exps; the mask is a constant.
struct PackedAttentionNode final : ShapedNode {
  StoragePtr qkv, mask, result;
  OperandId qkv_id;
  std::size_t heads;
  AttentionParams params;
  std::optional<NdArray<float>> lse;
  PackedAttentionNode(StoragePtr x, StoragePtr m, OperandId xi, std::size_t h, AttentionParams p)
      : qkv(std::move(x)), mask(std::move(m)), qkv_id(xi), heads(h), params(p) {}
  void keep(const StoragePtr& r) override { result = r; }
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

}  // namespace mirel
