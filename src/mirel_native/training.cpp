// What mirel.Parameters and mirel.optim run natively: leaves over master
// weights without a copy, gradients summed back to a parameter's shape in f32,
// and the fused optimizer steps. Private to the package (underscored names):
// the Python layer checks the arguments' meaning, this file their types.
#include "mirel_native/functions.hpp"

#include <cmath>
#include <string_view>

#include "autograd/graph.hpp"
#include "engine/cpu/numeric/optim/steps.hpp"
#include "mirel_native/arguments.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

// The f32 row-major data of an untracked master weight, or a TypeError.
const NdArray<float>* master_data(const Tensor& t, const char* fn) {
  const NdArray<float>* a = t.cpu().get_if<float>();
  if (!a || !a->is_standard_layout()) {
    PyErr_Format(PyExc_TypeError, "%s: master weights are row-major f32 tensors", fn);
    return nullptr;
  }
  return a;
}

// A writable C-contiguous float32 buffer of n elements (optimizer state), released on scope exit.
class StateBuffer {
 public:
  StateBuffer(PyObject* o, std::size_t n, const char* fn) {
    if (o == Py_None) return;
    if (PyObject_GetBuffer(o, &view_, PyBUF_WRITABLE | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) != 0) {
      PyErr_Format(PyExc_TypeError, "%s: optimizer state must be a writable C-contiguous float32 array", fn);
      return;
    }
    held_ = true;
    const std::string_view f = view_.format ? view_.format : "";
    if (view_.itemsize != 4 || (f != "f" && f != "<f" && f != "=f")) {
      PyErr_Format(PyExc_TypeError, "%s: optimizer state must hold float32, not format '%s'", fn, view_.format);
    } else if (std::size_t(view_.len) != n * sizeof(float)) {
      PyErr_Format(PyExc_ValueError, "%s: optimizer state holds %zd bytes, the parameter needs %zu", fn, view_.len,
                   n * sizeof(float));
    } else {
      data_ = static_cast<float*>(view_.buf);
    }
  }
  ~StateBuffer() {
    if (held_) PyBuffer_Release(&view_);
  }
  StateBuffer(const StateBuffer&) = delete;
  StateBuffer& operator=(const StateBuffer&) = delete;
  float* data() const noexcept { return data_; }

 private:
  Py_buffer view_{};
  bool held_ = false;
  float* data_ = nullptr;
};

std::optional<double> number(PyObject* o, const char* fn) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: hyperparameters must be numbers, not '%s'", fn, Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  return v;
}


PyObject* new_master(NdArray<float> w) {
  return wrap(Tensor{std::nullopt, make_storage(CpuStorage(std::move(w))), false, 0, Face::Package});
}

template <class H>
CpuStorage narrowed_copy(const NdArray<float>& a) {
  NdArray<H> out = NdArray<H>::uninit(a.shape());
  narrow_n(a.data(), out.data(), a.size());
  return CpuStorage(std::move(out));
}

// _leaf(master, dtype): a fresh tracked leaf over master's storage ("f32"), or
// over a copy rounded to "f16" or "bf16".
PyObject* py_leaf(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 2, "_leaf()") || !check_tensor(args[0], "_leaf()", "master")) return nullptr;
    const char* dtype = PyUnicode_Check(args[1]) ? PyUnicode_AsUTF8(args[1]) : nullptr;
    if (!dtype) return PyErr_Format(PyExc_TypeError, "_leaf(): dtype must be a str");
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const NdArray<float>* a = master_data(t, "_leaf()");
          if (!a) return nullptr;
          const std::string_view d = dtype;
          if (d == "f32") return wrap(Tensor::leaf(t.storage));
          if (d == "f16") return wrap(Tensor::leaf(make_storage(narrowed_copy<F16>(*a))));
          if (d == "bf16") return wrap(Tensor::leaf(make_storage(narrowed_copy<BF16>(*a))));
          return PyErr_Format(PyExc_ValueError, "compute dtype must be 'f32', 'f16' or 'bf16', not '%s'", dtype);
        },
        args[0]);
  });
}

// _grad(leaf, shape): the leaf's gradient on this thread's tape summed to
// shape, as a row-major f32 tensor; None when it has none; RuntimeError when
// the leaf's tape was cleared since.
PyObject* py_grad(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 2, "_grad()") || !check_tensor(args[0], "_grad()", "leaf")) return nullptr;
    auto shape = to_target_shape(args[1], "_grad()", "shape");
    if (!shape) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          if (t.node_id && t.epoch != tape().epoch()) return raise(stale_tensor_error("the parameter's gradient"));
          auto g = Tensor::grad(t);
          if (!g) Py_RETURN_NONE;
          const CpuStorage& held = (*g)->cpu;
          if (held.dtype() == DType::F32 && held.shape() == *shape && is_row_major(held.shape(), held.strides())) {
            return wrap(Tensor{std::nullopt, *g, false, 0, Face::Package});  // immutable: shared, not copied
          }
          // A half gradient is summed in float32 and never rounded.
          auto summed = (*g)->cpu.widened_sum_to(*shape);
          if (!summed) return raise(summed.error());
          NdArray<float>& sum = *summed->get_if<float>();
          if (sum.is_standard_layout()) return new_master(std::move(sum));
          return new_master(std::move(*summed->row_major().get_if<float>()));
        },
        args[0]);
  });
}

// The master and its gradient (same shape, f32, row-major) for a step.
template <class Step>
PyObject* with_master_and_grad(PyObject* w, PyObject* g, const char* fn, Step step) {
  if (!check_tensor(w, fn, "weight") || !check_tensor(g, fn, "grad")) return nullptr;
  return with_tensors(
      [&](const Tensor& wt, const Tensor& gt) -> PyObject* {
        const NdArray<float>* wa = master_data(wt, fn);
        const NdArray<float>* ga = wa ? master_data(gt, fn) : nullptr;
        if (!ga) return nullptr;
        if (ga->shape() != wa->shape()) {
          return PyErr_Format(PyExc_ValueError, "%s: gradient of shape %s for a weight of shape %s", fn,
                              shape_str(ga->shape()).c_str(), shape_str(wa->shape()).c_str());
        }
        return step(*wa, *ga);
      },
      w, g);
}

// _adamw(w, g, m, v, lr, beta1, beta2, eps, weight_decay, step) -> the new weight; m and v updated in place.
PyObject* py_adamw(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    constexpr const char* fn = "_adamw()";
    if (!arity(nargs, 10, fn)) return nullptr;
    double h[6];
    for (int k = 0; k < 6; ++k) {
      auto v = number(args[4 + k], fn);
      if (!v) return nullptr;
      h[k] = *v;
    }
    const auto [lr, beta1, beta2, eps, wd, t] = h;
    return with_master_and_grad(args[0], args[1], fn, [&](const NdArray<float>& w, const NdArray<float>& g) -> PyObject* {
      StateBuffer m(args[2], w.size(), fn), v(args[3], w.size(), fn);
      if (!m.data() || !v.data()) {
        if (!PyErr_Occurred()) PyErr_Format(PyExc_TypeError, "%s: AdamW needs both moment buffers", fn);
        return nullptr;
      }
      const AdamW s{float(1.0 - lr * wd),           float(1.0 - beta1),
                    float(beta2),                   float(1.0 - beta2),
                    float(eps),                     float(lr / (1.0 - std::pow(beta1, t))),
                    float(std::sqrt(1.0 - std::pow(beta2, t)))};
      NdArray<float> out = NdArray<float>::uninit(w.shape());
      adamw_step(w.size(), out.data(), w.data(), g.data(), m.data(), v.data(), s);
      return new_master(std::move(out));
    });
  });
}

// _sgd(w, g, buf, lr, momentum, dampening, weight_decay, nesterov, first) -> the new weight; buf (or None) in place.
PyObject* py_sgd(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    constexpr const char* fn = "_sgd()";
    if (!arity(nargs, 9, fn)) return nullptr;
    double h[4];
    for (int k = 0; k < 4; ++k) {
      auto v = number(args[3 + k], fn);
      if (!v) return nullptr;
      h[k] = *v;
    }
    const int nesterov = PyObject_IsTrue(args[7]), first = PyObject_IsTrue(args[8]);
    if (nesterov < 0 || first < 0) return nullptr;
    return with_master_and_grad(args[0], args[1], fn, [&](const NdArray<float>& w, const NdArray<float>& g) -> PyObject* {
      StateBuffer buf(args[2], w.size(), fn);
      if (PyErr_Occurred()) return nullptr;
      const Sgd s{float(h[0]), float(h[1]), float(1.0 - h[2]), float(h[3]), nesterov == 1, first == 1};
      NdArray<float> out = NdArray<float>::uninit(w.shape());
      sgd_step(w.size(), out.data(), w.data(), g.data(), buf.data(), s);
      return new_master(std::move(out));
    });
  });
}

PyObject* py_tape_epoch(PyObject*, PyObject*) { return PyLong_FromUnsignedLongLong(tape().epoch()); }

// _address(t): where t's elements live, for the tests of what shares a storage.
PyObject* py_address(PyObject*, PyObject* arg) {
  return guard([&]() -> PyObject* {
    if (!check_tensor(arg, "_address()", "x")) return nullptr;
    return with_tensors(
        [&](const Tensor& t) -> PyObject* {
          const void* p = std::visit([](const auto& a) { return static_cast<const void*>(a.data()); }, t.cpu().data());
          return PyLong_FromVoidPtr(const_cast<void*>(p));
        },
        arg);
  });
}

}  // namespace

PyMethodDef training_functions[] = {
    {"_leaf", as_method(py_leaf), METH_FASTCALL,
     "_leaf(master, dtype, /)\n--\n\nA fresh tracked leaf over an f32 master weight (shared), or a rounded copy."},
    {"_grad", as_method(py_grad), METH_FASTCALL,
     "_grad(leaf, shape, /)\n--\n\nThe leaf's gradient summed to shape, in f32; None when it has none."},
    {"_adamw", as_method(py_adamw), METH_FASTCALL,
     "_adamw(w, g, m, v, lr, beta1, beta2, eps, weight_decay, step, /)\n--\n\nOne fused AdamW step; the new weight."},
    {"_sgd", as_method(py_sgd), METH_FASTCALL,
     "_sgd(w, g, buf, lr, momentum, dampening, weight_decay, nesterov, first, /)\n--\n\nOne fused SGD step."},
    {"_address", py_address, METH_O, "_address(x, /)\n--\n\nThe address of x's elements (shared storages share it)."},
    {"_tape_epoch", py_tape_epoch, METH_NOARGS,
     "_tape_epoch()\n--\n\nThe calling thread's tape epoch: it changes whenever the tape is cleared."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
