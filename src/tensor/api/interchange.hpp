#pragma once
// NumPy interchange of CpuStorage. Both directions copy: a storage never shares
// memory with a NumPy array. Every function needs NumPy's C API loaded
// (numpy_api::ensure_loaded) and reports failures as Error values; a failure
// inside NumPy itself is AlreadySet, with NumPy's exception pending.
#include <optional>

#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/error.hpp"

typedef struct _object PyObject;  // as in Python.h; keeps the interpreter out of this header

namespace mirel {

// New reference to NumPy's descriptor of the element type; nullptr with no
// exception set when bfloat16 is asked for and no installed package provides it.
PyObject* numpy_descr(DType dtype);

// Copies a NumPy array of exactly that element type into a new row-major storage.
Result<CpuStorage> from_numpy(PyObject* array, DType dtype);

// A C-contiguous, aligned float32 ndarray rounded to bfloat16 in a new
// row-major storage, with the bits NumPy's cast to the registered bfloat16 type
// gives, in one vector pass instead of element by element. Nothing when the
// object is not such an array, or when it holds a NaN (which that cast also
// warns about): the caller then converts through NumPy.
std::optional<CpuStorage> bf16_from_f32_array(PyObject* array);

// A new NumPy array (new reference) holding a copy of the storage,
// Fortran-ordered when the storage is column-major.
Result<PyObject*> storage_to_numpy(const CpuStorage& storage);

// Indices (an argmax) as a new NumPy int64 array, or a NumPy scalar for rank 0;
// nullptr with the exception raised on failure.
PyObject* index_array_to_numpy(const NdArray<std::int64_t>& indices);

// Integer indices from anything NumPy turns into an integer array (safe casts
// only), copied; AlreadySet with NumPy's exception pending on failure.
Result<NdArray<std::int64_t>> indices_from_python(PyObject* o);

}  // namespace mirel
