#include "mirel_native/arguments.hpp"

#include <algorithm>
#include <limits>

#include "python/errors.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "python/numpy_api.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

PyObject* fail(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  return nullptr;
}

// An index as a Python int (int, NumPy integer, anything with __index__; not bool).
std::optional<Py_ssize_t> to_index(PyObject* o, const char* fn, const char* param) {
  if (PyBool_Check(o) || !PyIndex_Check(o)) {
    fail(PyExc_TypeError, concat(fn, ": '", param, "' must be an int or a tuple of ints, not '",
                                 Py_TYPE(o)->tp_name, "'"));
    return std::nullopt;
  }
  const Py_ssize_t v = PyNumber_AsSsize_t(o, PyExc_OverflowError);
  if (v == -1 && PyErr_Occurred()) return std::nullopt;
  return v;
}

// numpy.exceptions.AxisError(axis, ndim): "axis 2 is out of bounds for array of dimension 2".
void raise_axis_error(Py_ssize_t axis, std::size_t ndim) {
  PyObject* np = numpy_api::numpy_module();
  if (!np) return;
  auto exceptions = PyRef::steal(PyObject_GetAttrString(np, "exceptions"));
  auto cls = exceptions ? PyRef::steal(PyObject_GetAttrString(exceptions.get(), "AxisError")) : PyRef();
  if (!cls) return;
  auto exc = PyRef::steal(PyObject_CallFunction(cls.get(), "nn", axis, Py_ssize_t(ndim)));
  if (exc) PyErr_SetObject(cls.get(), exc.get());
}

std::optional<std::size_t> normalise(Py_ssize_t a, std::size_t ndim) {
  const auto n = Py_ssize_t(ndim);
  if (a < -n || a >= n) {
    raise_axis_error(a, ndim);
    return std::nullopt;
  }
  return std::size_t(a < 0 ? a + n : a);
}

}  // namespace

bool check_tensor(PyObject* o, const char* fn, const char* param) {
  if (is_tensor(o)) return true;
  fail(PyExc_TypeError, concat(fn, ": '", param, "' must be a Tensor, not '", Py_TYPE(o)->tp_name, "'"));
  return false;
}

bool arity(Py_ssize_t nargs, Py_ssize_t want, const char* fn) {
  if (nargs == want) return true;
  PyErr_Format(PyExc_TypeError, "%s takes %zd arguments (%zd given)", fn, want, nargs);
  return false;
}

bool check_broadcast(const char* fn, const Shape& a, const Shape& b) {
  if (broadcast_shapes(a, b)) return true;
  fail(PyExc_ValueError, concat(fn, ": shapes ", shape_str(a), " and ", shape_str(b), " do not broadcast together"));
  return false;
}

std::optional<std::size_t> to_axis(PyObject* axis, std::size_t ndim, const char* fn) {
  auto a = to_index(axis, fn, "axis");
  if (!a) return std::nullopt;
  return normalise(*a, ndim);
}

std::optional<Axes> to_axes(PyObject* axis, std::size_t ndim, const char* fn) {
  Axes axes;
  if (!axis || axis == Py_None) {
    for (std::size_t d = 0; d < ndim; ++d) axes.push_back(d);
    return axes;
  }
  if (!PyTuple_Check(axis) && !PyList_Check(axis)) {
    auto a = to_axis(axis, ndim, fn);
    if (!a) return std::nullopt;
    axes.push_back(*a);
    return axes;
  }
  // A tuple of our own holds the items: their __index__ may change the caller's list.
  auto items = PyRef::steal(PySequence_Tuple(axis));
  if (!items) return std::nullopt;
  const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto a = to_axis(PyTuple_GET_ITEM(items.get(), i), ndim, fn);
    if (!a) return std::nullopt;
    if (std::find(axes.begin(), axes.end(), *a) != axes.end()) {
      fail(PyExc_ValueError, concat(fn, ": duplicate value in 'axis'"));
      return std::nullopt;
    }
    axes.push_back(*a);
  }
  std::sort(axes.begin(), axes.end());
  return axes;
}

std::optional<bool> to_flag(PyObject* o, const char* param, bool otherwise) {
  if (!o) return otherwise;
  return to_bool(o, param);
}

std::optional<Shape> to_target_shape(PyObject* o, const char* fn, const char* param,
                                     std::optional<std::size_t> numel) {
  // A tuple of our own: the items' __index__ may change a list the caller passed.
  auto seq = PyRef::steal(PyIndex_Check(o) ? PyTuple_Pack(1, o) : PySequence_Tuple(o));
  if (!seq || PyUnicode_Check(o) || PyBytes_Check(o)) {
    PyErr_Clear();
    fail(PyExc_TypeError, concat(fn, ": '", param, "' must be a sequence of ints, not '", Py_TYPE(o)->tp_name, "'"));
    return std::nullopt;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  if (std::size_t(n) > kMaxAxes) {
    fail(PyExc_ValueError, concat(fn, ": a tensor has at most ", kMaxAxes, " axes, not ", n));
    return std::nullopt;
  }
  Shape shape;
  std::optional<std::size_t> inferred;
  std::size_t known = 1;
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto v = to_index(PyTuple_GET_ITEM(seq.get(), i), fn, param);
    if (!v) return std::nullopt;
    if (*v == -1 && numel && !inferred) {
      inferred = std::size_t(i);
      shape.push_back(0);
      continue;
    }
    if (*v < 0) {
      fail(PyExc_ValueError, concat(fn, ": '", param, "' holds the negative length ", *v,
                                    numel ? " (only one -1 may stand for an inferred length)" : ""));
      return std::nullopt;
    }
    shape.push_back(std::size_t(*v));
    if (*v != 0 && __builtin_mul_overflow(known, std::size_t(*v), &known)) known = std::numeric_limits<std::size_t>::max();
    if (*v == 0) known = 0;
  }
  if (inferred) {
    if (known == 0 || *numel % known != 0) {
      fail(PyExc_ValueError, concat(fn, ": cannot reshape ", *numel, " elements into the shape ",
                                    shape_str(shape), " with -1 at position ", *inferred));
      return std::nullopt;
    }
    shape[*inferred] = *numel / known;
  }
  return shape;
}

}  // namespace mirel::native
