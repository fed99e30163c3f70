#pragma once
// The table of operations. One-operand operations, one line each. A line names the operation, its
// functor (numeric/math/math.hpp), its gradient rule (below) and the value the
// rule reads beside the incoming gradient: the operand, or the result, which
// the operation's node keeps once it has been computed. The storage methods
// (CpuStorage::exp, CpuStorage::backward_exp), the Tensor operations and the
// backward nodes are all spelled out from this table; adding an operation is
// a functor, a rule and a line.
//
// Every rule is one elementwise expression over (g, v) in f32, rounded once
// to the element type like any binary operation (Widened), so the half types
// see one rounding per gradient. A rule may use one math kernel: it names the
// kernel and its argument, and takes the kernel's value t as a third operand
// (Note [functors on the math kernels] in loops/loop.inc), e.g.
//   struct SoftplusGrad {  // d log(1 + exp(x)) = sigmoid(x)
//     template <class K> static constexpr auto kernel = &K::sigmoid;
//     template <class V> static V inner(V x) noexcept { return x; }
//     template <class V> V operator()(V g, V, V t) const noexcept { return g * t; }
//   };
namespace mirel {

enum class Saved { Operand, Result };

// d exp(x) = exp(x): the result.
struct ExpGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V y) const noexcept { return g * y; }
};
// d log(x) = 1/x.
struct LogGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V x) const noexcept { return g / x; }
};
// d tanh(x) = 1 - tanh(x)^2.
struct TanhGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V y) const noexcept { return g * (1.0f - y * y); }
};
// d sigmoid(x) = sigmoid(x) (1 - sigmoid(x)).
struct SigmoidGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V y) const noexcept { return g * (y * (1.0f - y)); }
};
// d gelu(x) = Phi(x) + x phi(x), phi(x) = exp(-x^2/2) / sqrt(2 pi): the
// kernel gelu_slope gives it from the operand in f32, within 1 ulp, and
// within 2^-40 absolute near its zero at x = -0.7518 (1 beyond 14.5, -0
// below -14.5); g times it is rounded once.
struct GeluGrad {
  template <class K> static constexpr auto kernel = &K::gelu_slope;
  template <class V> [[gnu::always_inline]] static V inner(V x) noexcept { return x; }
  template <class V> [[gnu::always_inline]] V operator()(V g, V, V slope) const noexcept { return g * slope; }
};
// d sqrt(x) = 1 / (2 sqrt(x)); y + y doubles exactly.
struct SqrtGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V y) const noexcept { return g / (y + y); }
};
// d |x| = sign(x): 0 at ±0, NaN at NaN (x - x is then NaN, and 0 otherwise).
struct AbsGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V x) const noexcept {
    return x > 0.0f ? g : (x < 0.0f ? -g : g * (x - x));
  }
};
// d (-x) = -1.
struct NegGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V) const noexcept { return -g; }
};
// d x^2 = 2x; x + x doubles exactly.
struct SquareGrad {
  template <class V> [[gnu::always_inline]] V operator()(V g, V x) const noexcept { return g * (x + x); }
};

// X(name, functor, gradient rule, what the rule reads)
#define MIREL_UNARY_OPS(X)                       \
  X(exp, Exp, ExpGrad, Saved::Result)            \
  X(log, Log, LogGrad, Saved::Operand)           \
  X(tanh, Tanh, TanhGrad, Saved::Result)         \
  X(sigmoid, Sigmoid, SigmoidGrad, Saved::Result) \
  X(gelu, Gelu, GeluGrad, Saved::Operand)        \
  X(sqrt, Sqrt, SqrtGrad, Saved::Result)         \
  X(abs, Abs, AbsGrad, Saved::Operand)           \
  X(negative, Neg, NegGrad, Saved::Operand)      \
  X(square, Square, SquareGrad, Saved::Operand)

// Two-operand operations with broadcasting. The functor is an elementwise
// operation like Add (numeric/core.hpp); each operand's gradient rule reads
// (g, a, b) at the broadcast shape and is rounded once.
//
// maximum and minimum propagate NaN (NumPy's rule); where the operands are
// equal the gradient is shared, half to each (PyTorch's rule).
struct Max {
  template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return (x > y || x != x) ? x : y; }
};
struct Min {
  template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return (x < y || x != x) ? x : y; }
};
struct MaxGradLhs {
  float operator()(float g, float a, float b) const noexcept { return a > b ? g : (a == b ? g * 0.5f : 0.0f); }
};
struct MaxGradRhs {
  float operator()(float g, float a, float b) const noexcept { return b > a ? g : (a == b ? g * 0.5f : 0.0f); }
};
struct MinGradLhs {
  float operator()(float g, float a, float b) const noexcept { return a < b ? g : (a == b ? g * 0.5f : 0.0f); }
};
struct MinGradRhs {
  float operator()(float g, float a, float b) const noexcept { return b < a ? g : (a == b ? g * 0.5f : 0.0f); }
};

// X(name, functor, gradient rule of a, gradient rule of b)
#define MIREL_BINARY_OPS(X)                          \
  X(maximum, Max, MaxGradLhs, MaxGradRhs)            \
  X(minimum, Min, MinGradLhs, MinGradRhs)

// Reductions over axes, one line each: CpuStorage::sum(axes, keepdims) and
// CpuStorage::backward_sum(grad, input, result, axes, keepdims), the Tensor
// operation and its node come from this list.
#define MIREL_REDUCE_OPS(X) X(sum) X(mean) X(max) X(min)

}  // namespace mirel
