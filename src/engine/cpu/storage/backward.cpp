// Gradient operations: dispatched on the gradient's element type; both saved
// operands must share it.
#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/backward/extremum.hpp"
#include "engine/cpu/numeric/ops/expand.hpp"
#include "engine/cpu/numeric/backward/rules.hpp"
#include "engine/cpu/numeric/math/power.hpp"
#include "engine/cpu/numeric/ops/scalar.hpp"
#include "engine/cpu/numeric/ops/select.hpp"
#include "engine/cpu/numeric/backward/functional.hpp"
#include "engine/cpu/numeric/backward/matmul.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"

namespace mirel {
namespace {

constexpr const char* kOperandsMismatch = "DType mismatch between gradient and operands during backward pass.";

template <class Kernel>
Result<CpuStorage::GradPair> binary_backward(const CpuStorage& lhs, const CpuStorage& grad, const CpuStorage& rhs,
                                             GradWanted want, Kernel kernel) {
  if (lhs.dtype() != grad.dtype() || rhs.dtype() != grad.dtype()) return fail(ExcKind::Type, kOperandsMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage::GradPair> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, kOperandsMismatch);
        } else {
          auto r = kernel(g, *lhs.get_if<T>(), *rhs.get_if<T>(), want);
          if (!r) return fail(ExcKind::Runtime, std::move(r.error()));
          CpuStorage::GradPair out;
          if (want.lhs) out.first.emplace(std::move(r->first));
          if (want.rhs) out.second.emplace(std::move(r->second));
          return out;
        }
      },
      grad.data());
}

// (rule_a(g, a, b), rule_b(g, a, b)), each only when wanted.
template <class RuleA, class RuleB, class T>
Expected<ArrayPair<T>> rule_pair(const NdArray<T>& g, const NdArray<T>& a, const NdArray<T>& b, GradWanted want) {
  ArrayPair<T> out;
  if (want.lhs) {
    auto r = backward_rule<RuleA>(g, a, b);
    if (!r) return std::unexpected(std::move(r.error()));
    out.first = std::move(*r);
  }
  if (want.rhs) {
    auto r = backward_rule<RuleB>(g, a, b);
    if (!r) return std::unexpected(std::move(r.error()));
    out.second = std::move(*r);
  }
  return out;
}

}  // namespace

Result<CpuStorage::GradPair> CpuStorage::backward_mul(const CpuStorage& lhs, const CpuStorage& grad,
                                                      const CpuStorage& rhs, GradWanted want) {
  return binary_backward(lhs, grad, rhs, want, [](const auto& g, const auto& a, const auto& b, GradWanted w) {
    return mirel::backward_mul(g, a, b, w);
  });
}

Result<CpuStorage::GradPair> CpuStorage::backward_div(const CpuStorage& lhs, const CpuStorage& grad,
                                                      const CpuStorage& rhs, GradWanted want) {
  return binary_backward(lhs, grad, rhs, want, [](const auto& g, const auto& a, const auto& b, GradWanted w) {
    return mirel::backward_div(g, a, b, w);
  });
}

Result<CpuStorage::GradPair> CpuStorage::backward_matmul(const CpuStorage& lhs, const CpuStorage& grad,
                                                      const CpuStorage& rhs, GradWanted want) {
  return binary_backward(lhs, grad, rhs, want, [](const auto& g, const auto& a, const auto& b, GradWanted w) {
    return mirel::backward_matmul(g, a, b, w);
  });
}

Result<CpuStorage> CpuStorage::backward_relu(const CpuStorage& input, const CpuStorage& grad) {
  if (input.dtype() != grad.dtype()) {
    return fail(ExcKind::Type, "DType mismatch between gradient and input during unary backward pass.");
  }
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, "DType mismatch between gradient and input during unary backward pass.");
        } else {
          return lift(mirel::backward_relu(g, *input.get_if<T>()));
        }
      },
      grad.data());
}

namespace {

// The gradient of a reduction's result at the kept shape (reduced axes of length 1).
Result<CpuStorage> at_kept_shape(const CpuStorage& grad, const CpuStorage& input, const Axes& axes, bool keepdims) {
  if (keepdims) return grad;
  return grad.reshape(kept_shape(input.shape(), axes));
}

// Elements per result element of a reduction over axes.
float reduced_count(const Shape& shape, const Axes& axes) {
  float n = 1.0f;
  for (std::size_t a : axes) n *= float(shape[a]);
  return n;
}

}  // namespace

Result<CpuStorage> CpuStorage::backward_sum(const CpuStorage& grad, const CpuStorage& input, const CpuStorage&,
                                            const Axes& axes, bool keepdims) {
  auto g = at_kept_shape(grad, input, axes, keepdims);
  if (!g) return g;
  return g->broadcast_to(input.shape());
}

Result<CpuStorage> CpuStorage::backward_mean(const CpuStorage& grad, const CpuStorage& input, const CpuStorage&,
                                             const Axes& axes, bool keepdims) {
  auto g = at_kept_shape(grad, input, axes, keepdims);
  if (!g) return g;
  const float n = reduced_count(input.shape(), axes);
  auto share = std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return fail(ExcKind::Type, kOperandsMismatch);
        else return CpuStorage(divide_in_f32(a, n));
      },
      g->data());
  if (!share) return share;
  return share->broadcast_to(input.shape());
}

namespace {

Result<CpuStorage> extremum_backward(const CpuStorage& grad, const CpuStorage& input, const CpuStorage& result,
                                     const Axes& axes, bool keepdims) {
  if (input.dtype() != grad.dtype() || result.dtype() != grad.dtype()) return fail(ExcKind::Type, kOperandsMismatch);
  auto g = at_kept_shape(grad, input, axes, keepdims);
  if (!g) return g;
  auto r = at_kept_shape(result, input, axes, keepdims);
  if (!r) return r;
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return fail(ExcKind::Type, kOperandsMismatch);
        else return lift(mirel::backward_extremum(a, *input.get_if<T>(), *r->get_if<T>()));
      },
      g->data());
}

}  // namespace

Result<CpuStorage> CpuStorage::backward_max(const CpuStorage& grad, const CpuStorage& input, const CpuStorage& result,
                                            const Axes& axes, bool keepdims) {
  return extremum_backward(grad, input, result, axes, keepdims);
}

Result<CpuStorage> CpuStorage::backward_min(const CpuStorage& grad, const CpuStorage& input, const CpuStorage& result,
                                            const Axes& axes, bool keepdims) {
  return extremum_backward(grad, input, result, axes, keepdims);
}

// Gradients of the table's two-operand operations: one rule per operand,
// computed only for the operands that want it (Note [constant operands]).
#define MIREL_DEFINE_BINARY_BACKWARD(name, Fn, RuleA, RuleB)                                                    \
  Result<CpuStorage::GradPair> CpuStorage::backward_##name(const CpuStorage& lhs, const CpuStorage& grad,       \
                                                           const CpuStorage& rhs, GradWanted want) {            \
    return binary_backward(lhs, grad, rhs, want, []<class T>(const NdArray<T>& g, const NdArray<T>& a,          \
                                                             const NdArray<T>& b, GradWanted w) {               \
      return rule_pair<RuleA, RuleB>(g, a, b, w);                                                               \
    });                                                                                                         \
  }
MIREL_BINARY_OPS(MIREL_DEFINE_BINARY_BACKWARD)
#undef MIREL_DEFINE_BINARY_BACKWARD

Result<CpuStorage::GradPair> CpuStorage::backward_where(const CpuStorage& cond, const CpuStorage& grad,
                                                        GradWanted want) {
  const NdArray<bool>* c = cond.get_if<bool>();
  if (!c) return fail(ExcKind::Type, kOperandsMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<GradPair> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type, kOperandsMismatch);
        } else {
          GradPair out;
          for (bool keep : {true, false}) {
            if (!(keep ? want.lhs : want.rhs)) continue;
            auto r = mirel::backward_where(*c, g, keep);
            if (!r) return fail(ExcKind::Runtime, std::move(r.error()));
            (keep ? out.first : out.second).emplace(std::move(*r));
          }
          return out;
        }
      },
      grad.data());
}

Result<CpuStorage> CpuStorage::backward_power(const CpuStorage& grad, const CpuStorage& input, float p) {
  if (grad.dtype() != input.dtype() || !(grad.shape() == input.shape())) return fail(ExcKind::Type, kOperandsMismatch);
  return std::visit(
      [&]<class T>(const NdArray<T>& g) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) return fail(ExcKind::Type, kOperandsMismatch);
        else return CpuStorage(mirel::backward_power(g, *input.get_if<T>(), p));
      },
      grad.data());
}

}  // namespace mirel
