// Element-type rules of the reductions: sum and mean take the float types;
// max, min and argmax take bool too (any, all, the first true). Over no
// elements, max, min and argmax are a ValueError; sum is 0 and mean NaN.
#include "engine/cpu/numeric/reduce/reduce.hpp"
#include "engine/cpu/storage/cpu_storage.hpp"
#include "util/format.hpp"

namespace mirel {
namespace {

template <class Kernel>
Result<CpuStorage> arithmetic_reduction(const CpuStorage& s, const char* name, Kernel kernel) {
  return std::visit(
      [&]<class T>(const NdArray<T>& a) -> Result<CpuStorage> {
        if constexpr (std::is_same_v<T, bool>) {
          return fail(ExcKind::Type,
                      concat(name, " is not supported for Bool data types. Cast to a numeric type first."));
        } else {
          return lift(kernel(view_of(a)));
        }
      },
      s.data());
}

// max, min, argmax: results of no elements are a ValueError; any element type.
template <class R, class Kernel>
Result<R> extremum_reduction(const CpuStorage& s, const char* name, const Axes& axes, Kernel kernel) {
  if (auto c = extremum_check(name, s.shape(), axes); !c) return fail(ExcKind::Value, std::move(c.error()));
  return std::visit(
      [&](const auto& a) -> Result<R> {
        auto r = kernel(view_of(a));
        if (!r) return fail(ExcKind::Runtime, std::move(r.error()));
        return R(std::move(*r));
      },
      s.data());
}

}  // namespace

Result<CpuStorage> CpuStorage::sum(const Axes& axes, bool keepdims) const {
  return arithmetic_reduction(*this, "sum", [&](const auto& v) { return sum_over(v, axes, keepdims); });
}

Result<CpuStorage> CpuStorage::mean(const Axes& axes, bool keepdims) const {
  return arithmetic_reduction(*this, "mean", [&](const auto& v) { return mean_over(v, axes, keepdims); });
}

Result<CpuStorage> CpuStorage::max(const Axes& axes, bool keepdims) const {
  return extremum_reduction<CpuStorage>(*this, "max", axes, [&](const auto& v) { return max_over(v, axes, keepdims); });
}

Result<CpuStorage> CpuStorage::min(const Axes& axes, bool keepdims) const {
  return extremum_reduction<CpuStorage>(*this, "min", axes, [&](const auto& v) { return min_over(v, axes, keepdims); });
}

Result<NdArray<std::int64_t>> CpuStorage::argmax(const Axes& axes, bool keepdims) const {
  return extremum_reduction<NdArray<std::int64_t>>(*this, "argmax", axes,
                                                   [&](const auto& v) { return argmax_over(v, axes, keepdims); });
}

}  // namespace mirel
