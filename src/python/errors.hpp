#pragma once
// The Python side of error handling: an Error value becomes the exception it
// names here and nowhere else; conversion failures get the argument note; and
// every entry point runs its body under guard() so that no C++ exception ever
// unwinds into the interpreter.
#include "python/pyref.hpp"

#include <exception>
#include <string_view>
#include <type_traits>

#include "util/error.hpp"

namespace mirel {

// Raises the exception the error names and returns nullptr, so that a slot can
// end with `return raise(r.error());`. AlreadySet leaves the pending exception.
PyObject* raise(const Error& e);

// The PanicException class (borrowed, created on first use), or nullptr with
// the creation's error set.
PyObject* panic_exception_type();

// Raises PanicException (created on first use, derived from BaseException)
// with the text as its single argument. Returns nullptr.
PyObject* raise_panic(std::string_view message);

// "'{}' object is not an instance of '{}'", or "'None' is not an instance of
// '{}'" when the object is None: the one message for a failed type check.
Error type_check_error(PyObject* obj, std::string_view expected);

// Adds a note to the pending exception, keeping its type and message. The
// exception matters more than its note: a note that cannot be added is dropped.
void add_note(const char* text);

// Adds the note "while processing '{param}'" to the pending exception.
void add_argument_note(const char* param);

// Raises RuntimeError "Already mutably borrowed". Returns nullptr.
PyObject* raise_borrow_error();

namespace detail {
// A C++ exception that reached an entry point becomes MemoryError
// (std::bad_alloc) or PanicException (anything else).
void raise_cpp_exception(const std::exception& e) noexcept;
}  // namespace detail

// Runs an entry point's body; a C++ exception that escapes it is turned into a
// Python exception and the entry point returns its error value (nullptr or -1).
//
// Note [forced unwinding]: a daemon thread that asks for the interpreter back
// while it shuts down is ended with pthread_exit, which unwinds the stack with
// an exception of its own. It must pass every frame untouched: no handler may
// catch it (so none here catches everything: our code throws only standard
// exceptions), and no noexcept function may lie between a call into Python and
// the entry point (that would end the process in std::terminate).
template <class F>
auto guard(F&& body) -> std::invoke_result_t<F> {
  using R = std::invoke_result_t<F>;
  static_assert(std::is_pointer_v<R> || std::is_same_v<R, int>);
  try {
    return body();
  } catch (const std::exception& e) {
    detail::raise_cpp_exception(e);
    if constexpr (std::is_pointer_v<R>) return nullptr;
    else return -1;
  }
}

}  // namespace mirel
