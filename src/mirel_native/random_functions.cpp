// mirel.random's draws (the Generator class is Python, in mirel/random.py):
// each takes the generator's (seed, offset) and returns (result, blocks read).
#include "mirel_native/functions.hpp"

#include "mirel_native/arguments.hpp"
#include "mirel_native/random_stream.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/interchange.hpp"
#include "util/format.hpp"

namespace mirel::native {

std::optional<PhiloxStream> to_stream(PyObject* seed, PyObject* offset) {
  PhiloxStream s;
  s.seed = PyLong_AsUnsignedLongLong(seed);
  if (s.seed == std::uint64_t(-1) && PyErr_Occurred()) return std::nullopt;
  s.offset = PyLong_AsUnsignedLongLong(offset);
  if (s.offset == std::uint64_t(-1) && PyErr_Occurred()) return std::nullopt;
  return s;
}

PyObject* with_blocks(PyRef result, std::uint64_t blocks) {
  if (!result) return nullptr;
  auto n = PyRef::steal(PyLong_FromUnsignedLongLong(blocks));
  if (!n) return nullptr;
  return PyTuple_Pack(2, result.get(), n.get());
}

namespace {

std::optional<double> number(PyObject* o, const char* param) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    add_argument_note(param);
    return std::nullopt;
  }
  return d;
}

PyObject* package_tensor(Result<CpuStorage> r) {
  if (!r) return raise(r.error());
  return wrap(Tensor::from_storage(std::move(*r), false, Face::Package));
}

// _random(seed, offset, kind, shape, a, b, dtype): kind "uniform" (a = low,
// b = high), "normal" (mean, std) or "bernoulli" (a = p).
PyObject* py_random(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 7, "_random()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    Draw kind = Draw::Uniform;
    if (str_equals(args[2], "normal")) kind = Draw::Normal;
    else if (str_equals(args[2], "bernoulli")) kind = Draw::Bernoulli;
    else if (!str_equals(args[2], "uniform")) return PyErr_Format(PyExc_ValueError, "_random(): unknown kind %R", args[2]);
    auto shape = to_target_shape(args[3], "random", "size");
    if (!shape) return nullptr;
    auto a = number(args[4], "a");
    auto b = a ? number(args[5], "b") : std::nullopt;
    if (!b) return nullptr;
    auto dtype = api::dtype_argument(args[6]);
    if (!dtype) return nullptr;
    if (*dtype == DType::Bool) return PyErr_Format(PyExc_TypeError, "random: 'dtype' must be a float type, not bool");
    auto n = checked_numel(*shape);
    if (!n) return PyErr_NoMemory();
    PyRef out = PyRef::steal(package_tensor(random_draw(kind, *dtype, *shape, *stream, *a, *b)));
    return with_blocks(std::move(out), blocks_for(*n, kOneWordPerBlock));
  });
}

// _bernoulli_of(seed, offset, probs): one draw per element of probs.
PyObject* py_bernoulli_of(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 3, "_bernoulli_of()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    if (!check_tensor(args[2], "bernoulli()", "p")) return nullptr;
    SharedBorrow probs(args[2]);
    if (!probs) return raise_borrow_error();
    PyRef out = PyRef::steal(package_tensor(random_bernoulli_of(probs->cpu(), *stream)));
    return with_blocks(std::move(out), blocks_for(*checked_numel(probs->cpu().shape()), kOneWordPerBlock));
  });
}

// _randint(seed, offset, shape, low, high): int64 in [low, high) as a NumPy array.
PyObject* py_randint(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 5, "_randint()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    auto shape = to_target_shape(args[2], "randint()", "size");
    if (!shape) return nullptr;
    const long long low = PyLong_AsLongLong(args[3]);
    if (low == -1 && PyErr_Occurred()) return nullptr;
    const long long high = PyLong_AsLongLong(args[4]);
    if (high == -1 && PyErr_Occurred()) return nullptr;
    if (high <= low) return PyErr_Format(PyExc_ValueError, "randint(): 'low' (%lld) must be below 'high' (%lld)", low, high);
    auto n = checked_numel(*shape);
    if (!n) return PyErr_NoMemory();
    const std::uint64_t range = std::uint64_t(high) - std::uint64_t(low);
    PyRef out = PyRef::steal(index_array_to_numpy(random_integers(*shape, *stream, low, range)));
    return with_blocks(std::move(out), blocks_for(*n, kTwoWordPerBlock));
  });
}

// _permutation(seed, offset, n): 0 .. n-1 in a random order, a NumPy int64 array.
PyObject* py_permutation(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 3, "_permutation()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    auto n = to_usize(args[2], "n");
    if (!n) return nullptr;
    PyRef out = PyRef::steal(index_array_to_numpy(random_permutation(*n, *stream)));
    return with_blocks(std::move(out), blocks_for(*n, kTwoWordPerBlock));
  });
}

}  // namespace

PyMethodDef random_functions[] = {
    {"_random", as_method(py_random), METH_FASTCALL,
     "_random(seed, offset, kind, size, a, b, dtype) -> (tensor, blocks read)"},
    {"_bernoulli_of", as_method(py_bernoulli_of), METH_FASTCALL,
     "_bernoulli_of(seed, offset, p) -> (tensor, blocks read)"},
    {"_randint", as_method(py_randint), METH_FASTCALL,
     "_randint(seed, offset, size, low, high) -> (int64 array, blocks read)"},
    {"_permutation", as_method(py_permutation), METH_FASTCALL,
     "_permutation(seed, offset, n) -> (int64 array, blocks read)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
