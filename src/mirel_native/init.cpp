// The module mirel._native: the functions of the mirel package, on the engine
// and tape that mirel_core uses (Note [one engine per process] in CMakeLists.txt).
#include "python/pyref.hpp"

#include "engine/cpu/exec/parallel.hpp"
#include "mirel_native/functions.hpp"
#include "python/errors.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::native {
namespace {

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    exec::allow_threads();  // Note [the pool]: mirel_core alone stays on the calling thread
    PyTypeObject* tensor = ensure_tensor_type();
    if (!tensor) return -1;
    for (PyMethodDef* table : {math_functions, reduction_functions, shape_functions, loss_functions, graph_functions,
                                 training_functions, kernel_functions, layer_functions, random_functions,
                                 thread_functions}) {
      if (PyModule_AddFunctions(module, table) < 0) return -1;
    }
    if (PyModule_AddObjectRef(module, "Tensor", reinterpret_cast<PyObject*>(tensor)) < 0) return -1;
    PyObject* panic = panic_exception_type();
    if (!panic || PyModule_AddObjectRef(module, "PanicException", panic) < 0) return -1;
    return 0;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "mirel._native", "The native functions of the mirel package.", 0, nullptr,
    module_slots,          nullptr,         nullptr,                                      nullptr,
};

}  // namespace
}  // namespace mirel::native

PyMODINIT_FUNC PyInit__native(void) { return PyModuleDef_Init(&mirel::native::module_def); }
