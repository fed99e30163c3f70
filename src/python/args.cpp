#include "python/args.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "util/format.hpp"

namespace mirel {

namespace {

bool fail_binding(std::string message) {
  raise(Error{ExcKind::Type, std::move(message)});
  return false;
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c' (the interpreter's own wording).
std::string quoted_list(const char* const* names, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) {
    if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
    out += concat("'", names[i], "'");
  }
  return out;
}

bool too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* verb = given == 1 ? "was" : "were";
  if (sig.nrequired == sig.nparams) {
    return fail_binding(
        concat(sig.name, " takes ", sig.nparams, " positional arguments but ", given, " ", verb, " given"));
  }
  return fail_binding(concat(sig.name, " takes from ", sig.nrequired, " to ", sig.nparams,
                             " positional arguments but ", given, " ", verb, " given"));
}

// Places one keyword argument; nargs positional arguments are already bound.
bool bind_keyword(const Signature& sig, PyObject* key, PyObject* value, Py_ssize_t nargs, PyObject** out) {
  for (Py_ssize_t j = 0; j < sig.nparams; ++j) {
    if (!str_equals(key, sig.params[j])) continue;
    if (j < nargs || out[j]) {
      return fail_binding(concat(sig.name, " got multiple values for argument '", sig.params[j], "'"));
    }
    out[j] = value;
    return true;
  }
  // Formatted by the interpreter: a keyword need not be valid UTF-8 (a lone surrogate), and is shown as given.
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.name, key);
  return false;
}

bool check_missing(const Signature& sig, PyObject** out) {
  std::vector<const char*> missing;
  for (Py_ssize_t j = 0; j < sig.nrequired; ++j) {
    if (!out[j]) missing.push_back(sig.params[j]);
  }
  if (missing.empty()) return true;
  const std::size_t n = missing.size();
  return fail_binding(concat(sig.name, " missing ", n, " required positional ", n == 1 ? "argument" : "arguments",
                             ": ", quoted_list(missing.data(), n)));
}

bool bind_positional(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject** out) {
  if (nargs > sig.nparams) return too_many_positional(sig, nargs);
  for (Py_ssize_t j = 0; j < sig.nparams; ++j) out[j] = j < nargs ? args[j] : nullptr;
  return true;
}

bool fail_with_note(const char* param) {
  add_argument_note(param);
  return false;
}

std::optional<double> as_double(PyObject* o) {
  if (PyFloat_CheckExact(o)) return PyFloat_AS_DOUBLE(o);
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return std::nullopt;
  return d;
}

// Without the note: to_shape adds one note for the whole sequence.
std::optional<std::size_t> as_usize(PyObject* o) {
  PyRef index;
  if (!PyLong_Check(o)) {
    index = PyRef::steal(PyNumber_Index(o));
    if (!index) return std::nullopt;
    o = index.get();
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(o);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return std::nullopt;
  if constexpr (sizeof(unsigned long long) > sizeof(std::size_t)) {
    if (v > SIZE_MAX) {
      PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
      return std::nullopt;
    }
  }
  return static_cast<std::size_t>(v);
}

// A list or tuple whose items are all exact ints.
bool lengths_in_place(PyObject* o) noexcept {
  if (!PyList_CheckExact(o) && !PyTuple_CheckExact(o)) return false;
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
  PyObject** items = PySequence_Fast_ITEMS(o);
  return std::all_of(items, items + n, [](PyObject* item) { return PyLong_CheckExact(item); });
}

}  // namespace

bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (!bind_positional(sig, args, nargs, out)) return false;
  if (kwnames) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!bind_keyword(sig, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], nargs, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  if (!bind_positional(sig, &PyTuple_GET_ITEM(args, 0), nargs, out)) return false;
  if (kwargs) {
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(sig, key, value, nargs, out)) return false;
    }
  }
  return check_missing(sig, out);
}

bool str_equals(PyObject* s, std::string_view text) noexcept {
  if (!PyUnicode_Check(s)) return false;
#if PY_VERSION_HEX >= 0x030D0000
  return PyUnicode_EqualToUTF8AndSize(s, text.data(), Py_ssize_t(text.size())) == 1;
#else
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(s, &len);
  if (!utf8) {
    PyErr_Clear();  // lone surrogates: not equal to any valid UTF-8 text
    return false;
  }
  return std::size_t(len) == text.size() && std::memcmp(utf8, text.data(), text.size()) == 0;
#endif
}

std::optional<std::string_view> to_str(PyObject* o, const char* param) {
  if (!PyUnicode_Check(o)) {
    raise(type_check_error(o, "str"));
    fail_with_note(param);
    return std::nullopt;
  }
  Py_ssize_t len = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(o, &len);
  if (!utf8) {
    fail_with_note(param);
    return std::nullopt;
  }
  return std::string_view(utf8, std::size_t(len));
}

// NumPy's boolean scalar type, numpy.bool (NumPy 2) or numpy.bool_ (NumPy 1).
// Found through an already imported numpy, so the check never imports it: an
// object of that type cannot exist before numpy is imported.
static bool is_numpy_bool(PyObject* o) {
  const char* name = Py_TYPE(o)->tp_name;
  if (std::strcmp(name, "numpy.bool") != 0 && std::strcmp(name, "numpy.bool_") != 0) return false;
  PyObject* numpy = PyDict_GetItemString(PyImport_GetModuleDict(), "numpy");  // borrowed
  if (!numpy) return false;
  auto bool_type = PyRef::steal(PyObject_GetAttrString(numpy, "bool_"));
  if (!bool_type) PyErr_Clear();
  return bool_type.get() == reinterpret_cast<PyObject*>(Py_TYPE(o));
}

std::optional<bool> to_bool(PyObject* o, const char* param) {
  if (o == Py_True) return true;
  if (o == Py_False) return false;
  if (is_numpy_bool(o)) {
    int truth = PyObject_IsTrue(o);
    if (truth < 0) {
      fail_with_note(param);
      return std::nullopt;
    }
    return truth == 1;
  }
  raise(type_check_error(o, "bool"));
  fail_with_note(param);
  return std::nullopt;
}

std::optional<std::size_t> to_usize(PyObject* o, const char* param) {
  auto v = as_usize(o);
  if (!v) fail_with_note(param);
  return v;
}

std::optional<Shape> to_shape(PyObject* o, const char* param) {
  if (PyUnicode_Check(o)) {
    raise(Error{ExcKind::Type, "Can't extract `str` to `Vec`"});
    fail_with_note(param);
    return std::nullopt;
  }
  if (!PySequence_Check(o)) {
    raise(type_check_error(o, "Sequence"));
    fail_with_note(param);
    return std::nullopt;
  }
  // Exact ints convert without running Python code, so a list or tuple of them
  // is read in place. Anything else goes through a tuple of our own: converting
  // an element runs its __index__, which may change a list we would be walking.
  PyRef seq;
  if (!lengths_in_place(o)) {
    seq = PyRef::steal(PySequence_Tuple(o));
    if (!seq) {
      fail_with_note(param);
      return std::nullopt;
    }
    o = seq.get();
  }
  const Py_ssize_t n = PySequence_Fast_GET_SIZE(o);
  PyObject** items = PySequence_Fast_ITEMS(o);
  Shape shape;
  shape.reserve(std::size_t(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto d = as_usize(items[i]);
    if (!d) {
      fail_with_note(param);
      return std::nullopt;
    }
    shape.push_back(*d);
  }
  return shape;
}

float narrow_to_f32(double d) noexcept {
  // 2^128 - 2^103: halfway between FLT_MAX and 2^128. From there on the
  // nearest float (ties to even) is infinity; below it the cast is in range.
  constexpr double kOverflow = 0x1.ffffffp127;
  if (d >= kOverflow) return INFINITY;
  if (d <= -kOverflow) return -INFINITY;
  return static_cast<float>(d);
}

std::optional<float> to_f32(PyObject* o, const char* param) {
  auto d = as_double(o);
  if (!d) {
    fail_with_note(param);
    return std::nullopt;
  }
  return narrow_to_f32(*d);
}

std::optional<float> try_f32(PyObject* o) {
  // An array with axes is not a number, even when it holds one element.
  if (!PyFloat_Check(o) && !PyLong_Check(o) && numpy_api::is_array_with_axes(o)) return std::nullopt;
  auto d = as_double(o);
  if (!d) {
    PyErr_Clear();
    return std::nullopt;
  }
  return narrow_to_f32(*d);
}

}  // namespace mirel
