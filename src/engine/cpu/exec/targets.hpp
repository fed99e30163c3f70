#pragma once
// The compiler targets of the instruction sets, written once. A set's copy of
// a template file is compiled between MIREL_BEGIN_<SET> and MIREL_END_<SET>;
// a single function of a set carries MIREL_TARGET_<SET>. The registry
// (registry.hpp) decides which of them runs.
//
// The AVX-512 sets keep the compiler's own vector loops 256 bits wide
// (prefer-vector-width): wider ones streamed slower; explicit lanes are 512.
// Under MIREL_EMULATE_AVX512 (Note [emulated instruction sets]) the AVX-512
// and AMX targets are the build's own AVX2 target, and their intrinsics come
// from the shim and the software tile unit included here.
#include <immintrin.h>

#define MIREL_BEGIN_AVX2 _Pragma("GCC push_options") _Pragma("GCC target(\"avx2,f16c,fma\")")
#define MIREL_END_AVX2 _Pragma("GCC pop_options")
#define MIREL_TARGET_AVX2 __attribute__((target("avx2,f16c,fma")))

#if defined(MIREL_EMULATE_AVX512)
#include "engine/cpu/exec/emu/amx.hpp"
#include "engine/cpu/exec/emu/avx512.hpp"
#define MIREL_BEGIN_AVX512
#define MIREL_BEGIN_AVX512_BF16
#define MIREL_END_AVX512
#define MIREL_TARGET_AVX512_BF16
#define MIREL_TARGET_AMX
#else
#define MIREL_BEGIN_AVX512 \
  _Pragma("GCC push_options") \
  _Pragma("GCC target(\"avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq,prefer-vector-width=256\")")
#define MIREL_BEGIN_AVX512_BF16 \
  _Pragma("GCC push_options") \
  _Pragma("GCC target(\"avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq,avx512bf16,prefer-vector-width=256\")")
#define MIREL_END_AVX512 _Pragma("GCC pop_options")
#define MIREL_TARGET_AVX512_BF16 __attribute__((target("avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq,avx512bf16")))
#define MIREL_TARGET_AMX __attribute__((target("amx-tile,amx-bf16,avx2,f16c,fma,avx512f,avx512bw,avx512vl,avx512dq")))
#endif
