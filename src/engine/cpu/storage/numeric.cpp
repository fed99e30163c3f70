// Element-type rules of the two-storage and storage-with-number operations:
// the one place where a runtime DType becomes the element type T.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/math/power.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/numeric/ops/select.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

template <class T>
inline constexpr bool is_float_v = !std::is_same_v<T, bool>;

// Arithmetic and matmul: both operands of one float type.
template <class Kernel>
Result<CpuStorage> arithmetic(const CpuStorage& lhs, const CpuStorage& rhs, Kernel kernel) {
  if (lhs.dtype() != rhs.dtype()) {
    return fail(ExcKind::Value, concat("Tensor DType mismatch during binary execution. Cannot operate between ",
                                       dtype_name(lhs.dtype()), " and ", dtype_name(rhs.dtype()), "."));
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) {
          return lift(kernel(a, *rhs.get_if<T>()));
        } else {
          return fail(ExcKind::Type,
                      "Arithmetic operations are not supported for Bool data types. Cast to a numeric type first.");
        }
      },
      lhs.data());
}

template <class Op>
Result<CpuStorage> binary_op(const CpuStorage& lhs, const CpuStorage& rhs) {
  return arithmetic(lhs, rhs, [](const auto& a, const auto& b) { return binary<Op>(a, b); });
}

template <class Op>
Result<CpuStorage> compare_op(const CpuStorage& lhs, const CpuStorage& rhs) {
  if (lhs.dtype() != rhs.dtype()) {
    return fail(ExcKind::Runtime, concat("Tensor device or dtype mismatch for element-wise ", Op::symbol, " operation."));
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> { return lift(compare<Op>(a, *rhs.get_if<T>())); },
      lhs.data());
}

// Arithmetic with a number needs a float type. `name` is the operation as the
// message calls it: "add", "sub", "product".
Result<void> scalar_dtype_check(const CpuStorage& s, const char* name) {
  if (s.dtype() != DType::Bool) return {};
  return fail(ExcKind::Value, concat("Tensor DType invalid during scalar ", name, ". Cannot operate between ",
                                     dtype_name(s.dtype()), " and scalar."));
}

template <class Op>
Result<CpuStorage> scalar_op(const CpuStorage& s, float x, const char* name) {
  if (auto c = scalar_dtype_check(s, name); !c) return std::unexpected(std::move(c.error()));
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) return CpuStorage(scalar_binary<Op>(a, x));
        else return panic("scalar arithmetic reached a Bool array");
      },
      s.data());
}

template <class Op>
Result<CpuStorage> scalar_compare_op(const CpuStorage& s, float x) {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) {
          return CpuStorage(scalar_compare<Op>(a, x));
        } else {
          return fail(ExcKind::Runtime, concat("Tensor device or dtype mismatch for scalar ", Op::symbol, " operation."));
        }
      },
      s.data());
}

}  // namespace

Result<CpuStorage> CpuStorage::add(const CpuStorage& rhs) const { return binary_op<Add>(*this, rhs); }
Result<CpuStorage> CpuStorage::sub(const CpuStorage& rhs) const { return binary_op<Sub>(*this, rhs); }
Result<CpuStorage> CpuStorage::mul(const CpuStorage& rhs) const { return binary_op<Mul>(*this, rhs); }
Result<CpuStorage> CpuStorage::div(const CpuStorage& rhs) const { return binary_op<Div>(*this, rhs); }

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& rhs) const {
  return arithmetic(*this, rhs, [](const auto& a, const auto& b) { return mirel::matmul(view_of(a), view_of(b)); });
}

Result<CpuStorage> CpuStorage::eq(const CpuStorage& rhs) const { return compare_op<Eq>(*this, rhs); }
Result<CpuStorage> CpuStorage::ne(const CpuStorage& rhs) const { return compare_op<Ne>(*this, rhs); }
Result<CpuStorage> CpuStorage::ge(const CpuStorage& rhs) const { return compare_op<Ge>(*this, rhs); }
Result<CpuStorage> CpuStorage::gt(const CpuStorage& rhs) const { return compare_op<Gt>(*this, rhs); }
Result<CpuStorage> CpuStorage::le(const CpuStorage& rhs) const { return compare_op<Le>(*this, rhs); }
Result<CpuStorage> CpuStorage::lt(const CpuStorage& rhs) const { return compare_op<Lt>(*this, rhs); }

Result<CpuStorage> CpuStorage::scalar_add(float x) const { return scalar_op<Add>(*this, x, "add"); }
Result<CpuStorage> CpuStorage::scalar_sub(float x) const { return scalar_op<Sub>(*this, x, "sub"); }
Result<CpuStorage> CpuStorage::scalar_mul(float x) const { return scalar_op<Mul>(*this, x, "product"); }
Result<void> CpuStorage::scalar_mul_check() const { return scalar_dtype_check(*this, "product"); }
Result<CpuStorage> CpuStorage::scalar_eq(float x) const { return scalar_compare_op<Eq>(*this, x); }
Result<CpuStorage> CpuStorage::scalar_ne(float x) const { return scalar_compare_op<Ne>(*this, x); }
Result<CpuStorage> CpuStorage::scalar_ge(float x) const { return scalar_compare_op<Ge>(*this, x); }
Result<CpuStorage> CpuStorage::scalar_gt(float x) const { return scalar_compare_op<Gt>(*this, x); }
Result<CpuStorage> CpuStorage::scalar_le(float x) const { return scalar_compare_op<Le>(*this, x); }
Result<CpuStorage> CpuStorage::scalar_lt(float x) const { return scalar_compare_op<Lt>(*this, x); }

#define MIREL_DEFINE_BINARY(name, Fn, RuleA, RuleB) \
  Result<CpuStorage> CpuStorage::name(const CpuStorage& rhs) const { return binary_op<Fn>(*this, rhs); }
MIREL_BINARY_OPS(MIREL_DEFINE_BINARY)
#undef MIREL_DEFINE_BINARY

Result<CpuStorage> CpuStorage::where(const CpuStorage& cond, const CpuStorage& a, const CpuStorage& b) {
  const NdArray<bool>* c = cond.get_if<bool>();
  if (!c) return fail(ExcKind::Type, concat("where: the condition must be a Bool tensor, not ", dtype_name(cond.dtype())));
  if (a.dtype() != b.dtype()) {
    return fail(ExcKind::Value, concat("Tensor DType mismatch during binary execution. Cannot operate between ",
                                       dtype_name(a.dtype()), " and ", dtype_name(b.dtype()), "."));
  }
  return std::visit([&]<class T>(const NdArray<T>& x) -> Result<CpuStorage> { return lift(mirel::where(*c, x, *b.get_if<T>())); },
                    a.data());
}

Result<CpuStorage> CpuStorage::power(float p) const {
  if (auto c = scalar_dtype_check(*this, "power"); !c) return std::unexpected(std::move(c.error()));
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) return CpuStorage(mirel::power(a, p));
        else return panic("power reached a Bool array");
      },
      data_);
}

}  // namespace mirel
