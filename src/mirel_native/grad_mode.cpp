// The tape from Python: the grad-mode switch behind mirel.no_grad, and detach.
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

}  // namespace

PyMethodDef graph_functions[] = {
    {"from_dlpack", py_from_dlpack, METH_O,
     "from_dlpack(x, /)\n--\n\nA new untracked tensor holding a copy of what x (a PyTorch, JAX or NumPy array, or "
     "anything with __dlpack__) exports: float32, float16, bfloat16 or bool, on the CPU."},
    {"detach", py_detach, METH_O,
     "detach(x, /)\n--\n\nAn untracked tensor over x's storage, without a copy: no gradient flows through it."},
    {"is_grad_enabled", py_is_grad_enabled, METH_NOARGS,
     "is_grad_enabled()\n--\n\nWhether operations on this thread record onto its tape (False inside no_grad)."},
    {"set_grad_enabled", py_set_grad_enabled, METH_O,
     "set_grad_enabled(mode, /)\n--\n\nTurns recording on this thread on or off; returns the previous setting. "
     "mirel.no_grad() is the usual way."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
