// mirel.nn.functional: softmax, log_softmax, cross_entropy, mse_loss, linear.
#include "mirel_native/functions.hpp"

#include "mirel_native/arguments.hpp"
#include "tensor/api/interchange.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

const char* const kSoftmaxParams[] = {"x", "axis"};
const Signature kSoftmax{"softmax()", kSoftmaxParams, 2, 1};
const Signature kLogSoftmax{"log_softmax()", kSoftmaxParams, 2, 1};

PyObject* softmax_like(const Signature& sig, bool log, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], sig.name, "x")) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const std::size_t ndim = t.cpu().ndim();
          if (ndim == 0) {
            PyErr_Format(PyExc_ValueError, "%s: 'x' needs at least one axis", sig.name);
            return nullptr;
          }
          std::optional<std::size_t> axis = ndim - 1;
          if (bound[1]) axis = to_axis(bound[1], ndim, sig.name);
          if (!axis) return nullptr;
          return wrap(Tensor::softmax(t, *axis, log));
        },
        bound[0]);
  });
}

PyObject* py_softmax(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return softmax_like(kSoftmax, false, args, nargs, kwnames);
}
PyObject* py_log_softmax(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return softmax_like(kLogSoftmax, true, args, nargs, kwnames);
}

std::optional<Reduction> to_reduction(PyObject* o, const char* fn) {
  if (!o) return Reduction::Mean;
  if (str_equals(o, "mean")) return Reduction::Mean;
  if (str_equals(o, "sum")) return Reduction::Sum;
  if (str_equals(o, "none")) return Reduction::None;
  PyErr_Format(PyExc_ValueError, "%s: 'reduction' must be 'mean', 'sum' or 'none', not %R", fn, o);
  return std::nullopt;
}

// Class indices as int64, one per row, each in [0, classes).
std::optional<NdArray<std::int64_t>> to_labels(PyObject* o, std::size_t rows, std::size_t classes) {
  auto labels = indices_from_python(o);
  if (!labels) {
    raise(labels.error());
    add_argument_note("labels");
    return std::nullopt;
  }
  if (!(labels->shape() == Shape{rows})) {
    PyErr_Format(PyExc_ValueError, "cross_entropy(): 'labels' must hold one class index per row of the logits "
                 "(shape [%zu]), not shape %s", rows, shape_str(labels->shape()).c_str());
    return std::nullopt;
  }
  for (std::size_t i = 0; i < rows; ++i) {
    const std::int64_t c = labels->data()[i];
    if (c < 0 || std::uint64_t(c) >= classes) {
      PyErr_Format(PyExc_IndexError, "cross_entropy(): label %lld at position %zu is out of range for %zu classes",
                   static_cast<long long>(c), i, classes);
      return std::nullopt;
    }
  }
  return std::move(*labels);
}

const char* const kCrossEntropyParams[] = {"logits", "labels", "reduction"};
const Signature kCrossEntropy{"cross_entropy()", kCrossEntropyParams, 3, 2};

PyObject* py_cross_entropy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kCrossEntropy, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kCrossEntropy.name, "logits")) return nullptr;
    auto reduction = to_reduction(bound[2], kCrossEntropy.name);
    if (!reduction) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const Shape& shape = t.cpu().shape();
          if (shape.size() != 2) {
            PyErr_Format(PyExc_ValueError, "cross_entropy(): 'logits' must have shape [N, C], not %s",
                         shape_str(shape).c_str());
            return nullptr;
          }
          auto labels = to_labels(bound[1], shape[0], shape[1]);
          if (!labels) return nullptr;
          return wrap(Tensor::cross_entropy(t, std::move(*labels), *reduction));
        },
        bound[0]);
  });
}

const char* const kMseParams[] = {"input", "target", "reduction"};
const Signature kMse{"mse_loss()", kMseParams, 3, 2};

PyObject* py_mse_loss(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kMse, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kMse.name, "input")) return nullptr;
    auto reduction = to_reduction(bound[2], kMse.name);
    if (!reduction) return nullptr;
    // A target that is not a tensor (a NumPy array, a list, a number) becomes
    // one of the input's type and element type.
    PyRef target = PyRef::borrow(bound[1]);
    if (!is_tensor(bound[1])) {
      auto dtype = PyRef::steal(PyObject_GetAttrString(bound[0], "dtype"));
      auto call_args = PyRef::steal(PyTuple_Pack(1, bound[1]));
      auto kwargs = PyRef::steal(dtype && call_args ? Py_BuildValue("{sO}", "dtype", dtype.get()) : nullptr);
      if (!kwargs) return nullptr;
      target = PyRef::steal(PyObject_Call(reinterpret_cast<PyObject*>(Py_TYPE(bound[0])), call_args.get(), kwargs.get()));
      if (!target) {
        add_argument_note("target");
        return nullptr;
      }
    }
    return with_tensors(
        [&](const Tensor& a, const Tensor& b) -> PyObject* {
          if (!check_broadcast(kMse.name, a.cpu().shape(), b.cpu().shape())) return nullptr;
          auto diff = Tensor::sub(a, b);
          if (!diff) return raise(diff.error());
          auto squared = Tensor::square(*diff);
          if (!squared || *reduction == Reduction::None) return wrap(std::move(squared));
          Axes all;
          for (std::size_t d = 0; d < squared->cpu().ndim(); ++d) all.push_back(d);
          return wrap(*reduction == Reduction::Sum ? Tensor::sum(*squared, all, false)
                                                   : Tensor::mean(*squared, all, false));
        },
        bound[0], target.get());
  });
}

const char* const kLinearParams[] = {"x", "weight", "bias"};
const Signature kLinear{"linear()", kLinearParams, 3, 2};

PyObject* py_linear(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kLinear, args, nargs, kwnames, bound)) return nullptr;
    PyObject* bias = bound[2] == Py_None ? nullptr : bound[2];
    if (!check_tensor(bound[0], kLinear.name, "x") || !check_tensor(bound[1], kLinear.name, "weight") ||
        (bias && !check_tensor(bias, kLinear.name, "bias"))) {
      return nullptr;
    }
    SharedBorrow x(bound[0]), w(bound[1]);
    std::optional<SharedBorrow> b;
    if (bias) b.emplace(bias);
    if (!x || !w || (b && !*b)) return raise_borrow_error();
    const Shape &xs = x->cpu().shape(), &ws = w->cpu().shape();
    if (ws.size() != 2 || xs.empty() || xs.back() != ws[1]) {
      PyErr_Format(PyExc_ValueError,
                   "linear(): 'weight' must have shape [out_features, %s] for 'x' of shape %s, not %s",
                   xs.empty() ? "in_features" : std::to_string(xs.back()).c_str(), shape_str(xs).c_str(),
                   shape_str(ws).c_str());
      return nullptr;
    }
    if (b && !((**b).cpu().shape() == Shape{ws[0]})) {
      PyErr_Format(PyExc_ValueError, "linear(): 'bias' must have shape [%zu], not %s", ws[0],
                   shape_str((**b).cpu().shape()).c_str());
      return nullptr;
    }
    return wrap(Tensor::linear(*x, *w, b ? &**b : nullptr));
  });
}

}  // namespace

PyMethodDef loss_functions[] = {
    {"softmax", as_method(py_softmax), kFast,
     "softmax(x, axis=-1)\n--\n\n"
     "exp(x - max) / sum(exp(x - max)) along the axis, fused and stable for logits of any size; computed in "
     "float32 and rounded once. Gradient: y * (g - sum(g * y))."},
    {"log_softmax", as_method(py_log_softmax), kFast,
     "log_softmax(x, axis=-1)\n--\n\n"
     "(x - max) - log(sum(exp(x - max))) along the axis, fused and stable. Gradient: g - exp(y) * sum(g)."},
    {"cross_entropy", as_method(py_cross_entropy), kFast,
     "cross_entropy(logits, labels, reduction='mean')\n--\n\n"
     "Cross-entropy of logits [N, C] against class indices `labels` (a NumPy integer array of N entries): "
     "logsumexp(row) - row[label] per row, averaged ('mean'), summed ('sum') or kept ('none'). Fused and "
     "stable. Gradient: g * (softmax(row) - onehot(label)), divided by N for 'mean'."},
    {"mse_loss", as_method(py_mse_loss), kFast,
     "mse_loss(input, target, reduction='mean')\n--\n\n"
     "Mean ('mean'), sum ('sum') or elementwise ('none') of (input - target)**2, broadcasting."},
    {"linear", as_method(py_linear), kFast,
     "linear(x, weight, bias=None)\n--\n\n"
     "x @ weight.T + bias, with weight [out_features, in_features] and bias [out_features] as in PyTorch; "
     "weight is read in place (no transposed copy). The gradients of weight and bias arrive at their own "
     "shapes, summed over x's leading axes."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
