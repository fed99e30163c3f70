#pragma once
// NumPy interchange of CpuStorage. Both directions copy: a storage never shares
// memory with a NumPy array.
#include <optional>
#include <string_view>

#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/error.hpp"

typedef struct _object PyObject;  // as in Python.h; keeps the interpreter out of this header

namespace mirel {

// The element type named by one of the accepted texts ("f32"/"float32",
// "f16"/"float16", "bf16"/"bfloat16", "bool"; exact and case-sensitive).
std::optional<DType> dtype_from_text(std::string_view text) noexcept;

// Copies a NumPy array whose element type matches the text ("f32"/"float32",
// "f16"/"float16", "bf16"/"bfloat16", "bool") into a new row-major storage.
Result<CpuStorage> from_numpy(PyObject* array, std::string_view dtype_text);

// A new NumPy array holding a copy of the storage (Fortran-ordered when the
// storage is column-major), or nullptr with a Python exception set.
PyObject* storage_to_numpy(const CpuStorage& storage);

}  // namespace mirel
