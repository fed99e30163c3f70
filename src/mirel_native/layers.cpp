// mirel.nn.functional: layer_norm, rms_norm, and the native halves of dropout
// and scaled_dot_product_attention (the package's Python side draws their
// streams from a generator).
#include "mirel_native/functions.hpp"

#include <algorithm>
#include <cmath>

#include "mirel_native/arguments.hpp"
#include "mirel_native/random_stream.hpp"
#include "util/format.hpp"

namespace mirel::native {
namespace {

constexpr int kFast = METH_FASTCALL | METH_KEYWORDS;

// A float argument (any real number); nullopt with the error set.
std::optional<double> to_double(PyObject* o, const char* fn, const char* param) {
  const double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_Format(PyExc_TypeError, "%s: '%s' must be a number, not '%s'", fn, param, Py_TYPE(o)->tp_name);
    return std::nullopt;
  }
  return d;
}

// An optional tensor argument: absent or None gives null.
bool optional_tensor(PyObject*& o, const char* fn, const char* param) {
  if (o == Py_None) o = nullptr;
  return !o || check_tensor(o, fn, param);
}

bool check_shape(const char* fn, const char* param, const Shape& got, const Shape& want) {
  if (got == want) return true;
  PyErr_Format(PyExc_ValueError, "%s: '%s' must have shape %s, not %s", fn, param, shape_str(want).c_str(),
               shape_str(got).c_str());
  return false;
}

const char* const kLayerNormParams[] = {"input", "normalized_shape", "weight", "bias", "eps"};
const Signature kLayerNorm{"layer_norm()", kLayerNormParams, 5, 2};
const char* const kRmsNormParams[] = {"input", "normalized_shape", "weight", "eps"};
const Signature kRmsNorm{"rms_norm()", kRmsNormParams, 4, 2};

// PyTorch's rms_norm default: the machine epsilon of float32, in which every type computes.
constexpr float kRmsEps = 0x1p-23f;

PyObject* norm(const Signature& sig, bool rms, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guard([&]() -> PyObject* {
    PyObject* bound[5] = {};
    if (!bind(sig, args, nargs, kwnames, bound)) return nullptr;
    PyObject* weight = bound[2];
    PyObject* bias = rms ? nullptr : bound[3];
    PyObject* eps_arg = rms ? bound[3] : bound[4];
    if (!check_tensor(bound[0], sig.name, "input") || !optional_tensor(weight, sig.name, "weight") ||
        !optional_tensor(bias, sig.name, "bias")) {
      return nullptr;
    }
    auto normalized = to_target_shape(bound[1], sig.name, "normalized_shape");
    if (!normalized) return nullptr;
    float eps = rms ? kRmsEps : 1e-5f;
    if (eps_arg && eps_arg != Py_None) {
      auto e = to_double(eps_arg, sig.name, "eps");
      if (!e) return nullptr;
      eps = narrow_to_f32(*e);
    }
    SharedBorrow x(bound[0]);
    std::optional<SharedBorrow> w, b;
    if (weight) w.emplace(weight);
    if (bias) b.emplace(bias);
    if (!x || (w && !*w) || (b && !*b)) return raise_borrow_error();
    const Shape& xs = x->cpu().shape();
    const std::size_t k = normalized->size();
    if (k > xs.size() || !std::equal(normalized->begin(), normalized->end(), xs.end() - std::ptrdiff_t(k))) {
      PyErr_Format(PyExc_ValueError, "%s: 'normalized_shape' %s must be the trailing axes of 'input' of shape %s",
                   sig.name, shape_str(*normalized).c_str(), shape_str(xs).c_str());
      return nullptr;
    }
    if ((w && !check_shape(sig.name, "weight", (**w).cpu().shape(), *normalized)) ||
        (b && !check_shape(sig.name, "bias", (**b).cpu().shape(), *normalized))) {
      return nullptr;
    }
    return wrap(Tensor::layer_norm(*x, w ? &**w : nullptr, b ? &**b : nullptr, *normalized, eps, rms));
  });
}

PyObject* py_layer_norm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return norm(kLayerNorm, false, args, nargs, kwnames);
}
PyObject* py_rms_norm(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return norm(kRmsNorm, true, args, nargs, kwnames);
}

// _dropout(seed, offset, input, p): (the result, the blocks read).
PyObject* py_dropout(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 4, "_dropout()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    if (!check_tensor(args[2], "dropout()", "input")) return nullptr;
    auto p = to_double(args[3], "dropout()", "p");
    if (!p) return nullptr;
    SharedBorrow x(args[2]);
    if (!x) return raise_borrow_error();
    PyRef out = PyRef::steal(wrap(Tensor::dropout(*x, *stream, *p)));
    return with_blocks(std::move(out), blocks_for(*checked_numel(x->cpu().shape()), kOneWordPerBlock));
  });
}

bool same_leading(const Shape& a, const Shape& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end() - 2, b.begin());
}

// dropout_p, is_causal and scale, in that order from args; nullopt with the error set.
struct AttentionOptions {
  double dropout_p;
  bool causal;
  std::optional<double> scale;
  // The scale given, else 1 / sqrt(e) for query rows of e elements.
  float scale_for(std::size_t e) const {
    return scale ? narrow_to_f32(*scale) : float(1.0 / std::sqrt(double(e)));
  }
};
std::optional<AttentionOptions> attention_options(const char* fn, PyObject* const* args) {
  auto p = to_double(args[0], fn, "dropout_p");
  if (!p) return std::nullopt;
  if (!(*p >= 0.0 && *p <= 1.0)) {
    PyErr_Format(PyExc_ValueError, "%s: 'dropout_p' must lie in [0, 1], not %R", fn, args[0]);
    return std::nullopt;
  }
  auto causal = to_bool(args[1], "is_causal");
  if (!causal) return std::nullopt;
  std::optional<double> scale;
  if (args[2] != Py_None && !(scale = to_double(args[2], fn, "scale"))) return std::nullopt;
  return AttentionOptions{*p, *causal, scale};
}

// An attention mask: Bool or the query's type dt, broadcasting to the scores' shape.
bool check_mask(const char* fn, const CpuStorage& mc, DType dt, const Shape& scores) {
  if (mc.dtype() != DType::Bool && mc.dtype() != dt) {
    PyErr_Format(PyExc_TypeError, "%s: 'attn_mask' must be Bool or of the query's element type (%s), not %s", fn,
                 std::string(dtype_py_name(dt)).c_str(), std::string(dtype_py_name(mc.dtype())).c_str());
    return false;
  }
  const Shape& ms = mc.shape();
  bool fits = ms.size() <= scores.size();
  for (std::size_t d = 0; fits && d < ms.size(); ++d) {
    const std::size_t t = scores[scores.size() - ms.size() + d];
    fits = ms[d] == t || ms[d] == 1;
  }
  if (!fits) {
    PyErr_Format(PyExc_ValueError, "%s: 'attn_mask' of shape %s does not broadcast to the scores' shape %s", fn,
                 shape_str(ms).c_str(), shape_str(scores).c_str());
  }
  return fits;
}

// The stream blocks dropout reads: one word per score; nullopt when their count overflows.
std::optional<std::uint64_t> dropout_blocks(double p, const Shape& scores) {
  if (p == 0.0) return 0;
  auto pairs = checked_numel(scores);
  if (!pairs) return std::nullopt;
  return blocks_for(*pairs, kOneWordPerBlock);
}

// _attention(seed, offset, query, key, value, attn_mask, dropout_p, is_causal, scale):
// (the result, the blocks dropout read).
PyObject* py_attention(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  constexpr const char* fn = "scaled_dot_product_attention()";
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 9, "_attention()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    PyObject* mask_arg = args[5];
    if (!check_tensor(args[2], fn, "query") || !check_tensor(args[3], fn, "key") ||
        !check_tensor(args[4], fn, "value") || !optional_tensor(mask_arg, fn, "attn_mask")) {
      return nullptr;
    }
    const auto opts = attention_options(fn, args + 6);
    if (!opts) return nullptr;
    SharedBorrow q(args[2]), k(args[3]), v(args[4]);
    std::optional<SharedBorrow> m;
    if (mask_arg) m.emplace(mask_arg);
    if (!q || !k || !v || (m && !*m)) return raise_borrow_error();
    const Shape &qs = q->cpu().shape(), &ks = k->cpu().shape(), &vs = v->cpu().shape();
    const std::size_t r = qs.size();
    if (r < 2 || !same_leading(qs, ks) || !same_leading(qs, vs) || ks[r - 1] != qs[r - 1] || vs[r - 2] != ks[r - 2]) {
      PyErr_Format(PyExc_ValueError,
                   "%s: 'query' [..., L, E], 'key' [..., S, E] and 'value' [..., S, Ev] must share their leading "
                   "axes, not %s, %s and %s", fn, shape_str(qs).c_str(), shape_str(ks).c_str(), shape_str(vs).c_str());
      return nullptr;
    }
    const DType dt = q->cpu().dtype();
    if (k->cpu().dtype() != dt || v->cpu().dtype() != dt) {
      PyErr_Format(PyExc_ValueError, "%s: 'query', 'key' and 'value' must have one element type, not %s, %s and %s",
                   fn, std::string(dtype_py_name(dt)).c_str(), std::string(dtype_py_name(k->cpu().dtype())).c_str(),
                   std::string(dtype_py_name(v->cpu().dtype())).c_str());
      return nullptr;
    }
    Shape scores(qs.begin(), qs.end() - 1);
    scores.push_back(ks[r - 2]);
    if (m && !check_mask(fn, (**m).cpu(), dt, scores)) return nullptr;
    auto blocks = dropout_blocks(opts->dropout_p, scores);
    if (!blocks) return PyErr_NoMemory();
    const AttentionParams params{opts->scale_for(qs[r - 1]), opts->causal, opts->dropout_p, *stream};
    PyRef out = PyRef::steal(wrap(Tensor::attention(*q, *k, *v, m ? &**m : nullptr, params)));
    return with_blocks(std::move(out), *blocks);
  });
}

// _attention_packed(seed, offset, qkv, heads, attn_mask, dropout_p, is_causal, scale): nn.MultiheadAttention's
// self-attention over its one projection qkv [..., T, 3E], heads read in place; (the result [..., T, E], the
// blocks dropout read).
PyObject* py_attention_packed(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  constexpr const char* fn = "multi_head_attention()";
  return guard([&]() -> PyObject* {
    if (!arity(nargs, 8, "_attention_packed()")) return nullptr;
    auto stream = to_stream(args[0], args[1]);
    if (!stream) return nullptr;
    PyObject* mask_arg = args[4];
    if (!check_tensor(args[2], fn, "qkv") || !optional_tensor(mask_arg, fn, "attn_mask")) return nullptr;
    if (!PyLong_CheckExact(args[3])) {
      PyErr_Format(PyExc_TypeError, "%s: 'heads' must be an int, not '%s'", fn, Py_TYPE(args[3])->tp_name);
      return nullptr;
    }
    const Py_ssize_t heads = PyLong_AsSsize_t(args[3]);
    if (heads == -1 && PyErr_Occurred()) return nullptr;
    const auto opts = attention_options(fn, args + 5);
    if (!opts) return nullptr;
    SharedBorrow x(args[2]);
    std::optional<SharedBorrow> m;
    if (mask_arg) m.emplace(mask_arg);
    if (!x || (m && !*m)) return raise_borrow_error();
    const Shape& xs = x->cpu().shape();
    const std::size_t r = xs.size();
    if (heads < 1 || r < 2 || std::size_t(heads) > std::max<std::size_t>(xs[r - 1], 1) ||
        xs[r - 1] % (3 * std::size_t(heads)) != 0) {
      PyErr_Format(PyExc_ValueError, "%s: 'qkv' [..., T, 3 * heads * d] of shape %s does not split into 3 x %zd heads",
                   fn, shape_str(xs).c_str(), heads);
      return nullptr;
    }
    Shape scores(xs.begin(), xs.end() - 2);
    for (std::size_t len : {std::size_t(heads), xs[r - 2], xs[r - 2]}) scores.push_back(len);
    if (m && !check_mask(fn, (**m).cpu(), x->cpu().dtype(), scores)) return nullptr;
    auto blocks = dropout_blocks(opts->dropout_p, scores);
    if (!blocks) return PyErr_NoMemory();
    const std::size_t d = xs[r - 1] / (3 * std::size_t(heads));
    const AttentionParams params{opts->scale_for(d), opts->causal, opts->dropout_p, *stream};
    PyRef out = PyRef::steal(wrap(Tensor::attention_packed(*x, std::size_t(heads), m ? &**m : nullptr, params)));
    return with_blocks(std::move(out), *blocks);
  });
}

}  // namespace

PyMethodDef layer_functions[] = {
    {"layer_norm", as_method(py_layer_norm), kFast,
     "layer_norm(input, normalized_shape, weight=None, bias=None, eps=1e-05)\n--\n\n"
     "Normalises the trailing axes `normalized_shape` of input to mean 0 and variance 1 (biased, two passes), "
     "then scales by weight and shifts by bias; computed in float32 per row and rounded once. Gradients of "
     "input, weight and bias (these at their own shape)."},
    {"rms_norm", as_method(py_rms_norm), kFast,
     "rms_norm(input, normalized_shape, weight=None, eps=None)\n--\n\n"
     "input / sqrt(mean(input**2) + eps) over the trailing axes `normalized_shape`, times weight; eps defaults "
     "to float32's machine epsilon. Computed in float32 per row and rounded once."},
    {"_dropout", as_method(py_dropout), METH_FASTCALL, "_dropout(seed, offset, input, p) -> (result, blocks read)"},
    {"_attention", as_method(py_attention), METH_FASTCALL,
     "_attention(seed, offset, query, key, value, attn_mask, dropout_p, is_causal, scale) -> (result, blocks read)"},
    {"_attention_packed", as_method(py_attention_packed), METH_FASTCALL,
     "_attention_packed(seed, offset, qkv, heads, attn_mask, dropout_p, is_causal, scale) -> (result, blocks read)"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace mirel::native
