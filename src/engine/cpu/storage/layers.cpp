#include "engine/cpu/storage/layers.hpp"

#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/numeric/layers/dropout.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/random/sample.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

constexpr const char* kGradMismatch = "DType mismatch between gradient and operands during backward pass.";

Error unsupported(const char* name) {
  return Error{ExcKind::Type, concat("Tensor Dtype not supported for this operation: ", name)};
}

// a itself when row-major, else a row-major copy of it kept in `copy`.
template <class T>
const NdArray<T>& row_major_of(const NdArray<T>& a, NdArray<T>& copy) {
  if (a.is_standard_layout()) return a;
  copy = NdArray<T>::uninit(a.shape());
  if (copy.size()) copy_to_row_major(a.data(), a.shape(), a.strides(), copy.data(), [](const T* p) { return *p; });
  return copy;
}

template <class T>
NdArray<T> reshaped(NdArray<T> a, const Shape& shape) {
  a.set_layout(shape, dense_strides(shape, Order::RowMajor));
  return a;
}

// Runs f(std::type_identity<T>{}) for the float element type of dtype.
template <class R, class F>
Result<R> on_float_type(DType dtype, const char* name, F f) {
  switch (dtype) {
    case DType::F32: return f(std::type_identity<float>{});
    case DType::F16: return f(std::type_identity<F16>{});
    case DType::BF16: return f(std::type_identity<BF16>{});
    case DType::Bool: break;
  }
  return std::unexpected(unsupported(name));
}

// Per-head start offsets over the leading axes `lead` of an array with these strides.
std::vector<std::ptrdiff_t> head_offsets(const Shape& lead, const Strides& strides) {
  std::size_t heads = 1;
  for (std::size_t d : lead) heads *= d;
  std::vector<std::ptrdiff_t> out(heads, 0);
  for (std::size_t h = 0; h < heads; ++h) {
    std::size_t rest = h;
    std::ptrdiff_t off = 0;
    for (std::size_t d = lead.size(); d-- > 0;) {
      off += std::ptrdiff_t(rest % lead[d]) * strides[d];
      rest /= lead[d];
    }
    out[h] = off;
  }
  return out;
}

template <class T>
HeadOperand<T> head_operand(const T* data, const Shape& lead, const Strides& strides) {
  const std::size_t r = strides.size();
  return HeadOperand<T>{data, head_offsets(lead, strides), strides[r - 2], strides[r - 1]};
}
template <class T>
HeadOperand<T> head_operand(const NdArray<T>& a, const Shape& lead) {
  return head_operand(a.data(), lead, a.strides());
}

template <class T>
Result<AttentionMask<T>> attention_mask(const CpuStorage* mask, const Shape& lead, std::size_t l, std::size_t s) {
  AttentionMask<T> out;
  if (!mask) return out;
  Shape target = lead;
  target.push_back(l);
  target.push_back(s);
  auto fill = [&]<class M>(const NdArray<M>& m) -> Result<AttentionMask<T>> {
    auto view = broadcast_view(m, target);
    if (!view) return fail(ExcKind::Value, broadcast_failed('A', m.shape(), target));
    HeadOperand<M> h = head_operand(view->data, lead, view->strides);
    if constexpr (std::is_same_v<M, bool>) out.keep = h.data;
    else out.add = h.data;
    out.head = std::move(h.head);
    out.rs = h.rs;
    out.cs = h.cs;
    return std::move(out);  // a copy's sizing would need libstdc++ 3.4.29 (Note [older glibc])
  };
  if (const auto* b = mask->get_if<bool>()) return fill(*b);
  if (const auto* f = mask->get_if<T>()) return fill(*f);
  return fail(ExcKind::Type, "scaled_dot_product_attention(): 'attn_mask' must be Bool or of the query's type");
}

AttentionConfig attention_config(const CpuStorage& q, const CpuStorage& k, const CpuStorage& v,
                                 const AttentionParams& p) {
  const Shape& qs = q.shape();
  const std::size_t r = qs.size();
  std::size_t heads = 1;
  for (std::size_t d = 0; d + 2 < r; ++d) heads *= qs[d];
  return AttentionConfig{heads, qs[r - 2], k.shape()[r - 2], qs[r - 1], v.shape()[r - 1],
                         p.scale, p.causal, p.dropout_p, p.stream};
}

Shape leading(const Shape& s) { return Shape(s.begin(), s.end() - 2); }

Shape with_last_two(Shape lead, std::size_t rows, std::size_t cols) {
  lead.push_back(rows);
  lead.push_back(cols);
  return lead;
}

// The target of a row-major [..., rows, cols] array, heads over the leading axes lead.
template <class T>
HeadTarget<T> dense_target(NdArray<T>& a, const Shape& lead) {
  HeadOperand<T> h = head_operand(a, lead);
  return HeadTarget<T>{a.data(), std::move(h.head), h.rs};
}

// A row-major [..., T, parts * E] array whose rows hold `parts` blocks of E =
// heads * d (query, key and value side by side for parts = 3): head (b, h) of
// block `part` is the [T, d] matrix at column part * E + h * d of batch b's rows.
struct Packed {
  Shape lead_heads;  // the leading axes, then heads
  std::size_t batch, t, heads, d;
  AttentionConfig config(const AttentionParams& p) const {
    return AttentionConfig{batch * heads, t, t, d, d, p.scale, p.causal, p.dropout_p, p.stream};
  }
};
Packed packed(const Shape& qkv, std::size_t heads) {
  const std::size_t r = qkv.size();
  Packed p{Shape(qkv.begin(), qkv.end() - 2), 1, qkv[r - 2], heads, qkv[r - 1] / (3 * heads)};
  for (std::size_t d : p.lead_heads) p.batch *= d;
  p.lead_heads.push_back(heads);
  return p;
}
std::vector<std::ptrdiff_t> packed_heads(const Packed& p, std::size_t parts, std::size_t part) {
  const auto row = std::ptrdiff_t(parts * p.heads * p.d);
  std::vector<std::ptrdiff_t> head(p.batch * p.heads);
  for (std::size_t b = 0; b < p.batch; ++b) {
    for (std::size_t h = 0; h < p.heads; ++h) {
      head[b * p.heads + h] = std::ptrdiff_t(b * p.t) * row + std::ptrdiff_t((part * p.heads + h) * p.d);
    }
  }
  return head;
}
template <class T>
HeadOperand<T> packed_operand(const T* data, const Packed& p, std::size_t parts, std::size_t part) {
  return HeadOperand<T>{data, packed_heads(p, parts, part), std::ptrdiff_t(parts * p.heads * p.d), 1};
}
template <class T>
HeadTarget<T> packed_target(T* data, const Packed& p, std::size_t parts, std::size_t part) {
  return HeadTarget<T>{data, packed_heads(p, parts, part), std::ptrdiff_t(parts * p.heads * p.d)};
}

}  // namespace

Result<NormResult> layer_norm(const CpuStorage& x, const CpuStorage* weight, const CpuStorage* bias, std::size_t n,
                              float eps, bool rms, bool keep) {
  const char* name = rms ? "rms_norm" : "layer_norm";
  return on_float_type<NormResult>(x.dtype(), name, [&]<class T>(std::type_identity<T>) -> Result<NormResult> {
    for (const CpuStorage* o : {weight, bias}) {
      if (o && o->dtype() != x.dtype()) {
        return fail(ExcKind::Value, concat("Tensor DType mismatch during binary execution. Cannot operate between ",
                                           dtype_name(x.dtype()), " and ", dtype_name(o->dtype()), "."));
      }
    }
    NdArray<T> xc, wc, bc;
    const NdArray<T>& xr = row_major_of(*x.get_if<T>(), xc);
    const NdArray<T>* w = weight ? &row_major_of(*weight->get_if<T>(), wc) : nullptr;
    const NdArray<T>* b = bias ? &row_major_of(*bias->get_if<T>(), bc) : nullptr;
    const NormInput in{n ? xr.size() / n : 0, n, eps, rms};
    std::optional<NormStats> stats;
    if (keep) {
      stats = NormStats{NdArray<float>::uninit(Shape{rms ? 0 : in.rows}), NdArray<float>::uninit(Shape{in.rows})};
    }
    NdArray<T> y = norm_forward(xr, w, b, in, stats ? &*stats : nullptr);
    return NormResult{CpuStorage(std::move(y)), std::move(stats)};
  });
}

Result<NormGradients> backward_layer_norm(const CpuStorage& grad, const CpuStorage& x, const CpuStorage* weight,
                                          const Shape& normalized, bool rms, const NormStats& stats, bool want_x,
                                          bool want_w, bool want_b) {
  const std::size_t n = *checked_numel(normalized);  // the trailing axes of x
  if (grad.dtype() != x.dtype()) return fail(ExcKind::Type, kGradMismatch);
  return on_float_type<NormGradients>(x.dtype(), "layer_norm", [&]<class T>(std::type_identity<T>) -> Result<NormGradients> {
    NdArray<T> gc, xc, wc;
    const NdArray<T>& g = row_major_of(*grad.get_if<T>(), gc);
    const NdArray<T>& xr = row_major_of(*x.get_if<T>(), xc);
    const NdArray<T>* w = weight ? &row_major_of(*weight->get_if<T>(), wc) : nullptr;
    const NormInput in{n ? xr.size() / n : 0, n, 0.0f, rms};
    NormGrads<T> gs = norm_backward(g, xr, w, in, stats, want_x, want_w && w, want_b);
    NormGradients out;
    if (gs.x) out.x.emplace(std::move(*gs.x));
    if (gs.weight) out.weight.emplace(reshaped(std::move(*gs.weight), normalized));
    if (gs.bias) out.bias.emplace(reshaped(std::move(*gs.bias), normalized));
    return out;
  });
}

Result<CpuStorage> dropout(const CpuStorage& x, const PhiloxStream& s, double p) {
  return on_float_type<CpuStorage>(x.dtype(), "dropout", [&]<class T>(std::type_identity<T>) -> Result<CpuStorage> {
    NdArray<T> copy;
    return CpuStorage(mirel::dropout(row_major_of(*x.get_if<T>(), copy), s, p));
  });
}

Result<AttentionResult> attention(const CpuStorage& q, const CpuStorage& k, const CpuStorage& v,
                                  const CpuStorage* mask, const AttentionParams& params, bool keep) {
  const char* name = "scaled_dot_product_attention";
  return on_float_type<AttentionResult>(q.dtype(), name, [&]<class T>(std::type_identity<T>) -> Result<AttentionResult> {
    const Shape lead = leading(q.shape());
    auto m = attention_mask<T>(mask, lead, q.shape()[lead.size()], k.shape()[lead.size()]);
    if (!m) return std::unexpected(std::move(m.error()));
    const AttentionConfig c = attention_config(q, k, v, params);
    NdArray<T> y = NdArray<T>::uninit(with_last_two(lead, c.l, c.ev));
    NdArray<float> lse = attention_forward(head_operand(*q.get_if<T>(), lead), head_operand(*k.get_if<T>(), lead),
                                           head_operand(*v.get_if<T>(), lead), *m, c, dense_target(y, lead), keep);
    AttentionResult out{CpuStorage(std::move(y)), std::nullopt};
    if (keep) out.lse = std::move(lse);
    return out;
  });
}

Result<AttentionGradients> backward_attention(const CpuStorage& grad, const CpuStorage& y, const CpuStorage& q,
                                              const CpuStorage& k, const CpuStorage& v, const CpuStorage* mask,
                                              const AttentionParams& params, const NdArray<float>& lse, bool want_q,
                                              bool want_k, bool want_v) {
  if (grad.dtype() != q.dtype()) return fail(ExcKind::Type, kGradMismatch);
  const char* name = "scaled_dot_product_attention";
  return on_float_type<AttentionGradients>(q.dtype(), name, [&]<class T>(std::type_identity<T>) -> Result<AttentionGradients> {
    const Shape lead = leading(q.shape());
    auto m = attention_mask<T>(mask, lead, q.shape()[lead.size()], k.shape()[lead.size()]);
    if (!m) return std::unexpected(std::move(m.error()));
    const AttentionConfig c = attention_config(q, k, v, params);
    std::optional<NdArray<T>> gq, gk, gv;
    std::optional<HeadTarget<T>> tq, tk, tv;
    for (auto [want, shape, g, t] : {std::tuple{want_q, &q.shape(), &gq, &tq}, std::tuple{want_k, &k.shape(), &gk, &tk},
                                     std::tuple{want_v, &v.shape(), &gv, &tv}}) {
      if (!want) continue;
      g->emplace(NdArray<T>::uninit(*shape));
      t->emplace(dense_target(**g, lead));
    }
    attention_backward(head_operand(*grad.get_if<T>(), lead), head_operand(*y.get_if<T>(), lead),
                       head_operand(*q.get_if<T>(), lead), head_operand(*k.get_if<T>(), lead),
                       head_operand(*v.get_if<T>(), lead), *m, c, lse, tq ? &*tq : nullptr, tk ? &*tk : nullptr,
                       tv ? &*tv : nullptr);
    AttentionGradients out;
    if (gq) out.q.emplace(std::move(*gq));
    if (gk) out.k.emplace(std::move(*gk));
    if (gv) out.v.emplace(std::move(*gv));
    return out;
  });
}

Result<AttentionResult> attention_packed(const CpuStorage& qkv, std::size_t heads, const CpuStorage* mask,
                                         const AttentionParams& params, bool keep) {
  return on_float_type<AttentionResult>(qkv.dtype(), "multi_head_attention", [&]<class T>(std::type_identity<T>) -> Result<AttentionResult> {
    NdArray<T> copy;
    const NdArray<T>& x = row_major_of(*qkv.get_if<T>(), copy);
    const Packed pk = packed(x.shape(), heads);
    auto m = attention_mask<T>(mask, pk.lead_heads, pk.t, pk.t);
    if (!m) return std::unexpected(std::move(m.error()));
    Shape out_shape = x.shape();
    out_shape.back() /= 3;
    NdArray<T> y = NdArray<T>::uninit(out_shape);
    NdArray<float> lse = attention_forward(packed_operand<T>(x.data(), pk, 3, 0), packed_operand<T>(x.data(), pk, 3, 1),
                                           packed_operand<T>(x.data(), pk, 3, 2), *m, pk.config(params),
                                           packed_target(y.data(), pk, 1, 0), keep);
    AttentionResult out{CpuStorage(std::move(y)), std::nullopt};
    if (keep) out.lse = std::move(lse);
    return out;
  });
}

Result<CpuStorage> backward_attention_packed(const CpuStorage& grad, const CpuStorage& y, const CpuStorage& qkv,
                                             std::size_t heads, const CpuStorage* mask, const AttentionParams& params,
                                             const NdArray<float>& lse) {
  if (grad.dtype() != qkv.dtype()) return fail(ExcKind::Type, kGradMismatch);
  return on_float_type<CpuStorage>(qkv.dtype(), "multi_head_attention", [&]<class T>(std::type_identity<T>) -> Result<CpuStorage> {
    NdArray<T> xc, gc, yc;
    const NdArray<T>& x = row_major_of(*qkv.get_if<T>(), xc);
    const NdArray<T>& g = row_major_of(*grad.get_if<T>(), gc);
    const NdArray<T>& yr = row_major_of(*y.get_if<T>(), yc);
    const Packed pk = packed(x.shape(), heads);
    auto m = attention_mask<T>(mask, pk.lead_heads, pk.t, pk.t);
    if (!m) return std::unexpected(std::move(m.error()));
    NdArray<T> dx = NdArray<T>::uninit(x.shape());  // every element is one head's q, k or v gradient
    const HeadTarget<T> dq = packed_target(dx.data(), pk, 3, 0), dk = packed_target(dx.data(), pk, 3, 1),
                        dv = packed_target(dx.data(), pk, 3, 2);
    attention_backward(packed_operand<T>(g.data(), pk, 1, 0), packed_operand<T>(yr.data(), pk, 1, 0),
                       packed_operand<T>(x.data(), pk, 3, 0), packed_operand<T>(x.data(), pk, 3, 1),
                       packed_operand<T>(x.data(), pk, 3, 2), *m, pk.config(params), lse, &dq, &dk, &dv);
    return CpuStorage(std::move(dx));
  });
}

Result<CpuStorage> random_draw(Draw kind, DType dtype, const Shape& shape, const PhiloxStream& s, double a, double b) {
  if (!checked_numel(shape)) return fail(ExcKind::Value, concat("random: shape ", shape_str(shape), " is too large"));
  return on_float_type<CpuStorage>(dtype, "random", [&]<class T>(std::type_identity<T>) -> Result<CpuStorage> {
    switch (kind) {
      case Draw::Uniform: return CpuStorage(random_uniform<T>(shape, s, float(a), float(b)));
      case Draw::Normal: return CpuStorage(random_normal<T>(shape, s, float(a), float(b)));
      case Draw::Bernoulli: break;
    }
    return CpuStorage(random_bernoulli<T>(shape, s, a));
  });
}

Result<CpuStorage> random_bernoulli_of(const CpuStorage& probs, const PhiloxStream& s) {
  return on_float_type<CpuStorage>(probs.dtype(), "bernoulli", [&]<class T>(std::type_identity<T>) -> Result<CpuStorage> {
    NdArray<T> copy;
    return CpuStorage(mirel::random_bernoulli_of(row_major_of(*probs.get_if<T>(), copy), s));
  });
}

}  // namespace mirel
