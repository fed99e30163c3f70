#pragma once
// A small test harness: TEST(name) registers a case, CHECK records a failure
// with its location and keeps going, main() runs every case and prints
// "N passed, M failed".
#include <cstdint>
#include <cstdio>
#include <vector>

namespace mirel::test {

struct Case {
  const char* name;
  void (*run)();
};

inline std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

inline int& failures() {
  static int count = 0;
  return count;
}

// Every bit pattern of a two-byte float type, in order.
template <class H>
std::vector<H> all_halves() {
  std::vector<H> v(0x1'0000);
  for (std::size_t i = 0; i < v.size(); ++i) v[i] = H::from_bits(std::uint16_t(i));
  return v;
}

inline bool register_case(const char* name, void (*run)()) {
  registry().push_back({name, run});
  return true;
}

}  // namespace mirel::test

#define TEST(name)                                                                   \
  static void name();                                                                \
  [[maybe_unused]] static const bool name##_registered = ::mirel::test::register_case(#name, name); \
  static void name()

// On failure prints the condition and, when given, a printf-style detail.
#define CHECK(cond, ...)                                                           \
  do {                                                                             \
    if (!(cond)) {                                                                 \
      ++::mirel::test::failures();                                                 \
      std::printf("  %s:%d: CHECK(%s) failed", __FILE__, __LINE__, #cond);         \
      __VA_OPT__(std::printf(": "); std::printf(__VA_ARGS__);)                     \
      std::printf("\n");                                                           \
    }                                                                              \
  } while (0)
