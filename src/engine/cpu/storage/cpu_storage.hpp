#pragma once
// CpuStorage: one owned array of one element type. Every operation returns a
// new storage (or an Error); none changes its operand. The operations are
// grouped by kind in the .cpp files beside this header: shape, numeric,
// boolean, functional, backward; NumPy interchange lives in api.hpp.
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "engine/cpu/array/ndarray.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
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

  // functional
  Result<CpuStorage> relu() const;

  // reduce: over `axes` (sorted, unique, each below ndim; none reduces nothing),
  // kept as length-1 axes when keepdims. Results are row-major.
  Result<CpuStorage> sum(const Axes& axes, bool keepdims) const;
  Result<CpuStorage> mean(const Axes& axes, bool keepdims) const;
  Result<CpuStorage> max(const Axes& axes, bool keepdims) const;
  Result<CpuStorage> min(const Axes& axes, bool keepdims) const;
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

 private:
  Variant data_;
};

// Kernel messages become RuntimeError.
template <class T>
Result<CpuStorage> lift(Expected<NdArray<T>> r) {
  if (!r) return fail(ExcKind::Runtime, std::move(r.error()));
  return CpuStorage(std::move(*r));
}

}  // namespace mirel
