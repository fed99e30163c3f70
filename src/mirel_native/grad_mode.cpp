// The tape from Python: the grad-mode switch behind mirel.no_grad, detach,
// from_dlpack and item, and the making of the package's tensor class.
#include "mirel_native/functions.hpp"

#include "autograd/graph.hpp"
#include "mirel_native/arguments.hpp"
#include "tensor/api/dlpack.hpp"

namespace mirel::native {
namespace {

PyObject* py_detach(PyObject*, PyObject* x) {
  return guard([&]() -> PyObject* {
    if (!check_tensor(x, "detach()", "x")) return nullptr;
    return with_tensors([](const Tensor& t) { return wrap(Tensor::detach(t)); }, x);
  });
}

PyObject* py_is_grad_enabled(PyObject*, PyObject*) { return PyBool_FromLong(grad_enabled()); }

PyObject* py_set_grad_enabled(PyObject*, PyObject* mode) {
  return guard([&]() -> PyObject* {
    auto on = to_bool(mode, "mode");
    if (!on) return nullptr;
    const bool before = grad_enabled();
    set_grad_enabled(*on);
    return PyBool_FromLong(before);
  });
}

PyObject* py_from_dlpack(PyObject*, PyObject* x) { return tensor_from_dlpack(x); }

// _item(x): the one element as a Python float (bool for Bool), without an array on the way.
PyObject* py_item(PyObject*, PyObject* x) {
  return guard([&]() -> PyObject* {
    if (!check_tensor(x, "item()", "x")) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const std::size_t n = numel(t.cpu().shape());
          if (n != 1) return PyErr_Format(PyExc_RuntimeError, "a Tensor with %zu elements cannot be converted to Scalar", n);
          return std::visit(
              [](const auto& a) -> PyObject* {
                const auto v = *a.data();
                if constexpr (std::is_same_v<std::decay_t<decltype(v)>, bool>) return PyBool_FromLong(v);
                else return PyFloat_FromDouble(double(widen(v)));
              },
              t.cpu().data());
        },
        x);
  });
}

// _make_tensor_class(name, namespace): the package's subclass of
// mirel_core.Tensor, the class of every package tensor (Note [two faces]).
PyObject* py_make_tensor_class(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 2, "_make_tensor_class()")) return nullptr;
    if (!PyUnicode_Check(args[0]) || !PyDict_Check(args[1])) {
      return PyErr_Format(PyExc_TypeError, "_make_tensor_class(): a name and a namespace dict are needed");
    }
    return make_package_type(args[0], args[1]);
  });
}

}  // namespace

PyMethodDef graph_functions[] = {
    {"from_dlpack", py_from_dlpack, METH_O,
     "from_dlpack(x, /)\n--\n\nA new untracked tensor holding a copy of what x (a PyTorch, JAX or NumPy array, or "
     "anything with __dlpack__) exports: float32, float16, bfloat16 or bool, on the CPU."},
    {"_item", py_item, METH_O, "_item(x, /)\n--\n\nThe one element of x as a Python float (bool for bool)."},
    {"detach", py_detach, METH_O,
     "detach(x, /)\n--\n\nAn untracked tensor over x's storage, without a copy: no gradient flows through it."},
    {"is_grad_enabled", py_is_grad_enabled, METH_NOARGS,
     "is_grad_enabled()\n--\n\nWhether operations on this thread record onto its tape (False inside no_grad)."},
    {"set_grad_enabled", py_set_grad_enabled, METH_O,
     "set_grad_enabled(mode, /)\n--\n\nTurns recording on this thread on or off; returns the previous setting. "
     "mirel.no_grad() is the usual way."},
    {"_make_tensor_class", as_method(py_make_tensor_class), METH_FASTCALL,
     "_make_tensor_class(name, namespace, /)\n--\n\nMakes the class of the package's tensors (mirel.Tensor), "
     "the one subclass of mirel_core.Tensor."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
