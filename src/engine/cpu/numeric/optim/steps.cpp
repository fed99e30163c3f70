#include "engine/cpu/numeric/optim/steps.hpp"

#include <cmath>

namespace mirel {

void adamw_step(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                const AdamW& s) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const float gi = g[i];
    const float mi = m[i] + s.one_minus_beta1 * (gi - m[i]);           // m.lerp(g, 1 - beta1)
    const float vi = v[i] * s.beta2 + s.one_minus_beta2 * gi * gi;     // v * beta2 + (1 - beta2) g g
    const float denom = std::sqrt(vi) / s.bias2_sqrt + s.eps;
    w_out[i] = w[i] * s.decay + -s.step_size * (mi / denom);
    m[i] = mi;
    v[i] = vi;
  }
}

namespace {

template <bool Momentum, bool Nesterov, bool First>
void sgd_loop(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    float d = g[i] + s.weight_decay * w[i];  // weight decay 0 adds +0 or -0: d unchanged
    if constexpr (Momentum) {
      const float b = First ? d : buf[i] * s.momentum + s.one_minus_dampening * d;
      buf[i] = b;
      d = Nesterov ? d + s.momentum * b : b;
    }
    w_out[i] = w[i] + -s.lr * d;
  }
}

}  // namespace

void sgd_step(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  if (!buf) return sgd_loop<false, false, false>(n, w_out, w, g, buf, s);
  if (s.nesterov) {
    return s.first ? sgd_loop<true, true, true>(n, w_out, w, g, buf, s)
                   : sgd_loop<true, true, false>(n, w_out, w, g, buf, s);
  }
  return s.first ? sgd_loop<true, false, true>(n, w_out, w, g, buf, s)
                 : sgd_loop<true, false, false>(n, w_out, w, g, buf, s);
}

}  // namespace mirel
