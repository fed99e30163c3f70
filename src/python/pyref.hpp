#pragma once
// Python.h comes first in every file that talks to the interpreter, so that
// its feature macros are seen before any standard header.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace mirel {

// Whether this thread holds the interpreter. A daemon thread that tries to take
// it back while the interpreter shuts down is ended by forced unwinding, with
// no thread state: nothing on that road may touch an object.
inline bool holds_interpreter() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked() != nullptr;
#elif PY_VERSION_HEX >= 0x030C0000
  return _PyThreadState_UncheckedGet() != nullptr;
#else
  // Before 3.12 the "current" thread state is the interpreter's, not this
  // thread's: it names whichever thread holds the lock (at shutdown, the main
  // thread, or none). It is compared with this thread's own directly:
  // PyGILState_Check answers yes for everyone once shutdown has taken its
  // bookkeeping down, which is exactly when a daemon thread is ended.
  PyThreadState* const current = _PyThreadState_UncheckedGet();
  return current != nullptr && current == PyGILState_GetThisThreadState();
#endif
}

// Holds exactly one strong reference, or none. Every new reference is wrapped
// at once, so that every path out of an entry point releases it.
class PyRef {
 public:
  static PyRef steal(PyObject* p) noexcept { return PyRef(p); }
  static PyRef borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return PyRef(p);
  }

  PyRef() = default;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }
  PyRef(const PyRef&) = delete;  // an extra incref must be visible: borrow(x.get())
  // Without the interpreter (see holds_interpreter) the reference is left to
  // the ending process rather than released unsafely.
  ~PyRef() {
    if (p_ && holds_interpreter()) Py_DECREF(p_);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }

 private:
  explicit PyRef(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

}  // namespace mirel
