#pragma once
// Dispatch per instruction set. loop.inc is compiled once per Isa, each copy
// in its own namespace under its set's target (exec/per_isa.inc); every loop
// has one variant per Isa, and the registry (exec/registry.hpp) picks the one
// this process runs, once, when the module loads. Variants give identical
// results: each is tested against the portable one.
//
// Note [compiler-vectorised loops]
// Where a loop has no explicit lanes (f32 arithmetic, bool operations, the
// bit-level functors), its vector code is the compiler's: the same source
// compiled for AVX2 or for AVX-512 256 bits wide differs only in encoding.
// The AVX-512 slots of such loops hold the AVX2 build, so that no AVX-512
// code exists that only an AVX-512 machine could test; an emulated build
// (Note [emulated instruction sets]) then runs every AVX-512 variant there
// is. What stays compiler-generated inside the AVX-512 variants is the
// scalar tails and strided copies around their explicit lanes.
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
#include "engine/cpu/array/half.hpp"
#include "engine/cpu/exec/registry.hpp"
#include "engine/cpu/exec/targets.hpp"

namespace mirel {

#define MIREL_PER_ISA "engine/cpu/loops/lanes.inc"
#define MIREL_PER_ISA_WIDEST 3
#include "engine/cpu/exec/per_isa.inc"

template <class R, class T>
using BinaryLoop = void (*)(std::size_t n, R* o, std::ptrdiff_t so, const T* a, std::ptrdiff_t sa, const T* b,
                            std::ptrdiff_t sb) noexcept;
template <class R, class T>
using UnaryLoop = void (*)(std::size_t n, R* o, const T* a) noexcept;

template <class Fn>
struct Variants {
  std::array<Fn, kIsaCount> by_isa;
  Fn best(exec::Family f = exec::Family::Loops) const noexcept { return by_isa[std::size_t(best_isa(f))]; }
};

// The four variants of one instantiation, in Isa order.
#define MIREL_VARIANTS(...) \
  {{isa_portable::__VA_ARGS__, isa_avx2::__VA_ARGS__, isa_avx512::__VA_ARGS__, isa_avx512bf16::__VA_ARGS__}}
// A loop without explicit lanes: its AVX2 build in the AVX-512 slots (Note [compiler-vectorised loops]).
#define MIREL_VARIANTS_AVX2(...) \
  {{isa_portable::__VA_ARGS__, isa_avx2::__VA_ARGS__, isa_avx2::__VA_ARGS__, isa_avx2::__VA_ARGS__}}

template <class F, class R, class T>
constexpr Variants<BinaryLoop<R, T>> binary_variants() noexcept {
  if constexpr (isa_avx512::has_lanes<F, R, T>) return Variants<BinaryLoop<R, T>> MIREL_VARIANTS(binary<F, R, T>);
  else return Variants<BinaryLoop<R, T>> MIREL_VARIANTS_AVX2(binary<F, R, T>);
}

template <class F, class R, class T>
constexpr Variants<UnaryLoop<R, T>> unary_variants() noexcept {
  if constexpr (isa_avx512::has_kernel<F>) return Variants<UnaryLoop<R, T>> MIREL_VARIANTS(unary<F, R, T>);
  else return Variants<UnaryLoop<R, T>> MIREL_VARIANTS_AVX2(unary<F, R, T>);
}

template <class F, class R, class T>
struct BinaryLoops {
  static constexpr Variants<BinaryLoop<R, T>> variants = binary_variants<F, R, T>();
  static inline const BinaryLoop<R, T> best = variants.best();
};

template <class F, class R, class T>
struct UnaryLoops {
  static constexpr Variants<UnaryLoop<R, T>> variants = unary_variants<F, R, T>();
  static inline const UnaryLoop<R, T> best = variants.best();
};

// gelu with its slope kept for the gradient, and the gradient from that slope.
template <class F, class T>
struct GeluSlopeLoops {
  using Forward = void (*)(std::size_t n, T* out, float* slope, const T* in) noexcept;
  using Backward = void (*)(std::size_t n, T* out, const T* g, const float* slope) noexcept;
  static constexpr Variants<Forward> forward MIREL_VARIANTS(gelu_with_slope<F, T>);
  static constexpr Variants<Backward> backward MIREL_VARIANTS(times_slope<T>);
  static inline const Forward best_forward = forward.best();
  static inline const Backward best_backward = backward.best();
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
