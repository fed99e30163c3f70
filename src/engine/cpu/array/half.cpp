#include "engine/cpu/array/half.hpp"

#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {

void widen_n(const F16* src, float* dst, std::size_t n) noexcept { HalfConversions<F16>::best_widen(src, dst, n); }
void narrow_n(const float* src, F16* dst, std::size_t n) noexcept { HalfConversions<F16>::best_narrow(src, dst, n); }
void widen_n(const BF16* src, float* dst, std::size_t n) noexcept { HalfConversions<BF16>::best_widen(src, dst, n); }
void narrow_n(const float* src, BF16* dst, std::size_t n) noexcept { HalfConversions<BF16>::best_narrow(src, dst, n); }

}  // namespace mirel
