// The mirel_core module: multi-phase initialisation, with everything created in
// the execution step: the Tensor class and the submodule nn.functional holding
// relu. The submodules are plain attributes, not entries of sys.modules.
#include "python/pyref.hpp"

#include <string>
#include <string_view>

#include "nn/functional/relu.hpp"
#include "python/errors.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel {

namespace {

// The module's __all__, created empty when the module has none.
PyRef all_list(PyObject* module) {
  auto all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (all) {
    if (PyList_Check(all.get())) return all;
    raise(type_check_error(all.get(), "list"));
    return {};
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return {};
  PyErr_Clear();
  all = PyRef::steal(PyList_New(0));
  if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return {};
  return all;
}

// Lists the name in __all__, then sets the attribute.
bool register_attr(PyObject* module, std::string_view name, PyObject* value) {
  PyRef all = all_list(module);
  if (!all) return false;
  auto key = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size())));
  if (!key) return false;
  if (PyList_Append(all.get(), key.get()) < 0) {
    raise_panic("could not append __name__ to __all__");
    return false;
  }
  return PyObject_SetAttr(module, key.get(), value) == 0;
}

// Registered under the last dotted component of the submodule's __name__.
bool attach_submodule(PyObject* parent, PyObject* submodule) {
  const char* full = PyModule_GetName(submodule);
  if (!full) return false;
  std::string_view name(full);
  if (auto dot = name.rfind('.'); dot != std::string_view::npos) name.remove_prefix(dot + 1);
  return register_attr(parent, std::string(name), submodule);
}

bool init_submodule(PyObject* module) {
  auto nn = PyRef::steal(PyModule_New("nn"));
  if (!nn) return false;
  auto functional = PyRef::steal(PyModule_New("functional"));
  if (!functional) return false;
  auto relu = PyRef::steal(make_relu_function(functional.get()));
  if (!relu) return false;
  if (!register_attr(functional.get(), "relu", relu.get())) return false;
  if (!attach_submodule(nn.get(), functional.get())) return false;
  return attach_submodule(module, nn.get());
}

int exec_module(PyObject* module) {
  return guard([&]() -> int {
    if (!PyModule_Check(module)) {
      raise(type_check_error(module, "module"));
      return -1;
    }
    PyTypeObject* tensor = ensure_tensor_type();
    if (!tensor) return -1;
    if (!register_attr(module, "Tensor", reinterpret_cast<PyObject*>(tensor))) return -1;
    return init_submodule(module) ? 0 : -1;
  });
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#if PY_VERSION_HEX >= 0x030D0000
    // Shared state is the once-created type and NumPy table and per-object
    // atomic borrow counts; the tape is per thread.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "mirel_core",
    "",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

}  // namespace mirel

PyMODINIT_FUNC PyInit_mirel_core(void) { return PyModuleDef_Init(&mirel::module_def); }
