#include "engine/cpu/numeric/ops/relu.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {

Result<CpuStorage> CpuStorage::relu() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, "Tensor Dtype not supported for this operation: relu");
        } else {
          return CpuStorage(mirel::relu(a));
        }
      },
      data_);
}

}  // namespace mirel
