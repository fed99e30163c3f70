#pragma once
// The one registry of instruction sets: which variants each kernel family
// compiles, which of them this process may run, and the one it runs.
// Every family chooses here, once; nothing else asks the CPU.
//
// Note [MIREL_ISA]
// The environment variable MIREL_ISA caps what the whole process uses, for
// reproducing a problem on a lesser machine and for tests. Its values form one
// ladder, each allowing the ones before it:
//   portable     no vector instruction set: every family takes its portable variant
//   avx2         AVX2 + FMA + F16C
//   avx512       AVX-512 F/BW/VL/DQ; bf16 products take the widened path
//   avx512_bf16  AVX-512 with BF16 conversions, and the AVX-512 BF16 product unit; no AMX
//   amx          everything (the default)
// A cap never adds what the CPU lacks. An unknown value caps nothing and is
// reported as ignored (mirel.config()).
//
// Note [emulated instruction sets]
// A build with MIREL_EMULATE_AVX512 (CMake option of the same name; test
// builds only) compiles the AVX-512 and AVX-512 BF16 variants against SIMDe
// and a shim (exec/emu/avx512.hpp) and the AMX kernel against a software tile
// unit (exec/emu/amx.hpp), all with AVX2 instructions: there those sets and
// AMX are offered wherever AVX2 is, so that their code runs, bit for bit, on
// any machine (scripts/test_emulated.sh).
#include <cstddef>

#include "engine/cpu/exec/cpu.hpp"

namespace mirel {

// Instruction sets in the order of the ladder; the index of a variant.
enum class Isa { Portable, Avx2, Avx512, Avx512Bf16 };
inline constexpr std::size_t kIsaCount = 4;

namespace exec {

struct IsaRow {
  const char* key;   // MIREL_ISA's value and mirel.config()'s name
  const char* name;  // for people
  Feature needs;     // nothing for the portable set
};
inline constexpr IsaRow kIsas[kIsaCount] = {
    {"portable", "portable", Feature::Avx2},
    {"avx2", "AVX2+FMA+F16C", Feature::Avx2},
    {"avx512", "AVX-512 F/BW/VL/DQ", Feature::Avx512},
    {"avx512_bf16", "AVX-512 with BF16", Feature::Avx512Bf16},
};
inline constexpr const char* kAmxKey = "amx";

// The kernel families and the widest variant each compiles (every narrower
// one exists too; a family with fewer variants runs its widest on wider sets).
enum class Family { Loops, Reductions, Sgemm, Optim };
struct FamilyRow {
  const char* key;
  Isa widest;
};
inline constexpr FamilyRow kFamilies[] = {
    {"loops", Isa::Avx512Bf16},      // elementwise, math, comparisons, half conversions: loops/dispatch.hpp
    {"reductions", Isa::Avx2},       // loops/reduce_loops.hpp (8 lanes in every set)
    {"sgemm", Isa::Avx512},          // gemm/sgemm_tiles.cpp
    {"optim", Isa::Avx2},            // numeric/optim/steps.cpp
};

// MIREL_ISA, parsed: a rung of the ladder (kIsaCount is amx).
struct Cap {
  std::size_t rung = kIsaCount;
  bool ignored = false;  // set but not one of the values
};
Cap parse_cap(const char* value) noexcept;

// What this process may use: offered by the machine (or emulated) and within
// the cap; why not otherwise.
struct Choice {
  Offer offer;
  Cap cap;
  const char* refusal(Isa isa) const noexcept;
  const char* amx_refusal() const noexcept;
  Isa best(Family f) const noexcept;
};
Choice choose(const Offer& offer, const Cap& cap) noexcept;

// This process's choice: the machine probed once, MIREL_ISA read once. The
// AMX answer asks the kernel for tile data at its first use.
const Choice& choice() noexcept;
const char* amx_refusal() noexcept;
const char* cap_value() noexcept;  // MIREL_ISA as set, or nullptr
bool emulated() noexcept;          // whether this build emulates AVX-512 and AMX

}  // namespace exec

const char* isa_name(Isa isa) noexcept;
const char* isa_key(Isa isa) noexcept;
// Whether this process may run the variants of isa.
bool isa_supported(Isa isa) noexcept;
// The variant family f runs in this process.
Isa best_isa(exec::Family f = exec::Family::Loops) noexcept;

}  // namespace mirel
