#include "engine/cpu/loops/dispatch.hpp"

namespace mirel {

const char* isa_name(Isa isa) noexcept {
  switch (isa) {
    case Isa::Portable: return "portable";
    case Isa::Avx2: return "AVX2+FMA+F16C";
    case Isa::Avx512: return "AVX-512 F/BW/VL/DQ";
    case Isa::Avx512Bf16: break;
  }
  return "AVX-512 with BF16";
}

bool isa_supported(Isa isa) noexcept {
  __builtin_cpu_init();
  const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  switch (isa) {
    case Isa::Portable: return true;
    case Isa::Avx2: return avx2;
    case Isa::Avx512: return avx512;
    case Isa::Avx512Bf16: break;
  }
  return avx512 && __builtin_cpu_supports("avx512bf16");
}

Isa best_isa() noexcept {
  static const Isa best = [] {
    for (std::size_t i = kIsaCount; i-- > 1;) {
      if (isa_supported(Isa(i))) return Isa(i);
    }
    return Isa::Portable;
  }();
  return best;
}

}  // namespace mirel
