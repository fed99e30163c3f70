#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {

Result<CpuStorage> CpuStorage::reshape(const Shape& shape) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = mirel::reshape(a, shape);
        if (!r) return fail(ExcKind::Value, "Error while reshape: " + r.error());
        return CpuStorage(std::move(*r));
      },
      data_);
}

Result<CpuStorage> CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
  return std::visit(
      [&](const auto& a) -> Result<CpuStorage> {
        auto r = mirel::transpose(a, dim0, dim1);
        if (!r) return panic(std::move(r.error()));
        return CpuStorage(std::move(*r));
      },
      data_);
}

CpuStorage CpuStorage::zeros_like() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) { return CpuStorage(NdArray<T>::filled(a.shape(), zero_of<T>())); }, data_);
}

CpuStorage CpuStorage::ones_like() const {
  return std::visit(
      []<class T>(const NdArray<T>& a) { return CpuStorage(NdArray<T>::filled(a.shape(), one_of<T>())); }, data_);
}

}  // namespace mirel
