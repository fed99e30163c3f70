#pragma once
// CpuStorage: one owned array of one element type. Every operation returns a
// new storage (or an Error); none changes its operand. The operations are
// grouped by kind in the .cpp files beside this header: shape, numeric,
// boolean, functional, backward; NumPy interchange lives in api.hpp.
#include <cstdint>
#include <optional>
#include <vector>
#include <utility>
#include <variant>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
#include "engine/cpu/numeric/ops/softmax.hpp"
#include "engine/cpu/numeric/table.hpp"
#include "engine/cpu/storage/dtype.hpp"
#include "util/error.hpp"

namespace mirel {

class CpuStorage {
 public:
  using Variant = std::variant<NdArray<F16>, NdArray<BF16>, NdArray<float>, NdArray<bool>>;

  template <class T>
  explicit CpuStorage(NdArray<T> a) : data_(std::move(a)) {}

  const Variant& data() const noexcept { return data_; }
  template <class T>
  const NdArray<T>* get_if() const noexcept { return std::get_if<NdArray<T>>(&data_); }
  // A storage of one's own (not yet shared) may hand its array over.
  template <class T>
  NdArray<T>* get_if() noexcept { return std::get_if<NdArray<T>>(&data_); }

  DType dtype() const noexcept { return DType(data_.index()); }
  const Shape& shape() const noexcept {
    return std::visit([](const auto& a) -> const Shape& { return a.shape(); }, data_);
  }
  const Strides& strides() const noexcept {
    return std::visit([](const auto& a) -> const Strides& { return a.strides(); }, data_);
  }
  std::size_t ndim() const noexcept { return shape().size(); }

  // numeric: two storages of one float type (comparisons: any one type)
  Result<CpuStorage> add(const CpuStorage& rhs) const;
  Result<CpuStorage> sub(const CpuStorage& rhs) const;
  Result<CpuStorage> mul(const CpuStorage& rhs) const;
  Result<CpuStorage> div(const CpuStorage& rhs) const;
  Result<CpuStorage> matmul(const CpuStorage& rhs) const;
  Result<CpuStorage> eq(const CpuStorage& rhs) const;
  Result<CpuStorage> ne(const CpuStorage& rhs) const;
  Result<CpuStorage> ge(const CpuStorage& rhs) const;
  Result<CpuStorage> gt(const CpuStorage& rhs) const;
  Result<CpuStorage> le(const CpuStorage& rhs) const;
  Result<CpuStorage> lt(const CpuStorage& rhs) const;

  // numeric: with a scalar, rounded to the element type first
  Result<CpuStorage> scalar_add(float x) const;
  Result<CpuStorage> scalar_sub(float x) const;
  Result<CpuStorage> scalar_mul(float x) const;
  Result<CpuStorage> scalar_eq(float x) const;
  Result<CpuStorage> scalar_ne(float x) const;
  Result<CpuStorage> scalar_ge(float x) const;
  Result<CpuStorage> scalar_gt(float x) const;
  Result<CpuStorage> scalar_le(float x) const;
  Result<CpuStorage> scalar_lt(float x) const;

  // boolean
  Result<CpuStorage> logical_and(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_or(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_xor(const CpuStorage& rhs) const;
  Result<CpuStorage> logical_not() const;

  // shape
  Result<CpuStorage> reshape(const Shape& shape) const;
  Result<CpuStorage> transpose(std::size_t dim0, std::size_t dim1) const;
  CpuStorage zeros_like() const;
  CpuStorage ones_like() const;
  // A row-major copy at a shape this one broadcasts to; and its reverse, the
  // sum over the axes that broadcasting to this shape would have stretched.
  Result<CpuStorage> broadcast_to(const Shape& shape) const;
  Result<CpuStorage> sum_to(const Shape& shape) const;
  // Axes in the order perm names them (a permutation of 0..ndim-1).
  Result<CpuStorage> permute(const Axes& perm) const;
  // A row-major copy.
  CpuStorage row_major() const;
  // The values in another element type, row-major: floats rounded once
  // (halves widen exactly), x != 0 to Bool, 0 or 1 from Bool.
  CpuStorage astype(DType dtype) const;
  // sum_to in float32: a half storage is widened first, so the sum is never rounded to it.
  Result<CpuStorage> widened_sum_to(const Shape& shape) const;
  // Parts of one element type and one shape but along axis, joined along it.
  static Result<CpuStorage> concatenate(const std::vector<const CpuStorage*>& parts, std::size_t axis);
  // Elements [start, start + length) along axis, row-major.
  Result<CpuStorage> slice(std::size_t axis, std::size_t start, std::size_t length) const;
  // The entries along axis that indices name (each in range), and the
  // gradient: each row of grad added into the row it came from.
  Result<CpuStorage> take(std::size_t axis, const NdArray<std::int64_t>& indices) const;
  static Result<CpuStorage> backward_take(const CpuStorage& grad, const Shape& shape, std::size_t axis,
                                          const NdArray<std::int64_t>& indices);

  // functional
  Result<CpuStorage> relu() const;
  // Softmax (or log-softmax) along one axis (below ndim), stable and fused.
  Result<CpuStorage> softmax(std::size_t axis, bool log) const;
  // Cross-entropy of logits [N, C] against class indices labels[N] (each in
  // [0, C)): the loss reduced as asked, in this element type, and with keep
  // what the gradient reads back (SoftmaxRows).
  struct CrossEntropy;
  Result<CrossEntropy> cross_entropy(const NdArray<std::int64_t>& labels, Reduction reduction, bool keep) const;
  // this @ weightᵀ: weight [out, in] against this [..., in], read in place.
  // x @ weightᵀ (+ bias), rounded once (Note [linear rounds once]).
  Result<CpuStorage> linear(const CpuStorage& weight, const CpuStorage* bias) const;

  // one-operand math, from the table in numeric/table.hpp (float types only):
  // exp() and backward_exp(grad, saved), where saved is what the rule reads.
#define MIREL_DECLARE_UNARY(name, Fn, Rule, saved) \
  Result<CpuStorage> name() const;                 \
  static Result<CpuStorage> backward_##name(const CpuStorage& grad, const CpuStorage& saved_value);
  MIREL_UNARY_OPS(MIREL_DECLARE_UNARY)
#undef MIREL_DECLARE_UNARY
  // gelu that keeps its slope (f32, the operand's layout) for the gradient in
  // place of the operand: one pass computes both. backward_gelu_slope gives
  // backward_gelu's bits from it.
  struct GeluWithSlope;
  Result<GeluWithSlope> gelu_keeping_slope() const;
  static Result<CpuStorage> backward_gelu_slope(const CpuStorage& grad, DType dtype, const NdArray<float>& slope);

  // reduce: over `axes` (sorted, unique, each below ndim; none reduces nothing),
  // kept as length-1 axes when keepdims; results are row-major. sum, mean, max
  // and min come from the table in numeric/table.hpp; the gradient of each
  // (backward_sum, ...) takes grad at the result's shape and gives it at the input's.
#define MIREL_DECLARE_REDUCE(name)                                                                    \
  Result<CpuStorage> name(const Axes& axes, bool keepdims) const;                                    \
  static Result<CpuStorage> backward_##name(const CpuStorage& grad, const CpuStorage& input,          \
                                            const CpuStorage& result, const Axes& axes, bool keepdims);
  MIREL_REDUCE_OPS(MIREL_DECLARE_REDUCE)
#undef MIREL_DECLARE_REDUCE
  // First index of the maximum, counted in row-major order over the reduced axes.
  Result<NdArray<std::int64_t>> argmax(const Axes& axes, bool keepdims) const;

  // The checks of scalar_mul without the arithmetic (Note [checked, not computed]).
  Result<void> scalar_mul_check() const;

  // backward: (gradient of lhs, gradient of rhs). A gradient not in `want` is
  // checked, not computed, and comes back empty (Note [checked, not computed]).
  using GradPair = std::pair<std::optional<CpuStorage>, std::optional<CpuStorage>>;
  static Result<GradPair> backward_mul(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                       GradWanted want = {});
  static Result<GradPair> backward_div(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                       GradWanted want = {});
  static Result<GradPair> backward_matmul(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                          GradWanted want = {});
  static Result<CpuStorage> backward_relu(const CpuStorage& input, const CpuStorage& grad);

  // maximum and minimum, from the table in numeric/table.hpp: two storages of
  // one float type, broadcasting; gradients at the broadcast shape.
#define MIREL_DECLARE_BINARY(name, Fn, RuleA, RuleB)                                                      \
  Result<CpuStorage> name(const CpuStorage& rhs) const;                                                 \
  static Result<GradPair> backward_##name(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs, \
                                          GradWanted want);
  MIREL_BINARY_OPS(MIREL_DECLARE_BINARY)
#undef MIREL_DECLARE_BINARY
  // cond (Bool) picks a, else b, all broadcasting; the gradients of a and b
  // are grad where cond holds, and where it does not.
  static Result<CpuStorage> where(const CpuStorage& cond, const CpuStorage& a, const CpuStorage& b);
  static Result<GradPair> backward_where(const CpuStorage& cond, const CpuStorage& grad, GradWanted want);
  // Every element to the power p (a number), and its gradient.
  Result<CpuStorage> power(float p) const;
  static Result<CpuStorage> backward_power(const CpuStorage& grad, const CpuStorage& input, float p);
  static Result<CpuStorage> backward_softmax(const CpuStorage& grad, const CpuStorage& result, std::size_t axis,
                                             bool log);
  static Result<CpuStorage> backward_cross_entropy(const CpuStorage& grad, const CpuStorage& logits,
                                                   const NdArray<std::int64_t>& labels, const SoftmaxRows& kept,
                                                   Reduction reduction);
  // (gradient of x, gradient of weight): grad @ weight, and gradᵀ @ x over every
  // leading axis of x, at weight's own shape.
  static Result<GradPair> backward_linear(const CpuStorage& x, const CpuStorage& grad, const CpuStorage& weight,
                                          GradWanted want);

 private:
  Variant data_;
};

struct CpuStorage::CrossEntropy {
  CpuStorage loss;
  std::optional<SoftmaxRows> kept;  // when asked for: what the gradient needs
};

struct CpuStorage::GeluWithSlope {
  CpuStorage y;
  NdArray<float> slope;
};

// Kernel messages become RuntimeError.
template <class T>
Result<CpuStorage> lift(Expected<NdArray<T>> r) {
  if (!r) return fail(ExcKind::Runtime, std::move(r.error()));
  return CpuStorage(std::move(*r));
}

}  // namespace mirel
