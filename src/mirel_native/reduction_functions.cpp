// Reductions with NumPy's arguments (axis: int, tuple or None; keepdims), and
// the two shape helpers of broadcasting, sum_to and broadcast_to.
#include "mirel_native/functions.hpp"

#include "mirel_native/arguments.hpp"
#include "tensor/api/interchange.hpp"

namespace mirel::native {
namespace {

const char* const kReduceParams[] = {"x", "axis", "keepdims"};

// fn(x, axis=None, keepdims=False) -> what op(tensor, axes, keepdims) gives.
template <class Op>
PyObject* reduction(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op op) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], sig.name, "x")) return nullptr;
    auto keepdims = to_flag(bound[2], "keepdims", false);
    if (!keepdims) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          auto axes = to_axes(bound[1], t.cpu().ndim(), sig.name);
          if (!axes) return nullptr;
          return op(t, *axes, *keepdims);
        },
        bound[0]);
  });
}

#define MIREL_BIND_REDUCE(name)                                                                     \
  const Signature k_##name{#name "()", kReduceParams, 3, 1};                                        \
  PyObject* py_##name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {      \
    return reduction(k_##name, args, nargs, kwnames, [](const Tensor& t, const Axes& axes, bool keep) { \
      return wrap(Tensor::name(t, axes, keep));                                                     \
    });                                                                                             \
  }
MIREL_REDUCE_OPS(MIREL_BIND_REDUCE)
#undef MIREL_BIND_REDUCE

const Signature kArgmax{"argmax()", kReduceParams, 3, 1};
PyObject* py_argmax(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reduction(kArgmax, args, nargs, kwnames, [](const Tensor& t, const Axes& axes, bool keep) -> PyObject* {
    auto r = Tensor::argmax(t, axes, keep);
    if (!r) return raise(r.error());
    return index_array_to_numpy(*r);
  });
}

const char* const kShapeParams[] = {"x", "shape"};
const Signature kSumTo{"sum_to()", kShapeParams, 2, 2};
const Signature kBroadcastTo{"broadcast_to()", kShapeParams, 2, 2};

template <class Op>
PyObject* to_shape_op(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Op op) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], sig.name, "x")) return nullptr;
    auto shape = to_target_shape(bound[1], sig.name, "shape");
    if (!shape) return nullptr;
    return with_tensors([&](const Tensor& t) { return wrap(op(t, *shape)); }, bound[0]);
  });
}

PyObject* py_sum_to(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return to_shape_op(kSumTo, args, nargs, kwnames, Tensor::sum_to);
}
PyObject* py_broadcast_to(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return to_shape_op(kBroadcastTo, args, nargs, kwnames, Tensor::broadcast_to);
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef reduction_functions[] = {
    {"sum", as_method(py_sum), kFast,
     "sum(x, axis=None, keepdims=False)\n--\n\n"
     "Sum over the axes (an int, a tuple, or None for all). Summed in a fixed pairwise order that does not "
     "depend on memory layout; f16 and bf16 are summed in float32 and rounded once. The sum of no elements "
     "is 0. Gradient: g broadcast back to x's shape."},
    {"mean", as_method(py_mean), kFast,
     "mean(x, axis=None, keepdims=False)\n--\n\n"
     "Mean over the axes: the sum (in float32 for f16 and bf16) divided by the count, rounded once; NaN "
     "over no elements. Gradient: g / count, broadcast back to x's shape."},
    {"max", as_method(py_max), kFast,
     "max(x, axis=None, keepdims=False)\n--\n\n"
     "Maximum over the axes; a NaN anywhere gives NaN. Empty axes are an error. Gradient: g shared equally "
     "among the elements equal to the maximum."},
    {"min", as_method(py_min), kFast,
     "min(x, axis=None, keepdims=False)\n--\n\n"
     "Minimum over the axes; a NaN anywhere gives NaN. Empty axes are an error. Gradient: g shared equally "
     "among the elements equal to the minimum."},
    {"argmax", as_method(py_argmax), kFast,
     "argmax(x, axis=None, keepdims=False)\n--\n\n"
     "Index of the first maximum (the first NaN, if any) as a NumPy int64 array, counted in row-major "
     "order over the reduced axes. Not differentiable."},
    {"sum_to", as_method(py_sum_to), kFast,
     "sum_to(x, shape)\n--\n\n"
     "Sums x over the axes that broadcasting `shape` to x's shape would stretch, giving a tensor of that "
     "shape: a broadcast gradient brought back to its operand. Gradient: g broadcast back to x's shape."},
    {"broadcast_to", as_method(py_broadcast_to), kFast,
     "broadcast_to(x, shape)\n--\n\n"
     "A copy of x at a shape it broadcasts to. Gradient: sum_to(g, x.shape), at x's own shape."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
