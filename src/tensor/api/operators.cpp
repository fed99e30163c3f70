// The operator protocol: number slots, rich comparison, and the explicit
// reflected-comparison methods __req__, __rgt__, __rlt__.
//
// Note [operand conversion in slots]: the right operand is a Tensor or
// anything the interpreter converts to a float; a failed conversion is never
// raised here but answered with NotImplemented, so that the interpreter can
// try the other operand and then raise its own TypeError. Errors of the
// operation itself always propagate.
//
// Note [array subclasses as operands]: an array with axes is never a number
// (NumPy defers to Tensor, and the interpreter's TypeError follows). Its
// subclasses do not all defer: a masked array's reflected arithmetic and a
// matrix's reflected product run NumPy code on the tensor and give wrong
// values or odd errors. So an operator of ours that meets one raises the
// interpreter's TypeError itself, before the other operand is asked;
// `==` and `!=` keep their fallback to identity.
#include "python/pyref.hpp"

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"
#include "tensor/api/entry_points.hpp"
#include "tensor/api/py_tensor.hpp"

namespace mirel::api {

namespace {

using TensorOp = Result<Tensor> (*)(const Tensor&, const Tensor&);
using ScalarOp = Result<Tensor> (*)(const Tensor&, float);

PyObject* not_implemented() { Py_RETURN_NOTIMPLEMENTED; }

// Note [array subclasses as operands].
bool array_subclass(PyObject* o) { return numpy_api::is_array_with_axes(o) && !PyArray_CheckExact(o); }

// What the interpreter would raise for l <symbol> r, or NotImplemented so that it does.
PyObject* unsupported(const char* symbol, PyObject* l, PyObject* r) {
  if (!array_subclass(is_tensor(l) ? r : l)) return not_implemented();
  return PyErr_Format(PyExc_TypeError, "unsupported operand type(s) for %s: '%s' and '%s'", symbol,
                      Py_TYPE(l)->tp_name, Py_TYPE(r)->tp_name);
}

PyObject* apply(TensorOp op, PyObject* l, PyObject* r) {
  SharedBorrow a(l);
  if (!a) return raise_borrow_error();
  SharedBorrow b(r);  // may be the same object as a: shared borrows stack
  if (!b) return raise_borrow_error();
  Result<Tensor> result = op(*a, *b);
  // The package's tensors have a cast; its users are told of it.
  if (!result && (a->face == Face::Package || b->face == Face::Package) &&
      result.error().message.starts_with("Tensor DType mismatch")) {
    result.error().message += " Convert one operand first with x.astype(dtype) (mirel.astype).";
  }
  return wrap(std::move(result));
}

PyObject* apply(ScalarOp op, PyObject* t, float x) {
  SharedBorrow a(t);
  if (!a) return raise_borrow_error();
  return wrap(op(*a, x));
}

// forward: tensor op (tensor | number); reflected: number op tensor.
template <const char* symbol, TensorOp tensor_op, ScalarOp scalar_op = nullptr, ScalarOp reflected_op = nullptr>
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
    return unsupported(symbol, l, r);
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

constexpr char kAdd[] = "+", kSub[] = "-", kMul[] = "*", kDiv[] = "/", kMatMul[] = "@", kAnd[] = "&", kOr[] = "|",
               kXor[] = "^";

}  // namespace

PyObject* nb_add(PyObject* l, PyObject* r) {
  return binary_slot<kAdd, Tensor::add, Tensor::scalar_add, Tensor::scalar_add>(l, r);
}
PyObject* nb_subtract(PyObject* l, PyObject* r) { return binary_slot<kSub, Tensor::sub, Tensor::scalar_sub>(l, r); }
PyObject* nb_multiply(PyObject* l, PyObject* r) {
  return binary_slot<kMul, Tensor::mul, Tensor::scalar_mul, Tensor::scalar_mul>(l, r);
}
PyObject* nb_true_divide(PyObject* l, PyObject* r) {
  return binary_slot<kDiv, Tensor::div, Tensor::scalar_div, Tensor::scalar_rdiv>(l, r);
}
PyObject* nb_matrix_multiply(PyObject* l, PyObject* r) { return binary_slot<kMatMul, Tensor::matmul>(l, r); }
PyObject* nb_and(PyObject* l, PyObject* r) { return binary_slot<kAnd, Tensor::logical_and>(l, r); }
PyObject* nb_or(PyObject* l, PyObject* r) { return binary_slot<kOr, Tensor::logical_or>(l, r); }
PyObject* nb_xor(PyObject* l, PyObject* r) { return binary_slot<kXor, Tensor::logical_xor>(l, r); }

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
    if (!x) {
      if (op == Py_EQ || op == Py_NE || !array_subclass(other)) return not_implemented();
      static const char* const symbols[] = {"<", "<=", "==", "!=", ">", ">="};
      return PyErr_Format(PyExc_TypeError, "'%s' not supported between instances of '%s' and '%s'", symbols[op],
                          Py_TYPE(self)->tp_name, Py_TYPE(other)->tp_name);
    }
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
