// Tensor operations. Each differentiable one records first (when any operand
// requires a gradient) and computes second; a node pushed before a failing
// storage operation stays on the tape.
#include "tensor/core/tensor.hpp"

#include <utility>

#include "autograd/backward.hpp"
#include "autograd/layer_nodes.hpp"
#include "autograd/nodes.hpp"

namespace mirel {
namespace {

struct Recorded {
  std::optional<std::size_t> id;
  std::uint64_t epoch = 0;
};

// Id of an operand on the tape: its own node, or a fresh LeafNode for a constant,
// whose gradient nobody can read (Note [constant operands]).
OperandId operand_id(Tape& t, const Tensor& x) {
  if (x.node_id) return {*x.node_id, true};
  return {t.push_node(std::make_unique<LeafNode>()), false};
}

template <class... Ts>
Face face_of(const Ts&... operands) {
  return ((operands.face == Face::Package) || ...) ? Face::Package : Face::Core;
}

// A node recorded for a package tensor takes its gradients at the result's
// shape (Note [gradients as they arrive]).
void keep(Tape& t, std::size_t id, const StoragePtr& result, Face face) {
  t.keep_result(id, result);
  if (face == Face::Package) t.node_mut(id).arrive_at(result->cpu.shape());
}

// make(ids...) builds the node from the operand ids, taken left to right.
template <class Make, class... Ts>
Result<Recorded> record(Make make, const Ts&... operands) {
  if (!(operands.requires_grad || ...) || !grad_enabled()) return Recorded{};  // Note [grad mode]
  Tape& t = tape();
  for (const Tensor* x : {&operands...}) {
    if (x->node_id && x->epoch != t.epoch()) return std::unexpected(stale_tensor_error("cannot record an operation"));
  }
  const OperandId ids[] = {operand_id(t, operands)...};  // braced: left operand first
  const std::size_t id = [&]<std::size_t... I>(std::index_sequence<I...>) {
    return t.push_node(make(ids[I]...));
  }(std::index_sequence_for<Ts...>{});
  return Recorded{id, t.epoch()};
}

// Records (when a gradient is wanted), then computes: the order is part of the
// behaviour, so a node stays on the tape even when the computation fails.
template <class Make, class Compute, class... Ts>
Result<Tensor> recorded(Make make, Compute compute, const Ts&... operands) {
  auto rec = record(make, operands...);
  if (!rec) return std::unexpected(std::move(rec.error()));
  Result<CpuStorage> r = compute();
  if (!r) return std::unexpected(std::move(r.error()));
  StoragePtr result = make_storage(std::move(*r));
  const Face face = face_of(operands...);
  if (rec->id) keep(tape(), *rec->id, result, face);
  return Tensor{rec->id, std::move(result), rec->id.has_value(), rec->epoch, face};
}

// recorded() for a list of operands, some of which may be absent (null):
// make gets one id per operand, nothing for an absent one. `others` are
// tensors that take no part in the graph but give the result their face.
template <class Make, class Compute>
Result<Tensor> recorded_parts(Make make, Compute compute, const std::vector<const Tensor*>& parts,
                              std::initializer_list<const Tensor*> others = {}) {
  bool tracked = false;
  Face face = Face::Core;
  for (const Tensor* p : parts) {
    if (!p) continue;
    tracked = tracked || p->requires_grad;
    face = p->face == Face::Package ? Face::Package : face;
  }
  for (const Tensor* p : others) face = p && p->face == Face::Package ? Face::Package : face;
  std::optional<std::size_t> id;
  std::uint64_t epoch = 0;
  if (tracked && grad_enabled()) {  // Note [grad mode]
    Tape& t = tape();
    for (const Tensor* p : parts) {
      if (p && p->node_id && p->epoch != t.epoch()) {
        return std::unexpected(stale_tensor_error("cannot record an operation"));
      }
    }
    std::vector<std::optional<OperandId>> ids;
    for (const Tensor* p : parts) ids.push_back(p ? std::optional(operand_id(t, *p)) : std::nullopt);
    id = t.push_node(make(ids));
    epoch = t.epoch();
  }
  Result<CpuStorage> r = compute();
  if (!r) return std::unexpected(std::move(r.error()));
  StoragePtr result = make_storage(std::move(*r));
  if (id) keep(tape(), *id, result, face);
  return Tensor{id, std::move(result), id.has_value(), epoch, face};
}

Result<Tensor> untracked(Result<CpuStorage> r, Face face) {
  if (!r) return std::unexpected(std::move(r.error()));
  return Tensor{std::nullopt, make_storage(std::move(*r)), false, 0, face};
}

template <class Node>
auto ids_node() {
  return [](OperandId l, OperandId r) { return std::make_unique<Node>(l, r); };
}
template <class Node>
auto operands_node(const Tensor& a, const Tensor& b) {
  return [&](OperandId l, OperandId r) { return std::make_unique<Node>(a.storage, b.storage, l, r); };
}
template <class Node>
auto scalar_node(float x) {
  return [x](OperandId in) { return std::make_unique<Node>(in.id, x); };
}

}  // namespace

Result<Tensor> Tensor::from_storage(CpuStorage storage, bool requires_grad, Face face) {
  auto s = make_storage(std::move(storage));
  if (!requires_grad) return Tensor{std::nullopt, std::move(s), false, 0, face};
  Tape& t = tape();
  const std::size_t id = t.push_node(std::make_unique<LeafNode>());
  if (face == Face::Package) t.node_mut(id).arrive_at(s->cpu.shape());
  return Tensor{id, std::move(s), true, t.epoch(), face};
}

Result<Tensor> Tensor::add(const Tensor& a, const Tensor& b) {
  return recorded(ids_node<AddNode>(), [&] { return a.cpu().add(b.cpu()); }, a, b);
}
Result<Tensor> Tensor::sub(const Tensor& a, const Tensor& b) {
  return recorded(ids_node<SubNode>(), [&] { return a.cpu().sub(b.cpu()); }, a, b);
}
Result<Tensor> Tensor::mul(const Tensor& a, const Tensor& b) {
  return recorded(operands_node<MulNode>(a, b), [&] { return a.cpu().mul(b.cpu()); }, a, b);
}
Result<Tensor> Tensor::div(const Tensor& a, const Tensor& b) {
  return recorded(operands_node<DivNode>(a, b), [&] { return a.cpu().div(b.cpu()); }, a, b);
}
Result<Tensor> Tensor::matmul(const Tensor& a, const Tensor& b) {
  return recorded(operands_node<MatmulNode>(a, b), [&] { return a.cpu().matmul(b.cpu()); }, a, b);
}

Result<Tensor> Tensor::scalar_add(const Tensor& a, float x) {
  return recorded(scalar_node<ScalarAddNode>(x), [&] { return a.cpu().scalar_add(x); }, a);
}
Result<Tensor> Tensor::scalar_sub(const Tensor& a, float x) {
  return recorded(scalar_node<ScalarSubNode>(x), [&] { return a.cpu().scalar_sub(x); }, a);
}
Result<Tensor> Tensor::scalar_mul(const Tensor& a, float x) {
  return recorded(scalar_node<ScalarMulNode>(x), [&] { return a.cpu().scalar_mul(x); }, a);
}
Result<Tensor> Tensor::scalar_div(const Tensor& a, float x) {
  const float r = 1.0f / x;
  return recorded(scalar_node<ScalarDivNode>(x), [&] { return a.cpu().scalar_mul(r); }, a);
}

Result<Tensor> Tensor::scalar_rdiv(const Tensor& a, float x) {
  // x / a as a tensor division, so a's gradient is -x/a²: the filled tensor is a
  // constant operand. A Bool a has no numeric fill and fails in div like any Bool arithmetic.
  CpuStorage filled = a.cpu().ones_like();
  if (auto scaled = filled.scalar_mul(x)) filled = std::move(*scaled);
  const Tensor numerator{std::nullopt, make_storage(std::move(filled)), false, 0};
  return div(numerator, a);
}

Result<Tensor> Tensor::eq(const Tensor& a, const Tensor& b) { return untracked(a.cpu().eq(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::ne(const Tensor& a, const Tensor& b) { return untracked(a.cpu().ne(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::ge(const Tensor& a, const Tensor& b) { return untracked(a.cpu().ge(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::gt(const Tensor& a, const Tensor& b) { return untracked(a.cpu().gt(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::le(const Tensor& a, const Tensor& b) { return untracked(a.cpu().le(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::lt(const Tensor& a, const Tensor& b) { return untracked(a.cpu().lt(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::scalar_eq(const Tensor& a, float x) { return untracked(a.cpu().scalar_eq(x), a.face); }
Result<Tensor> Tensor::scalar_ne(const Tensor& a, float x) { return untracked(a.cpu().scalar_ne(x), a.face); }
Result<Tensor> Tensor::scalar_ge(const Tensor& a, float x) { return untracked(a.cpu().scalar_ge(x), a.face); }
Result<Tensor> Tensor::scalar_gt(const Tensor& a, float x) { return untracked(a.cpu().scalar_gt(x), a.face); }
Result<Tensor> Tensor::scalar_le(const Tensor& a, float x) { return untracked(a.cpu().scalar_le(x), a.face); }
Result<Tensor> Tensor::scalar_lt(const Tensor& a, float x) { return untracked(a.cpu().scalar_lt(x), a.face); }

Result<Tensor> Tensor::logical_and(const Tensor& a, const Tensor& b) { return untracked(a.cpu().logical_and(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::logical_or(const Tensor& a, const Tensor& b) { return untracked(a.cpu().logical_or(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::logical_xor(const Tensor& a, const Tensor& b) { return untracked(a.cpu().logical_xor(b.cpu()), face_of(a, b)); }
Result<Tensor> Tensor::logical_not(const Tensor& a) { return untracked(a.cpu().logical_not(), a.face); }

Result<Tensor> Tensor::reshape(const Tensor& a, const Shape& shape) {
  auto make = [&](OperandId in) { return std::make_unique<ReshapeNode>(a.cpu().shape(), in.id); };
  return recorded(make, [&] { return a.cpu().reshape(shape); }, a);
}

Result<Tensor> Tensor::transpose(const Tensor& a, std::size_t dim0, std::size_t dim1) {
  auto make = [&](OperandId in) { return std::make_unique<TransposeNode>(in.id, dim0, dim1); };
  return recorded(make, [&] { return a.cpu().transpose(dim0, dim1); }, a);
}

namespace {

// gelu: a recorded one computes its slope beside its result and keeps that
// (GeluNode); an unrecorded one only the result.
Result<Tensor> gelu_keeping_slope(const Tensor& a) {
  GeluNode* node = nullptr;
  auto make = [&](OperandId in) {
    auto n = std::make_unique<GeluNode>(a.cpu().dtype(), in.id);
    node = n.get();
    return n;
  };
  return recorded(make, [&]() -> Result<CpuStorage> {
    if (!node) return a.cpu().gelu();
    auto r = a.cpu().gelu_keeping_slope();
    if (!r) return std::unexpected(std::move(r.error()));
    node->slope = std::move(r->slope);
    return std::move(r->y);
  }, a);
}

}  // namespace

Result<Tensor> Tensor::relu(const Tensor& a) {
  auto make = [&](OperandId in) { return std::make_unique<ReluNode>(a.storage, in.id); };
  return recorded(make, [&] { return a.cpu().relu(); }, a);
}

#define MIREL_DEFINE_UNARY(name, Fn, Rule, saved)                                     \
  Result<Tensor> Tensor::name(const Tensor& a) {                                      \
    if constexpr (std::is_same_v<Rule, GeluGrad>) return gelu_keeping_slope(a);      \
    auto make = [&](OperandId in) {                                                   \
      return std::make_unique<TableNode<&CpuStorage::backward_##name, saved>>(a.storage, in.id); \
    };                                                                                \
    return recorded(make, [&] { return a.cpu().name(); }, a);                         \
  }
MIREL_UNARY_OPS(MIREL_DEFINE_UNARY)
#undef MIREL_DEFINE_UNARY

#define MIREL_DEFINE_REDUCE(name)                                                                    \
  Result<Tensor> Tensor::name(const Tensor& a, const Axes& axes, bool keepdims) {                    \
    auto make = [&](OperandId in) {                                                                  \
      return std::make_unique<ReduceNode<&CpuStorage::backward_##name>>(a.storage, axes, keepdims, in.id); \
    };                                                                                               \
    return recorded(make, [&] { return a.cpu().name(axes, keepdims); }, a);                          \
  }
MIREL_REDUCE_OPS(MIREL_DEFINE_REDUCE)
#undef MIREL_DEFINE_REDUCE

Result<NdArray<std::int64_t>> Tensor::argmax(const Tensor& a, const Axes& axes, bool keepdims) {
  return a.cpu().argmax(axes, keepdims);
}

Result<Tensor> Tensor::broadcast_to(const Tensor& a, const Shape& shape) {
  auto make = [&](OperandId in) { return std::make_unique<BroadcastToNode>(a.cpu().shape(), in.id); };
  return recorded(make, [&] { return a.cpu().broadcast_to(shape); }, a);
}

Result<Tensor> Tensor::sum_to(const Tensor& a, const Shape& shape) {
  auto make = [&](OperandId in) { return std::make_unique<SumToNode>(a.cpu().shape(), in.id); };
  return recorded(make, [&] { return a.cpu().sum_to(shape); }, a);
}

#define MIREL_DEFINE_BINARY(name, Fn, RuleA, RuleB)                                                \
  Result<Tensor> Tensor::name(const Tensor& a, const Tensor& b) {                                   \
    return recorded(operands_node<PairTableNode<&CpuStorage::backward_##name>>(a, b),              \
                    [&] { return a.cpu().name(b.cpu()); }, a, b);                                  \
  }
MIREL_BINARY_OPS(MIREL_DEFINE_BINARY)
#undef MIREL_DEFINE_BINARY

Result<Tensor> Tensor::where(const Tensor& cond, const Tensor& a, const Tensor& b) {
  auto make = [&](OperandId l, OperandId r) { return std::make_unique<WhereNode>(cond.storage, l, r); };
  return recorded(make, [&] { return CpuStorage::where(cond.cpu(), a.cpu(), b.cpu()); }, a, b);
}

Result<Tensor> Tensor::power(const Tensor& a, float p) {
  auto make = [&](OperandId in) { return std::make_unique<PowerNode>(a.storage, p, in.id); };
  return recorded(make, [&] { return a.cpu().power(p); }, a);
}

Result<Tensor> Tensor::reshape_any(const Tensor& a, const Shape& shape) {
  auto make = [&](OperandId in) { return std::make_unique<ReshapeAnyNode>(a.cpu().shape(), in.id); };
  return recorded(make, [&]() -> Result<CpuStorage> {
    if (is_row_major(a.cpu().shape(), a.cpu().strides())) return a.cpu().reshape(shape);
    return a.cpu().row_major().reshape(shape);
  }, a);
}

Result<Tensor> Tensor::permute(const Tensor& a, const Axes& perm) {
  auto make = [&](OperandId in) { return std::make_unique<PermuteNode>(perm, in.id); };
  return recorded(make, [&] { return a.cpu().permute(perm); }, a);
}

Result<Tensor> Tensor::concatenate(const std::vector<const Tensor*>& parts, std::size_t axis) {
  std::vector<const CpuStorage*> storages;
  std::vector<std::size_t> lengths;
  for (const Tensor* p : parts) {
    storages.push_back(&p->cpu());
    lengths.push_back(p->cpu().shape()[axis]);
  }
  auto make = [&](const std::vector<std::optional<OperandId>>& ids) {
    std::vector<OperandId> all;
    for (const auto& id : ids) all.push_back(*id);
    return std::make_unique<ConcatenateNode>(std::move(all), std::move(lengths), axis);
  };
  return recorded_parts(make, [&] { return CpuStorage::concatenate(storages, axis); }, parts);
}

Result<Tensor> Tensor::take(const Tensor& a, std::size_t axis, NdArray<std::int64_t> indices) {
  auto make = [&](OperandId in) {
    return std::make_unique<TakeNode>(a.cpu().shape(), axis, NdArray<std::int64_t>(indices), in.id);
  };
  return recorded(make, [&] { return a.cpu().take(axis, indices); }, a);
}

Result<Tensor> Tensor::softmax(const Tensor& a, std::size_t axis, bool log) {
  auto make = [&](OperandId in) { return std::make_unique<SoftmaxNode>(axis, log, in.id); };
  return recorded(make, [&] { return a.cpu().softmax(axis, log); }, a);
}

Result<Tensor> Tensor::cross_entropy(const Tensor& logits, NdArray<std::int64_t> labels, Reduction reduction) {
  CrossEntropyNode* node = nullptr;  // handed what the gradient reads once computed
  auto make = [&](OperandId in) {
    auto n = std::make_unique<CrossEntropyNode>(logits.storage, NdArray<std::int64_t>(labels), reduction, in.id);
    node = n.get();
    return n;
  };
  return recorded(make, [&]() -> Result<CpuStorage> {
    auto r = logits.cpu().cross_entropy(labels, reduction, node != nullptr);
    if (!r) return std::unexpected(std::move(r.error()));
    if (node) node->kept = std::move(r->kept);
    return std::move(r->loss);
  }, logits);
}

Result<Tensor> Tensor::linear(const Tensor& x, const Tensor& weight, const Tensor* bias) {
  auto compute = [&] { return x.cpu().linear(weight.cpu(), bias ? &bias->cpu() : nullptr); };
  if (!bias) {
    auto make = [&](OperandId xi, OperandId wi) {
      return std::make_unique<LinearNode>(x.storage, weight.storage, xi, wi, std::nullopt);
    };
    return recorded(make, compute, x, weight);
  }
  auto make = [&](OperandId xi, OperandId wi, OperandId bi) {
    return std::make_unique<LinearNode>(x.storage, weight.storage, xi, wi, bi);
  };
  return recorded(make, compute, x, weight, *bias);
}

Result<Tensor> Tensor::layer_norm(const Tensor& x, const Tensor* weight, const Tensor* bias, const Shape& normalized,
                                  float eps, bool rms) {
  NormNode* node = nullptr;  // handed the statistics once computed
  auto make = [&](const std::vector<std::optional<OperandId>>& ids) {
    auto n = std::make_unique<NormNode>(x.storage, weight ? weight->storage : nullptr, *ids[0], ids[1], ids[2],
                                        normalized, rms);
    node = n.get();
    return n;
  };
  const std::size_t n = *checked_numel(normalized);  // a shape of x's trailing axes
  return recorded_parts(make, [&]() -> Result<CpuStorage> {
    auto r = mirel::layer_norm(x.cpu(), weight ? &weight->cpu() : nullptr, bias ? &bias->cpu() : nullptr, n, eps, rms,
                               node != nullptr);
    if (!r) return std::unexpected(std::move(r.error()));
    if (node) node->stats = std::move(r->stats);
    return std::move(r->y);
  }, {&x, weight, bias});
}

Result<Tensor> Tensor::dropout(const Tensor& x, const PhiloxStream& stream, double p) {
  auto make = [&](OperandId in) { return std::make_unique<DropoutNode>(stream, p, in.id); };
  return recorded(make, [&] { return mirel::dropout(x.cpu(), stream, p); }, x);
}

Result<Tensor> Tensor::attention(const Tensor& q, const Tensor& k, const Tensor& v, const Tensor* mask,
                                 const AttentionParams& params) {
  AttentionNode* node = nullptr;  // handed the log-sum-exps once computed
  auto make = [&](const std::vector<std::optional<OperandId>>& ids) {
    auto n = std::make_unique<AttentionNode>(q.storage, k.storage, v.storage, mask ? mask->storage : nullptr, *ids[0],
                                             *ids[1], *ids[2], params);
    node = n.get();
    return n;
  };
  return recorded_parts(make, [&]() -> Result<CpuStorage> {
    auto r = mirel::attention(q.cpu(), k.cpu(), v.cpu(), mask ? &mask->cpu() : nullptr, params, node != nullptr);
    if (!r) return std::unexpected(std::move(r.error()));
    if (node) node->lse = std::move(r->lse);
    return std::move(r->y);
  }, {&q, &k, &v}, {mask});
}

Result<Tensor> Tensor::attention_packed(const Tensor& qkv, std::size_t heads, const Tensor* mask,
                                        const AttentionParams& params) {
  PackedAttentionNode* node = nullptr;  // handed the log-sum-exps once computed
  auto make = [&](const std::vector<std::optional<OperandId>>& ids) {
    auto n = std::make_unique<PackedAttentionNode>(qkv.storage, mask ? mask->storage : nullptr, *ids[0], heads,
                                                   params);
    node = n.get();
    return n;
  };
  return recorded_parts(make, [&]() -> Result<CpuStorage> {
    auto r = mirel::attention_packed(qkv.cpu(), heads, mask ? &mask->cpu() : nullptr, params, node != nullptr);
    if (!r) return std::unexpected(std::move(r.error()));
    if (node) node->lse = std::move(r->lse);
    return std::move(r->y);
  }, {&qkv}, {mask});
}

Result<Tensor> Tensor::astype(const Tensor& a, DType dtype) {
  // No gradient flows through Bool values, either way.
  if (dtype == DType::Bool || a.cpu().dtype() == DType::Bool) return untracked(a.cpu().astype(dtype), a.face);
  auto make = [&](OperandId in) { return std::make_unique<CastNode>(a.cpu().dtype(), in.id); };
  return recorded(make, [&]() -> Result<CpuStorage> { return a.cpu().astype(dtype); }, a);
}

Tensor Tensor::detach(const Tensor& a) { return Tensor{std::nullopt, a.storage, false, 0, a.face}; }

Tensor Tensor::with_face(const Tensor& a, Face face) {
  Tensor out = a;
  out.face = face;
  return out;
}

Tensor Tensor::leaf(StoragePtr storage) {
  Tape& t = tape();
  const std::size_t id = t.push_node(std::make_unique<AccumulatingLeafNode>(storage->cpu.shape()));
  return Tensor{id, std::move(storage), true, t.epoch(), Face::Package};
}

Tensor Tensor::zeros_like(const Tensor& a) {
  return Tensor{std::nullopt, make_storage(a.cpu().zeros_like()), false, 0, a.face};
}
Tensor Tensor::ones_like(const Tensor& a) {
  return Tensor{std::nullopt, make_storage(a.cpu().ones_like()), false, 0, a.face};
}

Result<void> Tensor::backward(const Tensor& t) {
  if (!t.requires_grad) return fail(ExcKind::Value, "backward() called on tensor that does not require grad");
  if (!t.node_id) return fail(ExcKind::Value, "backward() called on a constant tensor with no node_id");
  if (t.epoch != tape().epoch()) return std::unexpected(stale_tensor_error("backward() cannot run"));
  return run_backward(make_storage(t.cpu().ones_like()), *t.node_id);
}

std::optional<StoragePtr> Tensor::grad(const Tensor& t) {
  if (!t.node_id) return std::nullopt;
  const Tape& tp = tape();
  if (t.epoch != tp.epoch()) return std::nullopt;
  return tp.get_grad(*t.node_id);
}

void Tensor::clear_graph() { tape().clear(); }

}  // namespace mirel
