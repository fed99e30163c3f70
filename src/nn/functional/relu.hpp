#pragma once
#include "python/pyref.hpp"

namespace mirel {

// The built-in function nn.functional.relu(py_tensor), bound to `module`
// (the functional submodule) and reporting __module__ as the module's name.
PyObject* make_relu_function(PyObject* module);

}  // namespace mirel
