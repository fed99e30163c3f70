// Element-type rules of the two-storage and storage-with-number operations:
// the one place where a runtime DType becomes the element type T.
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
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

Result<CpuStorage> binary_op(BinaryOp op, const CpuStorage& lhs, const CpuStorage& rhs) {
  return arithmetic(lhs, rhs, [op](const auto& a, const auto& b) { return binary(op, a, b); });
}

std::string_view compare_symbol(CompareOp op) noexcept {
  switch (op) {
    case CompareOp::Eq: return "==";
    case CompareOp::Ne: return "!=";
    case CompareOp::Ge: return ">=";
    case CompareOp::Gt: return ">";
    case CompareOp::Le: return "<=";
    case CompareOp::Lt: break;
  }
  return "<";
}

Result<CpuStorage> compare_op(CompareOp op, const CpuStorage& lhs, const CpuStorage& rhs) {
  if (lhs.dtype() != rhs.dtype()) {
    return fail(ExcKind::Runtime,
                concat("Tensor device or dtype mismatch for element-wise ", compare_symbol(op), " operation."));
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> { return lift(compare(op, a, *rhs.get_if<T>())); },
      lhs.data());
}

// Arithmetic with a number needs a float type.
Result<void> scalar_dtype_check(BinaryOp op, const CpuStorage& s) {
  if (s.dtype() != DType::Bool) return {};
  const char* name = op == BinaryOp::Add ? "add" : op == BinaryOp::Sub ? "sub" : "product";
  return fail(ExcKind::Value, concat("Tensor DType invalid during scalar ", name, ". Cannot operate between ",
                                     dtype_name(s.dtype()), " and scalar."));
}

Result<CpuStorage> scalar_op(BinaryOp op, const CpuStorage& s, float x) {
  if (auto c = scalar_dtype_check(op, s); !c) return std::unexpected(std::move(c.error()));
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) return CpuStorage(scalar_binary(op, a, x));
        else return panic("scalar arithmetic reached a Bool array");
      },
      s.data());
}

Result<CpuStorage> scalar_compare_op(CompareOp op, const CpuStorage& s, float x) {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (is_float_v<T>) {
          return CpuStorage(scalar_compare(op, a, x));
        } else {
          return fail(ExcKind::Runtime,
                      concat("Tensor device or dtype mismatch for scalar ", compare_symbol(op), " operation."));
        }
      },
      s.data());
}

}  // namespace

Result<CpuStorage> CpuStorage::add(const CpuStorage& rhs) const { return binary_op(BinaryOp::Add, *this, rhs); }
Result<CpuStorage> CpuStorage::sub(const CpuStorage& rhs) const { return binary_op(BinaryOp::Sub, *this, rhs); }
Result<CpuStorage> CpuStorage::mul(const CpuStorage& rhs) const { return binary_op(BinaryOp::Mul, *this, rhs); }
Result<CpuStorage> CpuStorage::div(const CpuStorage& rhs) const { return binary_op(BinaryOp::Div, *this, rhs); }

Result<CpuStorage> CpuStorage::matmul(const CpuStorage& rhs) const {
  return arithmetic(*this, rhs, []<class T>(const NdArray<T>& a, const NdArray<T>& b) -> Expected<NdArray<T>> {
    if constexpr (std::is_same_v<T, float>) return internal_linalg_matmul(view_of(a), view_of(b));
    else return MatmulOps<T>::do_matmul(view_of(a), view_of(b));
  });
}

Result<CpuStorage> CpuStorage::eq(const CpuStorage& rhs) const { return compare_op(CompareOp::Eq, *this, rhs); }
Result<CpuStorage> CpuStorage::ne(const CpuStorage& rhs) const { return compare_op(CompareOp::Ne, *this, rhs); }
Result<CpuStorage> CpuStorage::ge(const CpuStorage& rhs) const { return compare_op(CompareOp::Ge, *this, rhs); }
Result<CpuStorage> CpuStorage::gt(const CpuStorage& rhs) const { return compare_op(CompareOp::Gt, *this, rhs); }
Result<CpuStorage> CpuStorage::le(const CpuStorage& rhs) const { return compare_op(CompareOp::Le, *this, rhs); }
Result<CpuStorage> CpuStorage::lt(const CpuStorage& rhs) const { return compare_op(CompareOp::Lt, *this, rhs); }

Result<CpuStorage> CpuStorage::scalar_add(float x) const { return scalar_op(BinaryOp::Add, *this, x); }
Result<CpuStorage> CpuStorage::scalar_sub(float x) const { return scalar_op(BinaryOp::Sub, *this, x); }
Result<CpuStorage> CpuStorage::scalar_mul(float x) const { return scalar_op(BinaryOp::Mul, *this, x); }
Result<void> CpuStorage::scalar_mul_check() const { return scalar_dtype_check(BinaryOp::Mul, *this); }
Result<CpuStorage> CpuStorage::scalar_eq(float x) const { return scalar_compare_op(CompareOp::Eq, *this, x); }
Result<CpuStorage> CpuStorage::scalar_ne(float x) const { return scalar_compare_op(CompareOp::Ne, *this, x); }
Result<CpuStorage> CpuStorage::scalar_ge(float x) const { return scalar_compare_op(CompareOp::Ge, *this, x); }
Result<CpuStorage> CpuStorage::scalar_gt(float x) const { return scalar_compare_op(CompareOp::Gt, *this, x); }
Result<CpuStorage> CpuStorage::scalar_le(float x) const { return scalar_compare_op(CompareOp::Le, *this, x); }
Result<CpuStorage> CpuStorage::scalar_lt(float x) const { return scalar_compare_op(CompareOp::Lt, *this, x); }

}  // namespace mirel
