#pragma once
// Optimizer updates: one fused pass per parameter over its f32 master weight,
// its gradient and its state, every operation in binary32 in the order
// written beside each step (the order of the usual reference formulas, so
// results agree with theirs to within f32 rounding). The new weight goes to
// w_out, which overlaps no other array; the state is updated in place.
#include <cstddef>

namespace mirel {

// AdamW with bias correction and decoupled weight decay. The scalars are
// rounded once from their double-precision values: decay = 1 - lr * wd,
// step_size = lr / (1 - beta1^t), bias2_sqrt = sqrt(1 - beta2^t).
struct AdamW {
  float decay, one_minus_beta1, beta2, one_minus_beta2, eps, step_size, bias2_sqrt;
};
void adamw_step(std::size_t n, float* w_out, const float* w, const float* g, float* m, float* v,
                const AdamW& s) noexcept;

// SGD with momentum (buf, absent when momentum is 0), dampening, Nesterov
// momentum and L2 weight decay added to the gradient. On the first step the
// buffer starts as the gradient itself.
struct Sgd {
  float lr, momentum, one_minus_dampening, weight_decay;
  bool nesterov, first;
};
void sgd_step(std::size_t n, float* w_out, const float* w, const float* g, float* buf, const Sgd& s) noexcept;

}  // namespace mirel
