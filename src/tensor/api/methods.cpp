// Tensor methods: grad, to_numpy, zeros_like, ones_like, reshape, transpose,
// backward and the static clear_graph. Each converts its arguments, calls one
// Tensor operation and wraps the result.
#include "python/numpy_api.hpp"

#include "tensor/api/interchange.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::api {

namespace {

const char* const kReshapeParams[] = {"shape"};
const Signature kReshape{"Tensor.reshape()", kReshapeParams, 1, 1};
const char* const kTransposeParams[] = {"dim0", "dim1"};
const Signature kTranspose{"Tensor.transpose()", kTransposeParams, 2, 2};

// The storage as a new NumPy array, or nullptr with the exception raised.
PyObject* export_storage(const CpuStorage& storage) {
  if (!numpy_api::ensure_loaded()) return nullptr;
  auto array = storage_to_numpy(storage);
  if (!array) return raise(array.error());
  return *array;
}

}  // namespace

PyObject* grad(PyObject* self, PyObject*) {
  return with_tensor(self, [](const Tensor& t) -> PyObject* {
    if (!t.node_id) Py_RETURN_NONE;  // untracked: the tape is not consulted
    auto g = Tensor::grad(t);
    if (!g) Py_RETURN_NONE;
    return export_storage((*g)->cpu);
  });
}

PyObject* to_numpy(PyObject* self, PyObject*) {
  return with_tensor(self, [](const Tensor& t) { return export_storage(t.cpu()); });
}

PyObject* zeros_like(PyObject* self, PyObject*) {
  return with_tensor(self, [](const Tensor& t) { return wrap(Tensor::zeros_like(t)); });
}

PyObject* ones_like(PyObject* self, PyObject*) {
  return with_tensor(self, [](const Tensor& t) { return wrap(Tensor::ones_like(t)); });
}

PyObject* reshape(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tensor(self, [&](const Tensor& t) -> PyObject* {
    PyObject* bound[1];
    if (!bind(kReshape, args, nargs, kwnames, bound)) return nullptr;
    auto shape = to_shape(bound[0], "shape");
    if (!shape) return nullptr;
    return wrap(Tensor::reshape(t, *shape));
  });
}

PyObject* transpose(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return with_tensor(self, [&](const Tensor& t) -> PyObject* {
    PyObject* bound[2];
    if (!bind(kTranspose, args, nargs, kwnames, bound)) return nullptr;
    auto dim0 = to_usize(bound[0], "dim0");
    if (!dim0) return nullptr;
    auto dim1 = to_usize(bound[1], "dim1");
    if (!dim1) return nullptr;
    return wrap(Tensor::transpose(t, *dim0, *dim1));
  });
}

PyObject* backward(PyObject* self, PyObject*) {
  return with_tensor(self, [](const Tensor& t) -> PyObject* {
    auto r = Tensor::backward(t);
    if (!r) return raise(r.error());
    Py_RETURN_NONE;
  });
}

PyObject* clear_graph(PyObject*, PyObject*) {
  return guard([]() -> PyObject* {
    Tensor::clear_graph();
    Py_RETURN_NONE;
  });
}

}  // namespace mirel::api
