#pragma once
// NumPy's C array API, reached through the table NumPy publishes in the
// `_ARRAY_API` capsule of its core multiarray module. We fill the table
// ourselves on first use (never at import, so that importing mirel_core does
// not import NumPy); numpy_api.cpp owns the table, every other file includes
// this header as a user of it.
#include "python/pyref.hpp"

#define PY_ARRAY_UNIQUE_SYMBOL mirel_PyArray_API
#define NPY_NO_DEPRECATED_API NPY_API_VERSION
// The oldest C-API we need: NumPy 1.15 (feature version 0xc). Headers built
// for an older target branch on PyArray_RUNTIME_VERSION, which the loader sets.
#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#ifndef MIREL_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

namespace mirel::numpy_api {

// Fills the API table once per process. On failure raises PanicException
// ("Failed to access NumPy array API capsule...") and returns false.
bool ensure_loaded();

// The `numpy` module (borrowed; cached after the first successful import), or
// nullptr with the import's exception set.
PyObject* numpy_module();

// Whether o is a NumPy array with one or more axes. Loads the API table only
// when NumPy is already imported (no array can exist before); never raises.
bool is_array_with_axes(PyObject* o);

// The descriptor NumPy knows as "bfloat16" (borrowed, cached), or nullptr with
// no exception set when no installed package provides one.
PyArray_Descr* bfloat16_descr();

}  // namespace mirel::numpy_api
