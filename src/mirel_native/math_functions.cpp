// exp, log, tanh, ...: one function per line of the table of one-operand
// operations (numeric/table.hpp), each taking and returning a Tensor.
#include "mirel_native/functions.hpp"

#include "mirel_native/arguments.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "python/errors.hpp"
#include "tensor/api/entry_points.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

#define MIREL_BIND_UNARY(name, Fn, Rule, saved)                                       \
  PyObject* py_##name(PyObject*, PyObject* x) {                                       \
    return guard([&]() -> PyObject* {                                                 \
      if (!check_tensor(x, #name "()", "x")) return nullptr;                          \
      return with_tensors([](const Tensor& t) { return wrap(Tensor::name(t)); }, x);  \
    });                                                                               \
  }
MIREL_UNARY_OPS(MIREL_BIND_UNARY)
#undef MIREL_BIND_UNARY

// A tensor operand, or a number as a constant 0-d tensor of `like`'s element type.
std::optional<Tensor> operand(PyObject* o, const Tensor& like, const char* fn, const char* param) {
  if (is_tensor(o)) return as_py_tensor(o)->value;
  if (PyBool_Check(o) || !(PyFloat_Check(o) || PyLong_Check(o) || PyNumber_Check(o))) {
    PyErr_Format(PyExc_TypeError, "%s: '%s' must be a Tensor or a number, not '%s'", fn, param, Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  auto x = to_f32(o, param);
  if (!x) return std::nullopt;
  return std::visit(
      [&]<class T>(const NdArray<T>&) -> std::optional<Tensor> {
        if constexpr (std::is_same_v<T, bool>) {
          return Tensor{std::nullopt, make_storage(CpuStorage(NdArray<bool>::filled(Shape{}, *x != 0.0f))), false, 0};
        } else {
          return Tensor{std::nullopt, make_storage(CpuStorage(NdArray<T>::filled(Shape{}, narrow<T>(*x)))), false, 0};
        }
      },
      like.cpu().data());
}

// fn(a, b) with tensors or numbers, at least one a tensor.
template <class Op>
PyObject* pair(const Signature& sig, PyObject* a, PyObject* b, Op op) {
  PyObject* anchor = is_tensor(a) ? a : b;
  if (!is_tensor(anchor)) {
    PyErr_Format(PyExc_TypeError, "%s: at least one of '%s' and '%s' must be a Tensor", sig.name, sig.params[0],
                 sig.params[1]);
    return nullptr;
  }
  SharedBorrow held(anchor);
  if (!held) return raise_borrow_error();
  auto ta = operand(a, *held, sig.name, sig.params[0]);
  if (!ta) return nullptr;
  auto tb = operand(b, *held, sig.name, sig.params[1]);
  if (!tb) return nullptr;
  if (!check_broadcast(sig.name, ta->cpu().shape(), tb->cpu().shape())) return nullptr;
  return wrap(op(*ta, *tb));
}

const char* const kPairParams[] = {"a", "b"};
#define MIREL_BIND_BINARY(name, Fn, RuleA, RuleB)                                                        \
  const Signature k_##name{#name "()", kPairParams, 2, 2};                                               \
  PyObject* py_##name(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {           \
    return guard([&]() -> PyObject* {                                                                    \
      PyObject* bound[2];                                                                                \
      if (!bind(k_##name, args, nargs, kwnames, bound)) return nullptr;                                  \
      return pair(k_##name, bound[0], bound[1], [](const Tensor& a, const Tensor& b) { return Tensor::name(a, b); }); \
    });                                                                                                  \
  }
MIREL_BINARY_OPS(MIREL_BIND_BINARY)
#undef MIREL_BIND_BINARY

const char* const kWhereParams[] = {"condition", "a", "b"};
const Signature kWhere{"where()", kWhereParams, 3, 3};
const char* const kWhereValues[] = {"a", "b"};
const Signature kWherePair{"where()", kWhereValues, 2, 2};

PyObject* py_where(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind(kWhere, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kWhere.name, "condition")) return nullptr;
    SharedBorrow cond(bound[0]);
    if (!cond) return raise_borrow_error();
    return pair(kWherePair, bound[1], bound[2], [&](const Tensor& a, const Tensor& b) -> Result<Tensor> {
      auto values = broadcast_shapes(a.cpu().shape(), b.cpu().shape());
      if (values && !broadcast_shapes(cond->cpu().shape(), *values)) {
        return fail(ExcKind::Value, concat("where(): the condition's shape ", shape_str(cond->cpu().shape()),
                                           " does not broadcast with ", shape_str(*values)));
      }
      return Tensor::where(*cond, a, b);
    });
  });
}

const char* const kPowerParams[] = {"x", "exponent"};
const Signature kPower{"power()", kPowerParams, 2, 2};

PyObject* py_power(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(kPower, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kPower.name, "x")) return nullptr;
    if (is_tensor(bound[1])) {
      PyErr_SetString(PyExc_TypeError, "power(): 'exponent' must be a number (a tensor exponent is not supported)");
      return nullptr;
    }
    auto p = to_f32(bound[1], "exponent");
    if (!p) return nullptr;
    return with_tensors([&](const Tensor& t) { return wrap(Tensor::power(t, *p)); }, bound[0]);
  });
}

const char* const kAstypeParams[] = {"x", "dtype"};
const Signature kAstype{"astype()", kAstypeParams, 2, 2};

PyObject* py_astype(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind(kAstype, args, nargs, kwnames, bound)) return nullptr;
    if (!check_tensor(bound[0], kAstype.name, "x")) return nullptr;
    auto dtype = api::dtype_argument(bound[1]);
    if (!dtype) return nullptr;
    return with_tensors([&](const Tensor& t) { return wrap(Tensor::astype(t, *dtype)); }, bound[0]);
  });
}

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef math_functions[] = {
    {"astype", as_method(py_astype), kFast,
     "astype(x, dtype)\n--\n\nThe values in another element type (a name or NumPy type, as Tensor's dtype): "
     "floats rounded once, x != 0 to bool, 0 or 1 from bool. Gradient: g in x's element type (rounded once); "
     "none through bool."},
    {"maximum", as_method(py_maximum), kFast,
     "maximum(a, b)\n--\n\nElementwise maximum with broadcasting (tensors or numbers); NaN propagates. "
     "Gradient: g to the larger operand, shared half and half where they are equal."},
    {"minimum", as_method(py_minimum), kFast,
     "minimum(a, b)\n--\n\nElementwise minimum with broadcasting (tensors or numbers); NaN propagates. "
     "Gradient: g to the smaller operand, shared half and half where they are equal."},
    {"where", as_method(py_where), kFast,
     "where(condition, a, b)\n--\n\na where the Bool tensor `condition` holds, b elsewhere, all three "
     "broadcasting (a and b may be numbers). Gradient: g where condition holds (a), where it does not (b)."},
    {"power", as_method(py_power), kFast,
     "power(x, exponent)\n--\n\nElementwise x ** exponent for a number exponent, computed in double and "
     "rounded once. Gradient: g * exponent * x ** (exponent - 1)."},
    {"exp", py_exp, METH_O,
     "exp(x, /)\n--\n\nElementwise e**x. Gradient: g * exp(x), with the result kept by the graph."},
    {"log", py_log, METH_O,
     "log(x, /)\n--\n\nElementwise natural logarithm: -inf at 0, NaN below. Gradient: g / x."},
    {"tanh", py_tanh, METH_O, "tanh(x, /)\n--\n\nElementwise hyperbolic tangent. Gradient: g * (1 - tanh(x)**2)."},
    {"sigmoid", py_sigmoid, METH_O,
     "sigmoid(x, /)\n--\n\nElementwise 1 / (1 + exp(-x)). Gradient: g * s * (1 - s), s the result."},
    {"gelu", py_gelu, METH_O,
     "gelu(x, /)\n--\n\nElementwise x * Phi(x), Phi the standard normal distribution function (the exact "
     "GELU); f32 within 1 ulp, halves correctly rounded. Gradient: g * (Phi(x) + x * phi(x)), phi the normal "
     "density, the slope computed beside the result and kept in float32."},
    {"sqrt", py_sqrt, METH_O, "sqrt(x, /)\n--\n\nElementwise square root. Gradient: g / (2 * sqrt(x))."},
    {"abs", py_abs, METH_O,
     "abs(x, /)\n--\n\nElementwise absolute value. Gradient: g * sign(x), 0 at x = 0."},
    {"negative", py_negative, METH_O, "negative(x, /)\n--\n\nElementwise -x. Gradient: -g."},
    {"square", py_square, METH_O, "square(x, /)\n--\n\nElementwise x * x. Gradient: 2 * x * g."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
