#pragma once
// Argument binding and conversion for our callables. Binding follows Python's
// own rules for parameters that are all positional-or-keyword; conversions
// raise with the argument note ("while processing 'shape'") on failure.
//
// Every function returns false / nullopt with a Python exception set on
// failure; bound arguments are borrowed references (nullptr when omitted).
#include "python/pyref.hpp"

#include <cstddef>
#include <optional>
#include <string_view>

#include "engine/cpu/array/layout.hpp"

namespace mirel {

// A C function of any calling convention in the form a method table stores;
// the table's flags say how it is called.
template <class F>
PyCFunction as_method(F* f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(f));
}

struct Signature {
  const char* name;  // as it appears in messages: "Tensor.reshape()", "relu()"
  const char* const* params;
  Py_ssize_t nparams;
  Py_ssize_t nrequired;  // the first nrequired parameters have no default
};

// Vectorcall / METH_FASTCALL|METH_KEYWORDS convention.
bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// tp_new convention: a tuple and an optional dict.
bool bind(const Signature& sig, PyObject* args, PyObject* kwargs, PyObject** out);

// Exact comparison of a str with UTF-8 text (false for non-str and on error, no exception left).
bool str_equals(PyObject* s, std::string_view text) noexcept;

// UTF-8 text of a str; the view lives as long as the object.
std::optional<std::string_view> to_str(PyObject* o, const char* param);
// A Python bool or a NumPy boolean scalar; nothing else (not even 0 or 1).
std::optional<bool> to_bool(PyObject* o, const char* param);
// A non-negative integer that fits a machine word.
std::optional<std::size_t> to_usize(PyObject* o, const char* param);
// A sequence (not a str) of such integers.
std::optional<Shape> to_shape(PyObject* o, const char* param);
// Any object the interpreter converts to a float, narrowed to single precision.
std::optional<float> to_f32(PyObject* o, const char* param);

// The same conversion for operator slots: failure leaves no exception behind.
std::optional<float> try_f32(PyObject* o);

// Round to nearest; magnitudes past the rounding threshold become infinities.
float narrow_to_f32(double d) noexcept;

}  // namespace mirel
