#include "engine/cpu/numeric/optim/steps.hpp"

#include <cmath>

#include "engine/cpu/exec/parallel.hpp"
#include "engine/cpu/exec/registry.hpp"
#include "engine/cpu/iter/walk.hpp"
#include "engine/cpu/exec/targets.hpp"

namespace mirel {
namespace {

// Each loop is written once and compiled twice: for the baseline and for
// AVX2 (the registry's family "optim"). Contraction is off in the whole
// build, so both give the same bits.
// The arrays never overlap (restrict), and the scalars are copied out of s,
// so that the compiler vectorises.
[[gnu::always_inline]] inline void adamw_loop(std::size_t n, float* __restrict w_out, const float* __restrict w,
                                              const float* __restrict g, float* __restrict m, float* __restrict v,
                                              const AdamW& s) noexcept {
  const float b1 = s.one_minus_beta1, b2 = s.beta2, c2 = s.one_minus_beta2, bias2 = s.bias2_sqrt, eps = s.eps;
  const float decay = s.decay, neg_step = -s.step_size;
  for (std::size_t i = 0; i < n; ++i) {
    const float gi = g[i];
    const float mi = m[i] + b1 * (gi - m[i]);   // m.lerp(g, 1 - beta1)
    const float vi = v[i] * b2 + c2 * gi * gi;  // v * beta2 + (1 - beta2) g g
    const float denom = std::sqrt(vi) / bias2 + eps;
    w_out[i] = w[i] * decay + neg_step * (mi / denom);
    m[i] = mi;
    v[i] = vi;
  }
}

template <bool Momentum, bool Nesterov, bool First>
[[gnu::always_inline]] inline void sgd_loop(std::size_t n, float* __restrict w_out, const float* __restrict w,
                                            const float* __restrict g, float* __restrict buf, const Sgd& s) noexcept {
  const float wd = s.weight_decay, mom = s.momentum, damp = s.one_minus_dampening, neg_lr = -s.lr;
  for (std::size_t i = 0; i < n; ++i) {
    float d = g[i] + wd * w[i];
    if constexpr (Momentum) {
      const float b = First ? d : buf[i] * mom + damp * d;
      buf[i] = b;
      d = Nesterov ? d + mom * b : b;
    }
    w_out[i] = w[i] + neg_lr * d;
  }
}

template <bool Momentum, bool Nesterov, bool First>
void sgd_portable(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  sgd_loop<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}
template <bool Momentum, bool Nesterov, bool First>
MIREL_TARGET_AVX2 void sgd_avx2(std::size_t n, float* w_out, const float* w, const float* g, float* buf,
                                      const Sgd& s) noexcept {
  sgd_loop<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}

bool use_avx2() noexcept {
  static const bool avx2 = best_isa(exec::Family::Optim) == Isa::Avx2;
  return avx2;
}

template <bool Momentum, bool Nesterov, bool First>
void sgd_variant(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  if (use_avx2()) sgd_avx2<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
  else sgd_portable<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}

void adamw_portable(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                    const AdamW& s) noexcept {
  adamw_loop(n, w_out, w, g, m, v, s);
}
MIREL_TARGET_AVX2 void adamw_avx2(std::size_t n, float* w_out, const float* w, const float* g, float* m,
                                        float* v, const AdamW& s) noexcept {
  adamw_loop(n, w_out, w, g, m, v, s);
}

}  // namespace

// Each weight's update reads and writes that weight's elements alone, so
// ranges of them run on the pool's threads (Note [same bits at any thread count]).
constexpr std::size_t kStepGrain = kElementGrain / 2;

void adamw_step(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                const AdamW& s) noexcept {
  exec::parallel_for(n, kStepGrain, [&](std::size_t b, std::size_t e) {
    if (use_avx2()) adamw_avx2(e - b, w_out + b, w + b, g + b, m + b, v + b, s);
    else adamw_portable(e - b, w_out + b, w + b, g + b, m + b, v + b, s);
  });
}

namespace {
void sgd_range(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  if (!buf) return sgd_variant<false, false, false>(n, w_out, w, g, buf, s);
  if (s.nesterov) {
    return s.first ? sgd_variant<true, true, true>(n, w_out, w, g, buf, s)
                   : sgd_variant<true, true, false>(n, w_out, w, g, buf, s);
  }
  return s.first ? sgd_variant<true, false, true>(n, w_out, w, g, buf, s)
                 : sgd_variant<true, false, false>(n, w_out, w, g, buf, s);
}
}  // namespace

void sgd_step(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  exec::parallel_for(n, kStepGrain, [&](std::size_t b, std::size_t e) {
    sgd_range(e - b, w_out + b, w + b, g + b, buf ? buf + b : nullptr, s);
  });
}

}  // namespace mirel
