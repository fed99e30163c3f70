// The one-operand math operations of numeric/table.hpp and their gradients:
// every method here is spelled out from the table.
#include "engine/cpu/numeric/backward/rules.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/math/unary.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

Error unsupported(const char* name) {
  return Error{ExcKind::Type, concat("Tensor Dtype not supported for this operation: ", name)};
}

template <class Fn>
Result<CpuStorage> unary_op(const CpuStorage& s, const char* name) {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return std::unexpected(unsupported(name));
        else return CpuStorage(unary<Fn>(a));
      },
      s.data());
}

template <class Rule>
Result<CpuStorage> rule_op(const CpuStorage& grad, const CpuStorage& saved, const char* name) {
  if (grad.dtype() != saved.dtype()) {
    return fail(ExcKind::Type, "DType mismatch between gradient and input during unary backward pass.");
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return std::unexpected(unsupported(name));
        else return lift(backward_rule<Rule>(g, *saved.get_if<T>(), name));
      },
      grad.data());
}

}  // namespace

#define MIREL_DEFINE_UNARY(name, Fn, Rule, saved)                                                         \
  Result<CpuStorage> CpuStorage::name() const { return unary_op<Fn>(*this, #name); }                     \
  Result<CpuStorage> CpuStorage::backward_##name(const CpuStorage& grad, const CpuStorage& saved_value) { \
    return rule_op<Rule>(grad, saved_value, #name);                                                      \
  }
MIREL_UNARY_OPS(MIREL_DEFINE_UNARY)
#undef MIREL_DEFINE_UNARY

Result<CpuStorage::GeluWithSlope> CpuStorage::gelu_keeping_slope() const {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<GeluWithSlope> {
        if constexpr (std::is_same_v<T, bool>) {
          return std::unexpected(unsupported("gelu"));
        } else {
          GeluKept<T> r = mirel::gelu_keeping_slope(a);
          return GeluWithSlope{CpuStorage(std::move(r.y)), std::move(r.slope)};
        }
      },
      data());
}

Result<CpuStorage> CpuStorage::backward_gelu_slope(const CpuStorage& grad, DType dtype, const NdArray<float>& slope) {
  if (grad.dtype() != dtype) {
    return fail(ExcKind::Type, "DType mismatch between gradient and input during unary backward pass.");
  }
  if (grad.shape() != slope.shape()) {
    return panic(concat("gelu: a gradient of shape ", shape_str(grad.shape()), " for a result of shape ",
                        shape_str(slope.shape())));
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return std::unexpected(unsupported("gelu"));
        else return CpuStorage(gelu_gradient(g, slope));
      },
      grad.data());
}

}  // namespace mirel
