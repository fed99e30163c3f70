#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {
namespace {

template <class Op>
Result<CpuStorage> logical_op(const CpuStorage& lhs, const CpuStorage& rhs) {
  const auto *a = lhs.get_if<bool>(), *b = rhs.get_if<bool>();
  if (!a || !b) return fail(ExcKind::Runtime, "Logical operations are only supported for Bool data types.");
  return lift(logical<Op>(*a, *b));
}

}  // namespace

Result<CpuStorage> CpuStorage::logical_and(const CpuStorage& rhs) const { return logical_op<And>(*this, rhs); }
Result<CpuStorage> CpuStorage::logical_or(const CpuStorage& rhs) const { return logical_op<Or>(*this, rhs); }
Result<CpuStorage> CpuStorage::logical_xor(const CpuStorage& rhs) const { return logical_op<Xor>(*this, rhs); }

Result<CpuStorage> CpuStorage::logical_not() const {
  const auto* a = get_if<bool>();
  if (!a) return fail(ExcKind::Runtime, "Logical NOT is only supported for Bool data type.");
  return CpuStorage(mirel::logical_not(*a));
}

}  // namespace mirel
