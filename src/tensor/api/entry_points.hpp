#pragma once
// Everything the interpreter calls on a Tensor, gathered into the type object
// by py_tensor.cpp. Each entry point converts its arguments, calls one Tensor
// operation and wraps the result; none lets a C++ exception escape.
#include "python/pyref.hpp"

#include <optional>

#include "tensor/core/tensor.hpp"

namespace mirel::api {

// construct.cpp
PyObject* tensor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);
// The element type a `dtype` argument names, read as Tensor(..., dtype=) reads
// it (None: f32); nothing with the exception raised.
std::optional<DType> dtype_argument(PyObject* dtype);
PyObject* tensor_vectorcall(PyObject* type, PyObject* const* args, size_t nargsf, PyObject* kwnames);

// properties.cpp: shape, ndim, strides, dtype, device, requires_grad
extern PyGetSetDef tensor_properties[];

// methods.cpp
PyObject* grad(PyObject* self, PyObject*);
PyObject* to_numpy(PyObject* self, PyObject*);
PyObject* zeros_like(PyObject* self, PyObject*);
PyObject* ones_like(PyObject* self, PyObject*);
PyObject* reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* backward(PyObject* self, PyObject*);
PyObject* clear_graph(PyObject*, PyObject*);

// pickle.cpp: __reduce_ex__, and the function Tensor._rebuild it names
PyObject* reduce_ex(PyObject* self, PyObject* protocol);
bool add_rebuild(PyTypeObject* type, Face face);

// operators.cpp
PyObject* nb_add(PyObject* l, PyObject* r);
PyObject* nb_subtract(PyObject* l, PyObject* r);
PyObject* nb_multiply(PyObject* l, PyObject* r);
PyObject* nb_true_divide(PyObject* l, PyObject* r);
PyObject* nb_matrix_multiply(PyObject* l, PyObject* r);
PyObject* nb_and(PyObject* l, PyObject* r);
PyObject* nb_or(PyObject* l, PyObject* r);
PyObject* nb_xor(PyObject* l, PyObject* r);
PyObject* nb_invert(PyObject* self);
PyObject* richcompare(PyObject* self, PyObject* other, int op);
PyObject* req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace mirel::api
