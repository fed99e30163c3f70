#include "nn/functional/relu.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel {

namespace {

const char* const kParams[] = {"py_tensor"};
const Signature kSignature{"relu()", kParams, 1, 1};

PyObject* relu(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind(kSignature, args, nargs, kwnames, bound)) return nullptr;
    PyObject* arg = bound[0];
    if (!is_tensor(arg)) {
      raise(type_check_error(arg, "Tensor"));
      add_argument_note("py_tensor");
      return nullptr;
    }
    SharedBorrow t(arg);
    if (!t) return raise_borrow_error();
    return wrap(Tensor::relu(*t));
  });
}

PyMethodDef relu_def = {
    "relu",
    as_method(relu),
    METH_FASTCALL | METH_KEYWORDS,
    "relu(py_tensor)\n--\n\n",
};

}  // namespace

PyObject* make_relu_function(PyObject* module) {
  auto module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return nullptr;
  return PyCFunction_NewEx(&relu_def, module, module_name.get());
}

}  // namespace mirel
