// Shape functions with NumPy's conventions: reshape (one -1 allowed, any
// layout), transpose and permute (negative axes), concatenate, stack, take.
#include "mirel_native/functions.hpp"

#include <vector>

#include "mirel_native/arguments.hpp"
#include "tensor/api/interchange.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

const char* const kReshapeParams[] = {"x", "shape"};
const Signature kReshape{"reshape()", kReshapeParams, 2, 2};

PyObject* py_reshape(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(kReshape, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kReshape.name, "x")) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const std::size_t n = numel(t.cpu().shape());
          auto shape = to_target_shape(bound[1], kReshape.name, "shape", n);
          if (!shape) return nullptr;
          if (numel(*shape) != n) {
            PyErr_Format(PyExc_ValueError, "reshape(): cannot reshape a tensor of shape %s into shape %s",
                         shape_str(t.cpu().shape()).c_str(), shape_str(*shape).c_str());
            return nullptr;
          }
          return wrap(Tensor::reshape_any(t, *shape));
        },
        bound[0]);
  });
}

// A permutation of the axes of rank ndim: every axis once, negatives allowed.
std::optional<Axes> to_permutation(PyObject* dims, std::size_t ndim, const char* fn) {
  Axes perm;
  if (!dims || dims == Py_None) {
    for (std::size_t d = ndim; d-- > 0;) perm.push_back(d);
    return perm;
  }
  auto seq = PyRef::steal(PySequence_Tuple(dims));  // ours: the items' __index__ may change the caller's list
  if (!seq) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: 'axes' must be a sequence of ints", fn);
    return std::nullopt;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  std::vector<bool> seen(ndim, false);
  if (std::size_t(n) != ndim) {
    PyErr_Format(PyExc_ValueError, "%s: axes don't match the tensor: %zd axes given for %zu dimensions", fn, n, ndim);
    return std::nullopt;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto a = to_axis(PyTuple_GET_ITEM(seq.get(), i), ndim, fn);
    if (!a) return std::nullopt;
    if (seen[*a]) {
      PyErr_Format(PyExc_ValueError, "%s: repeated axis in transpose", fn);
      return std::nullopt;
    }
    seen[*a] = true;
    perm.push_back(*a);
  }
  return perm;
}

const char* const kTransposeParams[] = {"x", "axes"};
const Signature kTranspose{"transpose()", kTransposeParams, 2, 1};
const char* const kPermuteParams[] = {"x", "dims"};
const Signature kPermute{"permute()", kPermuteParams, 2, 2};

PyObject* permute_like(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], sig.name, "x")) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          auto perm = to_permutation(bound[1], t.cpu().ndim(), sig.name);
          if (!perm) return nullptr;
          return wrap(Tensor::permute(t, *perm));
        },
        bound[0]);
  });
}

PyObject* py_transpose(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return permute_like(kTranspose, args, nargs, kwnames);
}
PyObject* py_permute(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return permute_like(kPermute, args, nargs, kwnames);
}

// Shared borrows of every tensor in a sequence, which must not be empty. The
// tuple holds a reference to each: later arguments' __index__ may empty the
// caller's list.
struct Borrowed {
  PyRef seq;
  std::vector<std::unique_ptr<SharedBorrow>> borrows;
  std::vector<const Tensor*> tensors;
};

std::optional<Borrowed> borrow_all(PyObject* o, const char* fn) {
  Borrowed b;
  b.seq = PyRef::steal(is_tensor(o) ? nullptr : PySequence_Tuple(o));
  if (!b.seq) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: 'tensors' must be a sequence of Tensors", fn);
    return std::nullopt;
  }
  const Py_ssize_t n = PyTuple_GET_SIZE(b.seq.get());
  if (n == 0) {
    PyErr_Format(PyExc_ValueError, "%s: need at least one tensor", fn);
    return std::nullopt;
  }
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyTuple_GET_ITEM(b.seq.get(), i);
    if (!check_tensor(item, fn, "tensors")) return std::nullopt;
    b.borrows.push_back(std::make_unique<SharedBorrow>(item));
    if (!*b.borrows.back()) {
      raise_borrow_error();
      return std::nullopt;
    }
    b.tensors.push_back(&**b.borrows.back());
  }
  return b;
}

const char* const kJoinParams[] = {"tensors", "axis"};
const Signature kConcatenate{"concatenate()", kJoinParams, 2, 1};
const Signature kStack{"stack()", kJoinParams, 2, 1};

PyObject* join(const Signature& sig, bool stack, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    auto parts = borrow_all(bound[0], sig.name);
    if (!parts) return nullptr;
    const Shape& first = parts->tensors.front()->cpu().shape();
    const std::size_t rank = first.size() + (stack ? 1 : 0);
    if (rank == 0) {
      PyErr_Format(PyExc_ValueError, "%s: zero-dimensional tensors cannot be concatenated", sig.name);
      return nullptr;
    }
    if (rank > kMaxAxes) {
      PyErr_Format(PyExc_ValueError, "%s: a tensor has at most %zu axes, not %zu", sig.name, kMaxAxes, rank);
      return nullptr;
    }
    std::optional<std::size_t> axis = 0;
    if (bound[1]) axis = to_axis(bound[1], rank, sig.name);
    if (!axis) return nullptr;
    for (std::size_t i = 0; i < parts->tensors.size(); ++i) {
      const Shape& s = parts->tensors[i]->cpu().shape();
      bool fits = s.size() == first.size();
      for (std::size_t d = 0; fits && d < s.size(); ++d) fits = s[d] == first[d] || (!stack && d == *axis);
      if (!fits) {
        PyErr_Format(PyExc_ValueError, "%s: tensor %zu has shape %s, which does not fit tensor 0's %s%s", sig.name,
                     i, shape_str(s).c_str(), shape_str(first).c_str(), stack ? "" : " along the other axes");
        return nullptr;
      }
    }
    if (!stack) return wrap(Tensor::concatenate(parts->tensors, *axis));
    // Each part with a new axis of length 1, then joined along it.
    Shape one;
    for (std::size_t d = 0; d <= first.size(); ++d) {
      if (d == *axis) one.push_back(1);
      if (d < first.size()) one.push_back(first[d]);
    }
    std::vector<Tensor> lifted;
    lifted.reserve(parts->tensors.size());
    for (const Tensor* t : parts->tensors) {
      auto r = Tensor::reshape_any(*t, one);
      if (!r) return raise(r.error());
      lifted.push_back(std::move(*r));
    }
    std::vector<const Tensor*> ptrs;
    for (const Tensor& t : lifted) ptrs.push_back(&t);
    return wrap(Tensor::concatenate(ptrs, *axis));
  });
}

PyObject* py_concatenate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return join(kConcatenate, false, args, nargs, kwnames);
}
PyObject* py_stack(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return join(kStack, true, args, nargs, kwnames);
}

const char* const kTakeParams[] = {"x", "indices", "axis"};
const Signature kTake{"take()", kTakeParams, 3, 2};

PyObject* py_take(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kTake, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kTake.name, "x")) return nullptr;
    auto indices = indices_from_python(bound[1]);
    if (!indices) {
      raise(indices.error());
      add_argument_note("indices");
      return nullptr;
    }
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          // No axis: the flattened tensor, as NumPy's take.
          Tensor flat;
          const Tensor* src = &t;
          std::size_t axis = 0;
          if (!bound[2] || bound[2] == Py_None) {
            auto r = Tensor::reshape_any(t, Shape{numel(t.cpu().shape())});
            if (!r) return raise(r.error());
            flat = std::move(*r);
            src = &flat;
          } else {
            auto a = to_axis(bound[2], t.cpu().ndim(), kTake.name);
            if (!a) return nullptr;
            axis = *a;
          }
          const auto size = std::int64_t(src->cpu().shape()[axis]);
          for (std::size_t i = 0; i < indices->size(); ++i) {
            std::int64_t& k = indices->data()[i];
            if (k < -size || k >= size) {
              PyErr_Format(PyExc_IndexError, "take(): index %lld is out of bounds for axis %zu with size %lld",
                           static_cast<long long>(k), axis, static_cast<long long>(size));
              return nullptr;
            }
            if (k < 0) k += size;
          }
          return wrap(Tensor::take(*src, axis, std::move(*indices)));
        },
        bound[0]);
  });
}

}  // namespace

PyMethodDef shape_functions[] = {
    {"reshape", as_method(py_reshape), kFast,
     "reshape(x, shape)\n--\n\n"
     "x's elements in row-major order at a new shape; one length may be -1 and is inferred. Works on any "
     "layout (a row-major copy is made first when needed). Gradient: g reshaped back."},
    {"transpose", as_method(py_transpose), kFast,
     "transpose(x, axes=None)\n--\n\n"
     "x with its axes in the order `axes` gives (reversed when None), negative axes allowed, as NumPy's "
     "transpose. Gradient: g permuted back."},
    {"permute", as_method(py_permute), kFast,
     "permute(x, dims)\n--\n\nx with its axes reordered as `dims`, as PyTorch's permute. Gradient: g permuted back."},
    {"concatenate", as_method(py_concatenate), kFast,
     "concatenate(tensors, axis=0)\n--\n\n"
     "Tensors of one element type joined along an existing axis. Gradient: each tensor gets its slab of g."},
    {"stack", as_method(py_stack), kFast,
     "stack(tensors, axis=0)\n--\n\n"
     "Tensors of one shape and element type joined along a new axis. Gradient: each tensor gets its slab of g."},
    {"take", as_method(py_take), kFast,
     "take(x, indices, axis=None)\n--\n\n"
     "The entries of x along `axis` that the integer `indices` (any shape, negatives count from the end) "
     "name, as NumPy's take; no axis takes from the flattened x. Gradient: g added into the entries taken "
     "(repeated indices accumulate), as an embedding lookup needs."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
