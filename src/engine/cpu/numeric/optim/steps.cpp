#include "engine/cpu/numeric/optim/steps.hpp"

#include <cmath>

#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {
namespace {

// Each loop is written once and compiled twice: for the baseline and for
// AVX2. Contraction is off in the whole build, so both give the same bits.
[[gnu::always_inline]] inline void adamw_loop(std::size_t n, float* w_out, const float* w, const float* g, float* m,
                                              float* v, const AdamW& s) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    const float gi = g[i];
    const float mi = m[i] + s.one_minus_beta1 * (gi - m[i]);        // m.lerp(g, 1 - beta1)
    const float vi = v[i] * s.beta2 + s.one_minus_beta2 * gi * gi;  // v * beta2 + (1 - beta2) g g
    const float denom = std::sqrt(vi) / s.bias2_sqrt + s.eps;
    w_out[i] = w[i] * s.decay + -s.step_size * (mi / denom);
    m[i] = mi;
    v[i] = vi;
  }
}

template <bool Momentum, bool Nesterov, bool First>
[[gnu::always_inline]] inline void sgd_loop(std::size_t n, float* w_out, const float* w, const float* g, float* buf,
                                            const Sgd& s) noexcept {
  for (std::size_t i = 0; i < n; ++i) {
    float d = g[i] + s.weight_decay * w[i];
    if constexpr (Momentum) {
      const float b = First ? d : buf[i] * s.momentum + s.one_minus_dampening * d;
      buf[i] = b;
      d = Nesterov ? d + s.momentum * b : b;
    }
    w_out[i] = w[i] + -s.lr * d;
  }
}

template <bool Momentum, bool Nesterov, bool First>
void sgd_portable(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  sgd_loop<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}
template <bool Momentum, bool Nesterov, bool First>
[[gnu::target("avx2")]] void sgd_avx2(std::size_t n, float* w_out, const float* w, const float* g, float* buf,
                                      const Sgd& s) noexcept {
  sgd_loop<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}

bool use_avx2() noexcept { return best_isa() != Isa::Portable; }

template <bool Momentum, bool Nesterov, bool First>
void sgd_variant(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  if (use_avx2()) sgd_avx2<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
  else sgd_portable<Momentum, Nesterov, First>(n, w_out, w, g, buf, s);
}

void adamw_portable(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                    const AdamW& s) noexcept {
  adamw_loop(n, w_out, w, g, m, v, s);
}
[[gnu::target("avx2")]] void adamw_avx2(std::size_t n, float* w_out, const float* w, const float* g, float* m,
                                        float* v, const AdamW& s) noexcept {
  adamw_loop(n, w_out, w, g, m, v, s);
}

}  // namespace

void adamw_step(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                const AdamW& s) noexcept {
  if (use_avx2()) adamw_avx2(n, w_out, w, g, m, v, s);
  else adamw_portable(n, w_out, w, g, m, v, s);
}

void sgd_step(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept {
  if (!buf) return sgd_variant<false, false, false>(n, w_out, w, g, buf, s);
  if (s.nesterov) {
    return s.first ? sgd_variant<true, true, true>(n, w_out, w, g, buf, s)
                   : sgd_variant<true, true, false>(n, w_out, w, g, buf, s);
  }
  return s.first ? sgd_variant<true, false, true>(n, w_out, w, g, buf, s)
                 : sgd_variant<true, false, false>(n, w_out, w, g, buf, s);
}

}  // namespace mirel
