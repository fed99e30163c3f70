#pragma once
// Backward nodes: what each differentiable operation leaves on the tape, and
// how it hands its result's gradient to its operands. No rule reduces a
// gradient to its operand's shape.
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

struct LeafNode final : BackwardOp {
  Result<void> backward(AutogradContext&, const StoragePtr&) const override { return {}; }
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

struct ReluNode final : BackwardOp {
  StoragePtr input;
  std::size_t input_id;
  ReluNode(StoragePtr in, std::size_t id) : input(std::move(in)), input_id(id) {}
  Result<void> backward(AutogradContext& ctx, const StoragePtr& grad) const override;
};

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
