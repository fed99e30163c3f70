// Read-only properties of Tensor: shape, ndim, strides, dtype, device,
// requires_grad. None has a setter, so assigning raises AttributeError.
#include "python/pyref.hpp"

#include "python/errors.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::api {

namespace {

template <class Range, class Convert>
PyObject* int_list(const Range& values, Convert convert) {
  auto list = PyRef::steal(PyList_New(Py_ssize_t(values.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (auto v : values) {
    PyObject* item = convert(v);
    if (!item) return nullptr;
    PyList_SET_ITEM(list.get(), i++, item);
  }
  return list.release();
}

PyObject* get_shape(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor& t) {
    return int_list(t.cpu().shape(), [](std::size_t d) { return PyLong_FromSize_t(d); });
  });
}

PyObject* get_ndim(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor& t) { return PyLong_FromSize_t(t.cpu().ndim()); });
}

PyObject* get_strides(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor& t) {
    return int_list(t.cpu().strides(), [](std::ptrdiff_t s) { return PyLong_FromSsize_t(s); });
  });
}

PyObject* get_dtype(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor& t) -> PyObject* {
    const std::string_view name = dtype_py_name(t.cpu().dtype());
    return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
  });
}

PyObject* get_device(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor&) { return PyUnicode_FromString("cpu"); });
}

PyObject* get_requires_grad(PyObject* self, void*) {
  return with_tensor(self, [](const Tensor& t) { return PyBool_FromLong(t.requires_grad); });
}

}  // namespace

PyGetSetDef tensor_properties[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace mirel::api
