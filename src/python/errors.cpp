#include "python/errors.hpp"

#include <exception>
#include <new>
#include <string>

#include "python/once.hpp"
#include "util/format.hpp"

namespace mirel {

namespace {

PyOnce panic_once;
PyObject* panic_type = nullptr;  // strong reference, kept for the process lifetime

// The pending exception, normalised, as one object (taken off the indicator).
PyObject* fetch_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyErr_GetRaisedException();
#else
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  if (!type) return nullptr;
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb && value) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value;
#endif
}

void restore_exception(PyObject* exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc);
#else
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(exc));
  Py_INCREF(type);
  PyErr_Restore(type, exc, PyException_GetTraceback(exc));
#endif
}

}  // namespace

PyObject* panic_exception_type() {
  bool ok = panic_once.call([] {
    panic_type = PyErr_NewExceptionWithDoc(
        "mirel_core.PanicException",
        "Raised when mirel_core detects a bug in itself (a broken internal invariant).\n\n"
        "It derives from BaseException so that `except Exception` does not swallow it.",
        PyExc_BaseException, nullptr);
    return panic_type != nullptr;
  });
  return ok ? panic_type : nullptr;
}

PyObject* raise_panic(std::string_view message) {
  PyObject* type = panic_exception_type();
  if (!type) return nullptr;  // creating the type failed: that error stays
  auto text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), Py_ssize_t(message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

PyObject* raise(const Error& e) {
  PyObject* type = nullptr;
  switch (e.kind) {
    case ExcKind::Type: type = PyExc_TypeError; break;
    case ExcKind::Value: type = PyExc_ValueError; break;
    case ExcKind::Index: type = PyExc_IndexError; break;
    case ExcKind::Runtime: type = PyExc_RuntimeError; break;
    case ExcKind::Overflow: type = PyExc_OverflowError; break;
    case ExcKind::Memory:
      if (e.message.empty()) return PyErr_NoMemory();
      type = PyExc_MemoryError;
      break;
    case ExcKind::AlreadySet:
      if (PyErr_Occurred()) return nullptr;
      return raise_panic("an error was reported as raised, but no Python exception is set");
    case ExcKind::Panic:
      return raise_panic(e.message);
  }
  if (!type) return raise_panic("unknown error kind");
  auto text = PyRef::steal(PyUnicode_FromStringAndSize(e.message.data(), Py_ssize_t(e.message.size())));
  if (!text) return nullptr;
  PyErr_SetObject(type, text.get());
  return nullptr;
}

Error type_check_error(PyObject* obj, std::string_view expected) {
  if (obj == Py_None) return Error{ExcKind::Type, concat("'None' is not an instance of '", expected, "'")};
  std::string type_name;
  auto qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  const char* utf8 = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), nullptr) : nullptr;
  if (utf8) {
    type_name = utf8;
  } else {
    PyErr_Clear();  // fall back to the C-level name rather than lose the type error
    type_name = Py_TYPE(obj)->tp_name;
  }
  return Error{ExcKind::Type, concat("'", type_name, "' object is not an instance of '", expected, "'")};
}

namespace {

// make_note() returns the note as a new reference; it runs with the pending
// exception fetched, as the C API requires.
template <class MakeNote>
void attach_note(MakeNote make_note) {
  PyObject* exc = fetch_exception();
  if (!exc) return;
  auto note = PyRef::steal(make_note());
  auto done = note ? PyRef::steal(PyObject_CallMethod(exc, "add_note", "O", note.get())) : PyRef();
  if (!done) PyErr_Clear();  // the pending error matters more than its note
  restore_exception(exc);
}

}  // namespace

void add_note(const char* text) {
  attach_note([&] { return PyUnicode_FromString(text); });
}

void add_argument_note(const char* param) {
  attach_note([&] { return PyUnicode_FromFormat("while processing '%s'", param); });
}

PyObject* raise_borrow_error() {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
  return nullptr;
}

namespace detail {

void raise_cpp_exception(const std::exception& e) noexcept {
  if (dynamic_cast<const std::bad_alloc*>(&e)) {
    PyErr_NoMemory();
  } else {
    raise_panic(e.what());
  }
}

}  // namespace detail

}  // namespace mirel
