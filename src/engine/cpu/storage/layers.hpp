#pragma once
// The layers' storage operations: normalisation, dropout and attention, each
// dispatched once on the element type (float types only) to the kernels of
// engine/cpu/numeric/layers/, and the random draws of engine/cpu/random/.
// Operands of any layout; results row-major. Shapes are the caller's to check
// (the mirel package checks them and names the argument).
#include <optional>

#include "engine/cpu/numeric/layers/attention.hpp"
#include "engine/cpu/numeric/layers/norm.hpp"
#include "engine/cpu/random/philox.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {

// Normalisation over the trailing axes holding n elements; weight and bias
// (optional) of those axes' shape.
struct NormResult {
  CpuStorage y;
  std::optional<NormStats> stats;  // kept for the gradient when asked for
};
Result<NormResult> layer_norm(const CpuStorage& x, const CpuStorage* weight, const CpuStorage* bias, std::size_t n,
                              float eps, bool rms, bool keep);

struct NormGradients {
  std::optional<CpuStorage> x, weight, bias;
};
// normalized: the trailing axes' shape (weight's and bias's).
Result<NormGradients> backward_layer_norm(const CpuStorage& grad, const CpuStorage& x, const CpuStorage* weight,
                                          const Shape& normalized, bool rms, const NormStats& stats, bool want_x,
                                          bool want_w, bool want_b);

// x (or a gradient) with each element kept or zeroed by its word of the stream.
Result<CpuStorage> dropout(const CpuStorage& x, const PhiloxStream& s, double p);

// q [..., L, E], k [..., S, E], v [..., S, Ev] (one leading shape), mask
// (Bool or q's type) broadcasting to [..., L, S].
struct AttentionParams {
  float scale;
  bool causal;
  double dropout_p;
  PhiloxStream stream;
};
struct AttentionResult {
  CpuStorage y;
  std::optional<NdArray<float>> lse;  // kept for the gradient when asked for
};
Result<AttentionResult> attention(const CpuStorage& q, const CpuStorage& k, const CpuStorage& v,
                                  const CpuStorage* mask, const AttentionParams& params, bool keep);

struct AttentionGradients {
  std::optional<CpuStorage> q, k, v;
};
Result<AttentionGradients> backward_attention(const CpuStorage& grad, const CpuStorage& y, const CpuStorage& q,
                                              const CpuStorage& k, const CpuStorage& v, const CpuStorage* mask,
                                              const AttentionParams& params, const NdArray<float>& lse, bool want_q,
                                              bool want_k, bool want_v);

// Self-attention over one projection qkv [..., T, 3E]: query, key and value
// side by side, E = heads * d (as nn.MultiheadAttention's in_proj gives them),
// read in place; the result is [..., T, E] with the heads joined, as out_proj
// takes it. The same numbers, dropout words included, as attention() of q, k
// and v [..., heads, T, d]; the mask broadcasts to [..., heads, T, T].
Result<AttentionResult> attention_packed(const CpuStorage& qkv, std::size_t heads, const CpuStorage* mask,
                                         const AttentionParams& params, bool keep);
// The gradient of qkv, at its shape.
Result<CpuStorage> backward_attention_packed(const CpuStorage& grad, const CpuStorage& y, const CpuStorage& qkv,
                                             std::size_t heads, const CpuStorage* mask, const AttentionParams& params,
                                             const NdArray<float>& lse);

// Random draws of a float element type (Note [counter-based random numbers]).
enum class Draw { Uniform, Normal, Bernoulli };
Result<CpuStorage> random_draw(Draw kind, DType dtype, const Shape& shape, const PhiloxStream& s, double a, double b);
// bernoulli with each element's own probability, at probs' shape.
Result<CpuStorage> random_bernoulli_of(const CpuStorage& probs, const PhiloxStream& s);

}  // namespace mirel
