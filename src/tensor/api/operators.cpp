// The operator protocol: number slots, rich comparison, and the explicit
// reflected-comparison methods __req__, __rgt__, __rlt__.
//
// Note [operand conversion in slots]: the right operand is a Tensor or
// anything the interpreter converts to a float; a failed conversion is never
// raised here but answered with NotImplemented, so that the interpreter can
// try the other operand and then raise its own TypeError. Errors of the
// operation itself always propagate.
#include "python/pyref.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::api {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

PyObject* apply(TensorOp op, PyObject* l, PyObject* r) {
  SharedBorrow a(l);
  if (!a) return raise_borrow_error();
  SharedBorrow b(r);  // may be the same object as a: shared borrows stack
  if (!b) return raise_borrow_error();
  return wrap(op(*a, *b));
}

PyObject* apply(ScalarOp op, PyObject* t, float x) {
  SharedBorrow a(t);
  if (!a) return raise_borrow_error();
  return wrap(op(*a, x));
}

// forward: tensor op (tensor | number); reflected: number op tensor.
template <TensorOp tensor_op, ScalarOp scalar_op = nullptr, ScalarOp reflected_op = nullptr>
PyObject* binary_slot(PyObject* l, PyObject* r) {
  return guard([&]() -> PyObject* {
    if (is_tensor(l)) {
      if (is_tensor(r)) return apply(tensor_op, l, r);
      if constexpr (scalar_op != nullptr) {
        if (auto x = try_f32(r)) return apply(scalar_op, l, *x);
      }
    }
    if constexpr (reflected_op != nullptr) {
      if (is_tensor(r)) {
        if (auto x = try_f32(l)) return apply(reflected_op, r, *x);
      }
    }
    return not_implemented();
  });
}

// The explicit reflected comparisons: `other` is converted, not answered with NotImplemented.
template <ScalarOp op>
PyObject* reflected_compare(const char* name, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                            PyObject* kwnames) {
  static const char* const params[] = {"other"};
  return guard([&]() -> PyObject* {
    const Signature sig{name, params, 1, 1};
    PyObject* bound[1];
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    auto x = to_f32(bound[0], "other");
    if (!x) return nullptr;
    return apply(op, self, *x);
  });
}

}  // namespace

PyObject* nb_add(PyObject* l, PyObject* r) {
  return binary_slot<Tensor::add, Tensor::scalar_add, Tensor::scalar_add>(l, r);
}
PyObject* nb_subtract(PyObject* l, PyObject* r) { return binary_slot<Tensor::sub, Tensor::scalar_sub>(l, r); }
PyObject* nb_multiply(PyObject* l, PyObject* r) {
  return binary_slot<Tensor::mul, Tensor::scalar_mul, Tensor::scalar_mul>(l, r);
}
PyObject* nb_true_divide(PyObject* l, PyObject* r) {
  return binary_slot<Tensor::div, Tensor::scalar_div, Tensor::scalar_rdiv>(l, r);
}
PyObject* nb_matrix_multiply(PyObject* l, PyObject* r) { return binary_slot<Tensor::matmul>(l, r); }
PyObject* nb_and(PyObject* l, PyObject* r) { return binary_slot<Tensor::logical_and>(l, r); }
PyObject* nb_or(PyObject* l, PyObject* r) { return binary_slot<Tensor::logical_or>(l, r); }
PyObject* nb_xor(PyObject* l, PyObject* r) { return binary_slot<Tensor::logical_xor>(l, r); }

PyObject* nb_invert(PyObject* self) {
  return with_tensor(self, [](const Tensor& t) { return wrap(Tensor::logical_not(t)); });
}

PyObject* richcompare(PyObject* self, PyObject* other, int op) {
  return guard([&]() -> PyObject* {
    if (!is_tensor(self)) return not_implemented();
    if (is_tensor(other)) {
      switch (op) {
        case Py_LT: return apply(Tensor::lt, self, other);
        case Py_LE: return apply(Tensor::le, self, other);
        case Py_EQ: return apply(Tensor::eq, self, other);
        case Py_NE: return apply(Tensor::ne, self, other);
        case Py_GT: return apply(Tensor::gt, self, other);
        case Py_GE: return apply(Tensor::ge, self, other);
        default: return raise_panic("invalid compareop");
      }
    }
    auto x = try_f32(other);
    if (!x) return not_implemented();
    switch (op) {
      case Py_LT: return apply(Tensor::scalar_lt, self, *x);
      case Py_LE: return apply(Tensor::scalar_le, self, *x);
      case Py_EQ: return apply(Tensor::scalar_eq, self, *x);
      case Py_NE: return apply(Tensor::scalar_ne, self, *x);
      case Py_GT: return apply(Tensor::scalar_gt, self, *x);
      case Py_GE: return apply(Tensor::scalar_ge, self, *x);
      default: return raise_panic("invalid compareop");
    }
  });
}

// other == t, other > t, other < t, spelled from t's side.
PyObject* req(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reflected_compare<Tensor::scalar_eq>("Tensor.__req__()", self, args, nargs, kwnames);
}
PyObject* rgt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reflected_compare<Tensor::scalar_lt>("Tensor.__rgt__()", self, args, nargs, kwnames);
}
PyObject* rlt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return reflected_compare<Tensor::scalar_gt>("Tensor.__rlt__()", self, args, nargs, kwnames);
}

}  // namespace mirel::api
