#pragma once
// Backward nodes: what each differentiable operation leaves on the tape, and
// how it hands its result's gradient to its operands. The operators' rules
// never reduce a gradient to their operand's shape; the package's functions
// bring it to their result's shape (Note [gradients at the result's shape]).
//
// Note [constant operands]
// A constant operand (one that requires no gradient) of a recorded operation
// gets a fresh LeafNode that no tensor refers to: nobody can ever read its
// gradient. The node marks such an operand as not wanted, and its rule checks
// that gradient instead of computing it (Note [checked, not computed]): every
// error it would have raised is raised at the same step, the arithmetic and
// the buffer are skipped, and nothing is stored for the leaf. Accumulating into
// a fresh leaf's slot could not fail (it receives exactly one contribution),
// so leaving it out changes no error either.
#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace mirel {

// An operand of a two-operand node: its id, and whether its gradient is wanted
// (false for a constant's fresh leaf, Note [constant operands]).
struct OperandId {
  std::size_t id;
  bool wanted = true;
};

// Accumulates a rule's gradient into slot id, or passes its error on.
Result<void> accumulate_into(AutogradContext& ctx, std::size_t id, Result<CpuStorage> grad);
// The same for a rule of two operands; unwanted gradients come back empty and
// are not accumulated (Note [constant operands]).
Result<void> accumulate_pair(AutogradContext& ctx, OperandId lhs, OperandId rhs, Result<CpuStorage::GradPair> grads);

// Note [gradients at the result's shape]
// The operators hand a gradient on at the shape it was computed at, which is
// larger than their operand's wherever the operand was broadcast. The rules of
// the package's functions are written for a gradient of their own result's
// shape, so their nodes derive from ShapedNode: it brings what arrives back to
// that shape first, summing the broadcast axes in the written reduction order,
// and refuses a gradient that does not broadcast from it. No such rule ever
// reads a gradient whose shape it did not check.
class ShapedNode : public BackwardOp {
 public:
  void keep_result(const StoragePtr& result) final;
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const final;

 protected:
  // What a node keeps of its computed result besides its shape.
  virtual void keep(const StoragePtr&) {}
  // The rule, handed a gradient of exactly the result's shape.
  virtual Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const = 0;

 private:
  std::optional<Shape> shape_;  // set once the result is computed
};

struct LeafNode final : BackwardOp {
  Result<void> backward(AutogradContext&, const StoragePtr&) const override { return {}; }
};

// A parameter's leaf: its gradient is kept in float32 at the leaf's shape and
// adds up over backward passes (Note [accumulating leaves]).
struct AccumulatingLeafNode final : BackwardOp {
  Shape shape;
  explicit AccumulatingLeafNode(Shape s) : shape(std::move(s)) {}
  Result<void> backward(AutogradContext&, const StoragePtr&) const override { return {}; }
  const Shape* accumulates_at() const noexcept override { return &shape; }
};

struct AddNode final : BackwardOp {
  OperandId lhs_id, rhs_id;
  AddNode(OperandId l, OperandId r) : lhs_id(l), rhs_id(r) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

struct SubNode final : BackwardOp {
  OperandId lhs_id, rhs_id;
  SubNode(OperandId l, OperandId r) : lhs_id(l), rhs_id(r) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Nodes that keep both operands: multiplication, division and matmul.
struct BinaryNode : BackwardOp {
  StoragePtr lhs, rhs;
  OperandId lhs_id, rhs_id;
  BinaryNode(StoragePtr l, StoragePtr r, OperandId lid, OperandId rid)
      : lhs(std::move(l)), rhs(std::move(r)), lhs_id(lid), rhs_id(rid) {}

 protected:
  GradWanted wanted() const noexcept { return {lhs_id.wanted, rhs_id.wanted}; }
  Result<void> accumulate_pair(AutogradContext& ctx, Result<CpuStorage::GradPair> grads) const;
};

struct MulNode final : BinaryNode {
  using BinaryNode::BinaryNode;
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

struct DivNode final : BinaryNode {
  using BinaryNode::BinaryNode;
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

struct MatmulNode final : BinaryNode {
  using BinaryNode::BinaryNode;
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// A two-operand operation of numeric/table.hpp (maximum, minimum).
using PairRule = Result<CpuStorage::GradPair> (*)(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                                  GradWanted want);
template <PairRule Rule>
struct PairTableNode final : ShapedNode {
  StoragePtr lhs, rhs;
  OperandId lhs_id, rhs_id;
  PairTableNode(StoragePtr l, StoragePtr r, OperandId lid, OperandId rid)
      : lhs(std::move(l)), rhs(std::move(r)), lhs_id(lid), rhs_id(rid) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_pair(ctx, lhs_id, rhs_id, Rule(lhs->cpu, grad->cpu, rhs->cpu, {lhs_id.wanted, rhs_id.wanted}));
  }
};

// where(cond, a, b): the condition is kept; a and b are the operands.
struct WhereNode final : ShapedNode {
  StoragePtr cond;
  OperandId a_id, b_id;
  WhereNode(StoragePtr c, OperandId a, OperandId b) : cond(std::move(c)), a_id(a), b_id(b) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_pair(ctx, a_id, b_id, CpuStorage::backward_where(cond->cpu, grad->cpu, {a_id.wanted, b_id.wanted}));
  }
};

struct PowerNode final : ShapedNode {
  StoragePtr input;
  float exponent;
  std::size_t input_id;
  PowerNode(StoragePtr in, float p, std::size_t id) : input(std::move(in)), exponent(p), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_into(ctx, input_id, CpuStorage::backward_power(grad->cpu, input->cpu, exponent));
  }
};

struct ReluNode final : BackwardOp {
  StoragePtr input;
  std::size_t input_id;
  ReluNode(StoragePtr in, std::size_t id) : input(std::move(in)), input_id(id) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// A node of an operation of numeric/table.hpp. Its rule reads the operand,
// saved when the node is recorded, or the result, kept once it is computed.
template <Result<CpuStorage> (*Rule)(const CpuStorage& grad, const CpuStorage& saved), Saved S>
struct TableNode final : ShapedNode {
  StoragePtr saved;
  std::size_t input_id;
  TableNode(StoragePtr operand, std::size_t id)
      : saved(S == Saved::Operand ? std::move(operand) : nullptr), input_id(id) {}
  void keep(const StoragePtr& result) override {
    if constexpr (S == Saved::Result) saved = result;
  }
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_into(ctx, input_id, Rule(grad->cpu, saved->cpu));
  }
};

// gelu, recorded: keeps the slope its forward pass computed (f32) rather
// than the operand, and multiplies the gradient by it.
struct GeluNode final : ShapedNode {
  DType dtype;
  std::size_t input_id;
  std::optional<NdArray<float>> slope;  // handed over once computed
  GeluNode(DType t, std::size_t id) : dtype(t), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    if (!slope) return panic("gelu: no slope was kept for the gradient");  // its forward pass failed
    return accumulate_into(ctx, input_id, CpuStorage::backward_gelu_slope(grad->cpu, dtype, *slope));
  }
};

// A node of a reduction of numeric/table.hpp: its rule reads the operand and
// the result, kept once it is computed.
using ReduceRule = Result<CpuStorage> (*)(const CpuStorage& grad, const CpuStorage& input, const CpuStorage& result,
                                          const Axes& axes, bool keepdims);
template <ReduceRule Rule>
struct ReduceNode final : ShapedNode {
  StoragePtr input, result;
  Axes axes;
  bool keepdims;
  std::size_t input_id;
  ReduceNode(StoragePtr in, Axes a, bool keep, std::size_t id)
      : input(std::move(in)), axes(std::move(a)), keepdims(keep), input_id(id) {}
  void keep(const StoragePtr& r) override { result = r; }
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_into(ctx, input_id, Rule(grad->cpu, input->cpu, result->cpu, axes, keepdims));
  }
};

// Softmax and log-softmax along an axis: the rule reads the result.
struct SoftmaxNode final : ShapedNode {
  StoragePtr result;
  std::size_t axis;
  bool log;
  std::size_t input_id;
  SoftmaxNode(std::size_t a, bool l, std::size_t id) : axis(a), log(l), input_id(id) {}
  void keep(const StoragePtr& r) override { result = r; }
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Cross-entropy of logits against class indices; the rule reads the
// forward pass's exps and their sums, handed over once computed, and the
// logits' layout.
struct CrossEntropyNode final : ShapedNode {
  StoragePtr logits;
  NdArray<std::int64_t> labels;
  std::optional<SoftmaxRows> kept;
  Reduction reduction;
  std::size_t input_id;
  CrossEntropyNode(StoragePtr l, NdArray<std::int64_t> lab, Reduction r, std::size_t id)
      : logits(std::move(l)), labels(std::move(lab)), reduction(r), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// x @ weightᵀ (+ bias): weight's and bias's gradients arrive at their own
// shapes, summed over x's leading axes.
struct LinearNode final : ShapedNode {
  StoragePtr x, weight;
  OperandId x_id, weight_id;
  std::optional<OperandId> bias_id;
  LinearNode(StoragePtr xs, StoragePtr ws, OperandId xi, OperandId wi, std::optional<OperandId> bi)
      : x(std::move(xs)), weight(std::move(ws)), x_id(xi), weight_id(wi), bias_id(bi) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// A change of element type; the gradient goes back to the operand's type.
struct CastNode final : ShapedNode {
  DType input_dtype;
  std::size_t input_id;
  CastNode(DType d, std::size_t id) : input_dtype(d), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Axes permuted; the gradient is permuted back.
struct PermuteNode final : ShapedNode {
  Axes perm;
  std::size_t input_id;
  PermuteNode(Axes p, std::size_t id) : perm(std::move(p)), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// A reshape of any layout (through a row-major copy); so is its gradient.
struct ReshapeAnyNode final : ShapedNode {
  Shape input_shape;
  std::size_t input_id;
  ReshapeAnyNode(Shape s, std::size_t id) : input_shape(std::move(s)), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Parts joined along an axis; each gets its slab of the gradient.
struct ConcatenateNode final : ShapedNode {
  std::vector<OperandId> part_ids;
  std::vector<std::size_t> lengths;  // of each part along the axis
  std::size_t axis;
  ConcatenateNode(std::vector<OperandId> ids, std::vector<std::size_t> l, std::size_t a)
      : part_ids(std::move(ids)), lengths(std::move(l)), axis(a) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Entries taken along an axis; the gradient adds back into the rows taken.
struct TakeNode final : ShapedNode {
  Shape input_shape;
  std::size_t axis;
  NdArray<std::int64_t> indices;
  std::size_t input_id;
  TakeNode(Shape s, std::size_t a, NdArray<std::int64_t> i, std::size_t id)
      : input_shape(std::move(s)), axis(a), indices(std::move(i)), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// A node whose rule is one storage method taking the operand's shape:
// broadcast_to's gradient sums back to it, sum_to's broadcasts back to it.
template <Result<CpuStorage> (CpuStorage::*Rule)(const Shape&) const>
struct ToShapeNode final : ShapedNode {
  Shape input_shape;
  std::size_t input_id;
  ToShapeNode(Shape s, std::size_t id) : input_shape(std::move(s)), input_id(id) {}
  Result<void> backward_at(AutogradContext& ctx, const StoragePtr& grad) const override {
    return accumulate_into(ctx, input_id, (grad->cpu.*Rule)(input_shape));
  }
};
using BroadcastToNode = ToShapeNode<&CpuStorage::sum_to>;
using SumToNode = ToShapeNode<&CpuStorage::broadcast_to>;

struct ReshapeNode final : BackwardOp {
  Shape input_shape;
  std::size_t input_id;
  ReshapeNode(Shape s, std::size_t id) : input_shape(std::move(s)), input_id(id) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

struct TransposeNode final : BackwardOp {
  std::size_t input_id, dim0, dim1;
  TransposeNode(std::size_t id, std::size_t d0, std::size_t d1) : input_id(id), dim0(d0), dim1(d1) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

// Adding or subtracting a number passes the gradient through unchanged.
struct ScalarShiftNode : BackwardOp {
  std::size_t input_id;
  float scalar;
  ScalarShiftNode(std::size_t id, float x) : input_id(id), scalar(x) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};
struct ScalarAddNode final : ScalarShiftNode {
  using ScalarShiftNode::ScalarShiftNode;
};
struct ScalarSubNode final : ScalarShiftNode {
  using ScalarShiftNode::ScalarShiftNode;
};

struct ScalarMulNode final : BackwardOp {
  std::size_t input_id;
  float scalar;
  ScalarMulNode(std::size_t id, float x) : input_id(id), scalar(x) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

struct ScalarDivNode final : BackwardOp {
  std::size_t input_id;
  float scalar;  // the divisor
  ScalarDivNode(std::size_t id, float x) : input_id(id), scalar(x) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

}  // namespace mirel
