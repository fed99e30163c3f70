#pragma once
// DType and Storage: what a Tensor holds. A Storage wraps one CpuStorage and is
// immutable; tensors, tape nodes and gradient slots share it through StoragePtr.
#include <memory>
#include <string_view>

#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {

struct Storage {
  CpuStorage cpu;
};

using StoragePtr = std::shared_ptr<const Storage>;

// Storage is an aggregate: make_shared builds it in place from the CpuStorage.
inline StoragePtr make_storage(CpuStorage s) { return std::make_shared<const Storage>(std::move(s)); }

}  // namespace mirel
