// Gradient operations: dispatched on the gradient's element type; both saved
// operands must share it.
#include "engine/cpu/numeric/backward/binary.hpp"
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

}  // namespace mirel
