#pragma once
// Arguments of the mirel package's functions, in NumPy's conventions: tensors
// named in messages, `axis` as an int, a tuple of ints or None (negative
// axes count from the end), shapes that may hold one -1.
#include "python/pyref.hpp"

#include <optional>

#include "python/args.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::native {

// The tensor in o, or a TypeError naming the function and the parameter.
bool check_tensor(PyObject* o, const char* fn, const char* param);

// False with a TypeError unless a private function got exactly `want` positional arguments.
bool arity(Py_ssize_t nargs, Py_ssize_t want, const char* fn);

// False with a ValueError naming the function and both shapes when they do not broadcast together.
bool check_broadcast(const char* fn, const Shape& a, const Shape& b);

// Runs op(const Tensor&...) on shared borrows of tensor arguments, inside guard().
template <class Op>
PyObject* with_tensors(Op op, PyObject* a) {
  SharedBorrow ta(a);
  if (!ta) return raise_borrow_error();
  return op(*ta);
}
template <class Op>
PyObject* with_tensors(Op op, PyObject* a, PyObject* b) {
  SharedBorrow ta(a), tb(b);
  if (!ta || !tb) return raise_borrow_error();
  return op(*ta, *tb);
}

// `axis` for a tensor of rank ndim: None is every axis; the result is sorted.
// Out of range: numpy.exceptions.AxisError (a ValueError and an IndexError);
// repeated: ValueError.
std::optional<Axes> to_axes(PyObject* axis, std::size_t ndim, const char* fn);

// One axis (an int, negative counting from the end), for rank ndim.
std::optional<std::size_t> to_axis(PyObject* axis, std::size_t ndim, const char* fn);

// `keepdims` and the like: a bool (or a NumPy bool); None when omitted.
std::optional<bool> to_flag(PyObject* o, const char* param, bool otherwise);

// A shape (sequence of ints, or one int); with `numel`, one entry may be -1
// and is inferred, as reshape does.
std::optional<Shape> to_target_shape(PyObject* o, const char* fn, const char* param,
                                     std::optional<std::size_t> numel = std::nullopt);

}  // namespace mirel::native
