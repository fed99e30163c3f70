#include "engine/cpu/exec/cpu.hpp"

#include <cpuid.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>

namespace mirel::exec {
namespace {

constexpr std::uint32_t bit(int i) noexcept { return std::uint32_t(1) << i; }
constexpr bool all(std::uint64_t word, std::uint64_t bits) noexcept { return (word & bits) == bits; }

constexpr long kArchReqXcompPerm = 0x1023;  // arch_prctl: ask for an extended state component
constexpr long kXfeatureXtiledata = 18;

}  // namespace

CpuId read_cpuid() noexcept {
  CpuId id;
  unsigned a, b, c, d;
  if (!__get_cpuid(0, &a, &b, &c, &d)) return id;
  const unsigned max_leaf = a;
  char vendor[12];
  std::memcpy(vendor, &b, 4), std::memcpy(vendor + 4, &d, 4), std::memcpy(vendor + 8, &c, 4);
  id.amd = std::memcmp(vendor, "AuthenticAMD", 12) == 0;
  if (__get_cpuid(1, &a, &b, &c, &d)) id.leaf1_ecx = c;
  if (max_leaf >= 7) {
    __cpuid_count(7, 0, a, b, c, d);
    id.leaf7_ebx = b, id.leaf7_edx = d;
    const unsigned subleaves = a;
    if (subleaves >= 1) {
      __cpuid_count(7, 1, a, b, c, d);
      id.leaf7_1_eax = a;
    }
  }
  if (id.leaf1_ecx & bit(27)) {  // OSXSAVE: xgetbv may be executed
    unsigned lo, hi;
    asm volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
    id.xcr0 = std::uint64_t(hi) << 32 | lo;
  }
  return id;
}

bool request_tile_data() noexcept {
  return syscall(SYS_arch_prctl, kArchReqXcompPerm, kXfeatureXtiledata) == 0;
}

Offer offer(const CpuId& id, bool (*grant_tiles)()) noexcept {
  Offer o{{}, id.amd};
  const char* below = nullptr;  // why the feature before is missing: every later one lacks it too
  auto settle = [&](Feature f, const char* why) {
    o.missing[std::size_t(f)] = below ? below : why;
    below = o.missing[std::size_t(f)];
  };
  const bool avx2 = all(id.leaf1_ecx, bit(12) | bit(28) | bit(29)) && (id.leaf7_ebx & bit(5));
  settle(Feature::Avx2, !avx2                     ? "the CPU lacks AVX2, FMA or F16C"
                        : !all(id.xcr0, 0b110)   ? "the OS does not save the AVX registers (XCR0)"
                                                 : nullptr);
  const bool avx512 = all(id.leaf7_ebx, bit(16) | bit(17) | bit(30) | bit(31));
  settle(Feature::Avx512, !avx512                   ? "the CPU lacks AVX-512 F/BW/VL/DQ"
                          : !all(id.xcr0, 0b1110'0000) ? "the OS does not save the AVX-512 registers (XCR0)"
                                                     : nullptr);
  settle(Feature::Avx512Bf16, id.leaf7_1_eax & bit(5) ? nullptr : "the CPU lacks AVX-512 BF16");
  const char* amx = !all(id.leaf7_edx, bit(22) | bit(24))        ? "the CPU lacks AMX-TILE or AMX-BF16"
                    : !all(id.xcr0, std::uint64_t(3) << 17)      ? "the OS does not save the tile registers (XCR0)"
                                                                 : nullptr;
  if (!below && !amx && !(grant_tiles && grant_tiles())) amx = "Linux refused this process the tile data (arch_prctl)";
  settle(Feature::Amx, amx);
  return o;
}

}  // namespace mirel::exec
