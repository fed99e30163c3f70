// The engine's C++ tests: every compiled variant of the dispatched loops and
// half conversions against the portable one, every matrix-product kernel
// against the blocked chain, and the strided walk. Exit status 0 only when
// every case passes.
#include <cstdio>

#include "check.hpp"
#include "engine/cpu/loops/dispatch.hpp"

int main() {
  using namespace mirel;
  std::printf("instruction sets:");
  for (std::size_t i = 0; i < kIsaCount; ++i) {
    std::printf(" %s (%s)", isa_name(Isa(i)), isa_supported(Isa(i)) ? "tested" : "skipped: not on this CPU");
  }
  std::printf("\n");
  int passed = 0, failed = 0;
  for (const auto& c : test::registry()) {
    const int before = test::failures();
    c.run();
    const bool ok = test::failures() == before;
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    (ok ? passed : failed) += 1;
  }
  std::printf("%d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
