#pragma once
// The one probe of the CPU: what cpuid and xgetbv answer (read_cpuid), and
// what those answers offer our instruction sets (offer). offer() is a pure
// function of the answers, so the tests can hand it those of CPUs we do not
// have; the registry (registry.hpp) calls it once, on this machine's answers.
#include <cstddef>
#include <cstdint>

namespace mirel::exec {

// The raw answers offer() reads; the bits it tests are named beside each.
struct CpuId {
  bool amd = false;               // vendor string "AuthenticAMD"
  std::uint32_t leaf1_ecx = 0;    // FMA 12, OSXSAVE 27, AVX 28, F16C 29
  std::uint32_t leaf7_ebx = 0;    // AVX2 5, AVX-512 F 16, DQ 17, BW 30, VL 31
  std::uint32_t leaf7_edx = 0;    // AMX-BF16 22, AMX-TILE 24
  std::uint32_t leaf7_1_eax = 0;  // AVX-512 BF16 5
  std::uint64_t xcr0 = 0;         // the state the OS saves (read only under OSXSAVE): SSE 1, AVX 2,
                                  // opmask 5, ZMM 6-7, tile config 17, tile data 18
};

CpuId read_cpuid() noexcept;

// Linux hands out the AMX tile data per process, on request (arch_prctl);
// refused (an old kernel, seccomp, a sandbox), AMX stays unused.
bool request_tile_data() noexcept;

// What a variant needs beyond the baseline; each needs the ones before it.
enum class Feature { Avx2, Avx512, Avx512Bf16, Amx };
inline constexpr std::size_t kFeatureCount = 4;

struct Offer {
  // Per feature, nullptr when the CPU has it and the OS saves its registers
  // (and, for AMX, the kernel grants tile data); otherwise why not.
  const char* missing[kFeatureCount];
  bool amd;
  bool has(Feature f) const noexcept { return missing[std::size_t(f)] == nullptr; }
};

// The offer of a CPU answering `id`. grant_tiles is asked only when the CPU
// and the OS have AMX (asking changes the process: it is done once).
Offer offer(const CpuId& id, bool (*grant_tiles)()) noexcept;

}  // namespace mirel::exec
