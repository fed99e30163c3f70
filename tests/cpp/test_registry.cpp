// The registry's decisions on the cpuid and xgetbv answers of CPUs we do not
// have, under every MIREL_ISA cap; and the probe itself, read on this machine,
// against the compiler runtime's own reading of the same bits.
#include <algorithm>
#include <cstring>

#include "check.hpp"
#include "engine/cpu/exec/registry.hpp"

namespace mirel {
namespace {

using exec::CpuId;
using exec::Family;

constexpr std::uint32_t bit(int i) { return std::uint32_t(1) << i; }
constexpr std::uint32_t kAvx2Leaf1 = bit(12) | bit(27) | bit(28) | bit(29);  // FMA, OSXSAVE, AVX, F16C
constexpr std::uint32_t kAvx512Leaf7 = bit(5) | bit(16) | bit(17) | bit(30) | bit(31);
constexpr std::uint64_t kXcr0Avx = 0b111, kXcr0Avx512 = 0b1110'0111, kXcr0Tiles = kXcr0Avx512 | 3u << 17;

int grants_asked = 0;
bool grant() { return ++grants_asked, true; }
bool refuse() { return ++grants_asked, false; }

struct Machine {
  const char* name;
  CpuId id;
  bool (*grant_tiles)();
  Isa loops, sgemm;  // chosen without a cap
  const char* avx512_missing;  // substrings of the reasons, or nullptr
  const char* bf16_missing;
  const char* amx_missing;
  bool asks;  // whether tile data is asked for
};

const Machine kMachines[] = {
    {"AVX2 only (Zen 2)", {true, kAvx2Leaf1, bit(5), 0, 0, kXcr0Avx}, grant, Isa::Avx2, Isa::Avx2,
     "lacks AVX-512", "lacks AVX-512", "lacks AVX-512", false},
    {"AVX-512 without BF16 (Skylake-SP)", {false, kAvx2Leaf1, kAvx512Leaf7, 0, 0, kXcr0Avx512}, grant, Isa::Avx512,
     Isa::Avx512, nullptr, "lacks AVX-512 BF16", "lacks AVX-512 BF16", false},
    {"Zen 4", {true, kAvx2Leaf1, kAvx512Leaf7, 0, bit(5), kXcr0Avx512}, grant, Isa::Avx512Bf16, Isa::Avx512, nullptr,
     nullptr, "lacks AMX", false},
    {"Sapphire Rapids, tile data granted", {false, kAvx2Leaf1, kAvx512Leaf7, bit(22) | bit(24), bit(5), kXcr0Tiles},
     grant, Isa::Avx512Bf16, Isa::Avx512, nullptr, nullptr, nullptr, true},
    {"Sapphire Rapids, tile data refused", {false, kAvx2Leaf1, kAvx512Leaf7, bit(22) | bit(24), bit(5), kXcr0Tiles},
     refuse, Isa::Avx512Bf16, Isa::Avx512, nullptr, nullptr, "refused", true},
    {"Sapphire Rapids, OS without tile state", {false, kAvx2Leaf1, kAvx512Leaf7, bit(22) | bit(24), bit(5), kXcr0Avx512},
     grant, Isa::Avx512Bf16, Isa::Avx512, nullptr, nullptr, "tile registers", false},
    {"Sapphire Rapids, OS without AVX-512 state", {false, kAvx2Leaf1, kAvx512Leaf7, bit(22) | bit(24), bit(5), kXcr0Avx},
     grant, Isa::Avx2, Isa::Avx2, "AVX-512 registers", "AVX-512 registers", "AVX-512 registers", false},
    {"AVX-512 CPU, OS without XSAVE", {false, kAvx2Leaf1 & ~bit(27), kAvx512Leaf7, 0, bit(5), 0}, grant, Isa::Portable,
     Isa::Portable, "AVX registers", "AVX registers", "AVX registers", false},
};

bool says(const char* reason, const char* want) {
  return want ? reason && std::strstr(reason, want) : reason == nullptr;
}

TEST(registry_decides_from_cpuid_and_xgetbv) {
  for (const Machine& m : kMachines) {
    grants_asked = 0;
    const exec::Choice c = exec::choose(exec::offer(m.id, m.grant_tiles), exec::parse_cap(nullptr));
    CHECK(c.best(Family::Loops) == m.loops && c.best(Family::Sgemm) == m.sgemm, "%s: loops %s, sgemm %s", m.name,
          isa_key(c.best(Family::Loops)), isa_key(c.best(Family::Sgemm)));
    CHECK(c.best(Family::Reductions) == std::min(m.loops, Isa::Avx2) &&
              c.best(Family::Optim) == std::min(m.loops, Isa::Avx2), "%s", m.name);
    CHECK(says(c.refusal(Isa::Avx512), m.avx512_missing), "%s: AVX-512 %s", m.name, c.refusal(Isa::Avx512));
    CHECK(says(c.refusal(Isa::Avx512Bf16), m.bf16_missing), "%s: BF16 %s", m.name, c.refusal(Isa::Avx512Bf16));
    CHECK(says(c.amx_refusal(), m.amx_missing), "%s: AMX %s", m.name, c.amx_refusal());
    CHECK(grants_asked == int(m.asks), "%s: tile data asked %d times", m.name, grants_asked);
    CHECK(c.offer.amd == m.id.amd, "%s", m.name);
  }
}

TEST(mirel_isa_caps_every_family) {
  const CpuId sapphire{false, kAvx2Leaf1, kAvx512Leaf7, bit(22) | bit(24), bit(5), kXcr0Tiles};
  const exec::Offer all = exec::offer(sapphire, grant);
  struct Case {
    const char* value;
    Isa loops, sgemm, optim;
    bool amx, ignored;
  };
  const Case cases[] = {{"portable", Isa::Portable, Isa::Portable, Isa::Portable, false, false},
                        {"avx2", Isa::Avx2, Isa::Avx2, Isa::Avx2, false, false},
                        {"avx512", Isa::Avx512, Isa::Avx512, Isa::Avx2, false, false},
                        {"avx512_bf16", Isa::Avx512Bf16, Isa::Avx512, Isa::Avx2, false, false},
                        {"amx", Isa::Avx512Bf16, Isa::Avx512, Isa::Avx2, true, false},
                        {"", Isa::Avx512Bf16, Isa::Avx512, Isa::Avx2, true, false},
                        {"AVX2", Isa::Avx512Bf16, Isa::Avx512, Isa::Avx2, true, true},
                        {"avx", Isa::Avx512Bf16, Isa::Avx512, Isa::Avx2, true, true}};
  for (const Case& k : cases) {
    const exec::Cap cap = exec::parse_cap(k.value);
    const exec::Choice c = exec::choose(all, cap);
    CHECK(cap.ignored == k.ignored, "MIREL_ISA=%s", k.value);
    CHECK(c.best(Family::Loops) == k.loops && c.best(Family::Sgemm) == k.sgemm && c.best(Family::Optim) == k.optim,
          "MIREL_ISA=%s: loops %s, sgemm %s, optim %s", k.value, isa_key(c.best(Family::Loops)),
          isa_key(c.best(Family::Sgemm)), isa_key(c.best(Family::Optim)));
    CHECK((c.amx_refusal() == nullptr) == k.amx, "MIREL_ISA=%s: AMX %s", k.value, c.amx_refusal());
    if (!k.amx) CHECK(says(c.amx_refusal(), "MIREL_ISA="), "MIREL_ISA=%s: %s", k.value, c.amx_refusal());
  }
  // A cap never adds what the CPU lacks.
  const CpuId zen2{true, kAvx2Leaf1, bit(5), 0, 0, kXcr0Avx};
  const exec::Choice c = exec::choose(exec::offer(zen2, grant), exec::parse_cap("avx512"));
  CHECK(c.best(Family::Loops) == Isa::Avx2 && says(c.refusal(Isa::Avx512), "lacks AVX-512"));
}

// The bits the probe reads, and what it makes of XCR0, as the compiler's
// runtime reads them on this machine.
TEST(probe_agrees_with_the_compiler_runtime) {
  __builtin_cpu_init();
  const exec::Offer o = exec::offer(exec::read_cpuid(), nullptr);
  const bool avx2 =
      __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") && __builtin_cpu_supports("f16c");
  const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  CHECK(o.has(exec::Feature::Avx2) == avx2);
  CHECK(o.has(exec::Feature::Avx512) == avx512);
  CHECK(o.has(exec::Feature::Avx512Bf16) == (avx512 && __builtin_cpu_supports("avx512bf16")));
  CHECK(o.amd == __builtin_cpu_is("amd"));
}

}  // namespace
}  // namespace mirel
