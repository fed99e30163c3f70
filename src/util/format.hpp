#pragma once
// Message building without <format> (GCC 12): concat() of strings and numbers,
// shape_str() for the bracketed shape rendering used in every message.
#include <charconv>
#include <concepts>
#include <cstddef>
#include <string>
#include <string_view>

namespace mirel {

namespace detail {
inline void append(std::string& out, std::string_view s) { out.append(s); }
inline void append(std::string& out, const char* s) { out.append(s); }
inline void append(std::string& out, const std::string& s) { out.append(s); }
inline void append(std::string& out, char c) { out.push_back(c); }
template <std::integral I>
  requires(!std::same_as<I, char> && !std::same_as<I, bool>)
void append(std::string& out, I v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}
}  // namespace detail

template <class... Args>
std::string concat(const Args&... args) {
  std::string out;
  (detail::append(out, args), ...);
  return out;
}

// Renders [2, 3]; the empty shape renders [].
template <class Range>
std::string shape_str(const Range& dims) {
  std::string out = "[";
  bool first = true;
  for (auto d : dims) {
    if (!first) out.append(", ");
    first = false;
    detail::append(out, d);
  }
  out.push_back(']');
  return out;
}

inline std::string hex_str(unsigned long v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v, 16);
  return std::string(buf, r.ptr);
}

}  // namespace mirel
