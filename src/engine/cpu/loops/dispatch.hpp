#pragma once
// Dispatch per instruction set. loop.inc is compiled once per Isa, each copy
// in its own namespace (the compiler's own vector loops stay 256 bits wide in
// the AVX-512 sets: wider ones streamed slower; Lanes is 512 bits there); every loop has one variant per Isa, and the best one
// the CPU supports is picked once, when the module loads. Variants give
// identical results: each is tested against the portable one.
//
// Callers name a loop by its functor: BinaryLoops<Widened<Add>, F16, F16>::best.
#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>

// GCC 12 reports its own AVX-512 intrinsics' undefined-vector idiom as
// (maybe-)uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include <immintrin.h>

#include "engine/cpu/array/half.hpp"

namespace mirel {

enum class Isa { Portable, Avx2, Avx512, Avx512Bf16 };
inline constexpr std::size_t kIsaCount = 4;

const char* isa_name(Isa isa) noexcept;
bool isa_supported(Isa isa) noexcept;
Isa best_isa() noexcept;

namespace isa_portable {
#define MIREL_ISA 0
#include "engine/cpu/loops/loop.inc"
#include "engine/cpu/loops/math_lanes.inc"
#include "engine/cpu/loops/reduce_lanes.inc"
#undef MIREL_ISA
}  // namespace isa_portable

#pragma GCC push_options
#pragma GCC target("avx2,f16c,fma")
namespace isa_avx2 {
#define MIREL_ISA 1
#include "engine/cpu/loops/loop.inc"
#include "engine/cpu/loops/math_lanes.inc"
#include "engine/cpu/loops/reduce_lanes.inc"
#undef MIREL_ISA
}  // namespace isa_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=256")
namespace isa_avx512 {
#define MIREL_ISA 2
#include "engine/cpu/loops/loop.inc"
#include "engine/cpu/loops/math_lanes.inc"
#include "engine/cpu/loops/reduce_lanes.inc"
#undef MIREL_ISA
}  // namespace isa_avx512
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq,avx512bf16,prefer-vector-width=256")
namespace isa_avx512bf16 {
#define MIREL_ISA 3
#include "engine/cpu/loops/loop.inc"
#include "engine/cpu/loops/math_lanes.inc"
#include "engine/cpu/loops/reduce_lanes.inc"
#undef MIREL_ISA
}  // namespace isa_avx512bf16
#pragma GCC pop_options

template <class R, class T>
using BinaryLoop = void (*)(std::size_t n, R* o, std::ptrdiff_t so, const T* a, std::ptrdiff_t sa, const T* b,
                            std::ptrdiff_t sb) noexcept;
template <class R, class T>
using UnaryLoop = void (*)(std::size_t n, R* o, const T* a) noexcept;

template <class Fn>
struct Variants {
  std::array<Fn, kIsaCount> by_isa;
  Fn best() const noexcept { return by_isa[std::size_t(best_isa())]; }
};

// The four variants of one instantiation, in Isa order.
#define MIREL_VARIANTS(...) \
  {{isa_portable::__VA_ARGS__, isa_avx2::__VA_ARGS__, isa_avx512::__VA_ARGS__, isa_avx512bf16::__VA_ARGS__}}

template <class F, class R, class T>
struct BinaryLoops {
  static constexpr Variants<BinaryLoop<R, T>> variants MIREL_VARIANTS(binary<F, R, T>);
  static inline const BinaryLoop<R, T> best = variants.best();
};

template <class F, class R, class T>
struct UnaryLoops {
  static constexpr Variants<UnaryLoop<R, T>> variants MIREL_VARIANTS(unary<F, R, T>);
  static inline const UnaryLoop<R, T> best = variants.best();
};

template <class H>
struct HalfConversions {
  using Widen = void (*)(const H*, float*, std::size_t) noexcept;
  using Narrow = void (*)(const float*, H*, std::size_t) noexcept;
  static constexpr Variants<Widen> widen MIREL_VARIANTS(widen_n<H>);
  static constexpr Variants<Narrow> narrow MIREL_VARIANTS(narrow_n<H>);
  static inline const Widen best_widen = widen.best();
  static inline const Narrow best_narrow = narrow.best();
};

}  // namespace mirel

#pragma GCC diagnostic pop
