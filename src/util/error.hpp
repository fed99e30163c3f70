#pragma once
// Errors travel as values from where they are detected to the Python boundary,
// where one function (python/errors) turns them into the exception they name.
#include <expected>
#include <string>
#include <utility>

namespace mirel {

enum class ExcKind { Type, Value, Index, Runtime, Overflow, Memory, AlreadySet, Panic };

struct Error {
  ExcKind kind;
  std::string message;
};

template <class T>
using Result = std::expected<T, Error>;

// Kernels report plain messages; the storage layer turns them into Runtime errors.
template <class T>
using Expected = std::expected<T, std::string>;

inline std::unexpected<Error> fail(ExcKind kind, std::string message) {
  return std::unexpected(Error{kind, std::move(message)});
}

// A broken invariant: raised as the module's panic exception, never caught by `except Exception`.
inline std::unexpected<Error> panic(std::string message) {
  return fail(ExcKind::Panic, std::move(message));
}

}  // namespace mirel
