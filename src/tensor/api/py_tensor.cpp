#include "tensor/api/py_tensor.hpp"

#include <new>
#include <utility>

#include "autograd/graph.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/once.hpp"
#include "tensor/api/dlpack.hpp"
#include "tensor/api/entry_points.hpp"

namespace mirel {

namespace {

PyOnce type_once;

void tensor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* t = as_py_tensor(self);
  t->value.~Tensor();
  t->borrows.~atomic();
  type->tp_free(self);
  Py_DECREF(type);  // instances of heap types own a reference to their type
}

constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef tensor_methods[] = {
    {"grad", as_method(api::grad), METH_NOARGS, "grad($self)\n--\n\n"},
    {"__req__", as_method(api::req), kFastKw, "__req__($self, other)\n--\n\n"},
    {"__rlt__", as_method(api::rlt), kFastKw, "__rlt__($self, other)\n--\n\n"},
    {"__rgt__", as_method(api::rgt), kFastKw, "__rgt__($self, other)\n--\n\n"},
    {"to_numpy", as_method(api::to_numpy), METH_NOARGS, "to_numpy($self)\n--\n\n"},
    {"zeros_like", as_method(api::zeros_like), METH_NOARGS, "zeros_like($self)\n--\n\n"},
    {"ones_like", as_method(api::ones_like), METH_NOARGS, "ones_like($self)\n--\n\n"},
    {"reshape", as_method(api::reshape), kFastKw, "reshape($self, shape)\n--\n\n"},
    {"transpose", as_method(api::transpose), kFastKw, "transpose($self, dim0, dim1)\n--\n\n"},
    {"backward", as_method(api::backward), METH_NOARGS, "backward($self)\n--\n\n"},
    {"clear_graph", as_method(api::clear_graph), METH_NOARGS | METH_STATIC, "clear_graph()\n--\n\n"},
    {"__reduce_ex__", as_method(api::reduce_ex), METH_O, "__reduce_ex__($self, protocol)\n--\n\n"},
    {"__dlpack__", as_method(api::dlpack), kFastKw,
     "__dlpack__($self, *, stream=None, max_version=None, dl_device=None, copy=None)\n--\n\n"
     "A DLPack capsule of a copy of the values (a consumer could write into the storage itself)."},
    {"__dlpack_device__", as_method(api::dlpack_device), METH_NOARGS,
     "__dlpack_device__($self)\n--\n\n(1, 0): the CPU."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot tensor_slots[] = {
    {Py_tp_doc, const_cast<char*>("Tensor(data, dtype=None, device=\"cpu\", requires_grad=False)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(api::tensor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(tensor_dealloc)},
    {Py_nb_add, reinterpret_cast<void*>(api::nb_add)},
    {Py_nb_subtract, reinterpret_cast<void*>(api::nb_subtract)},
    {Py_nb_multiply, reinterpret_cast<void*>(api::nb_multiply)},
    {Py_nb_true_divide, reinterpret_cast<void*>(api::nb_true_divide)},
    {Py_nb_matrix_multiply, reinterpret_cast<void*>(api::nb_matrix_multiply)},
    {Py_nb_and, reinterpret_cast<void*>(api::nb_and)},
    {Py_nb_or, reinterpret_cast<void*>(api::nb_or)},
    {Py_nb_xor, reinterpret_cast<void*>(api::nb_xor)},
    {Py_nb_invert, reinterpret_cast<void*>(api::nb_invert)},
    {Py_tp_richcompare, reinterpret_cast<void*>(api::richcompare)},
    {Py_tp_getset, api::tensor_properties},
    {Py_tp_methods, tensor_methods},
    {0, nullptr},
};

// Not subclassable (no BASETYPE): the package's class is the one subclass,
// made by make_package_type. Immutable, so nobody can replace __new__ behind
// the vectorcall shortcut installed below.
PyType_Spec tensor_spec = {
    "mirel.Tensor",
    sizeof(PyTensor),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    tensor_slots,
};

}  // namespace

std::atomic<PyTypeObject*> detail::tensor_type_ptr{nullptr};
std::atomic<PyTypeObject*> detail::package_type_ptr{nullptr};

PyObject* make_package_type(PyObject* name, PyObject* namespace_dict) {
  if (detail::package_type_ptr.load(std::memory_order_acquire)) {
    PyErr_SetString(PyExc_RuntimeError, "the package's tensor class exists already");
    return nullptr;
  }
  PyTypeObject* base = tensor_type();
  // The one moment the type accepts a subclass: type() checks BASETYPE only
  // while it creates the class, which keeps its own flags.
  base->tp_flags |= Py_TPFLAGS_BASETYPE;
  auto type = PyRef::steal(PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "O(O)O", name,
                                                 reinterpret_cast<PyObject*>(base), namespace_dict));
  base->tp_flags &= ~Py_TPFLAGS_BASETYPE;
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  if (tp->tp_basicsize != base->tp_basicsize) {
    PyErr_SetString(PyExc_TypeError, "the package's tensor class adds no fields: give it __slots__ = ()");
    return nullptr;
  }
  if (!api::add_rebuild(tp, Face::Package)) return nullptr;
  Py_INCREF(tp);  // held for the life of the process
  detail::package_type_ptr.store(tp, std::memory_order_release);
  return type.release();
}

PyTypeObject* ensure_tensor_type() {
  bool ok = type_once.call([] {
    auto type = PyRef::steal(PyType_FromSpec(&tensor_spec));
    if (!type || !api::add_rebuild(reinterpret_cast<PyTypeObject*>(type.get()), Face::Core)) {
      raise_panic("failed to create type object for `Tensor`");
      return false;
    }
    auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
    // NumPy's opt-out for classes with operators of their own: its arrays and
    // scalars answer NotImplemented to a Tensor instead of treating it as one
    // opaque element, so the Tensor's slots decide every mixed operation.
    if (PyDict_SetItemString(tp->tp_dict, "__array_ufunc__", Py_None) < 0) return false;
    if (!api::add_array_protocol(tp)) return false;
    PyType_Modified(tp);
    // Tensor(...) skips the generic type call (tuple and dict packing, __init__ lookup).
    tp->tp_vectorcall = api::tensor_vectorcall;
    detail::tensor_type_ptr.store(reinterpret_cast<PyTypeObject*>(type.release()), std::memory_order_release);
    return true;
  });
  return ok ? tensor_type() : nullptr;
}

PyObject* wrap(Tensor t, PyTypeObject* type) {
  if (!type) type = type_of(t.face);
  PyObject* o = type->tp_alloc(type, 0);
  if (!o) return nullptr;
  auto* pt = as_py_tensor(o);
  new (&pt->value) Tensor(std::move(t));
  new (&pt->borrows) std::atomic<std::int64_t>(0);
  if (take_tape_growth_notice()) [[unlikely]] {  // Note [tape growth]
    if (PyErr_WarnEx(PyExc_ResourceWarning, kTapeGrowthMessage, 1) < 0) {
      Py_DECREF(o);
      return nullptr;
    }
  }
  return o;
}

PyObject* wrap(Result<Tensor> r) {
  if (!r) return raise(r.error());
  return wrap(std::move(*r));
}

}  // namespace mirel
