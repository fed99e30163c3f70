#pragma once
// The elementwise operations, one definition each. Every functor works on f32
// values and on the f32 vectors of dispatch.hpp alike; Widened<Op> applies one
// to stored elements: half types are widened, computed in f32 and rounded once.
// Add, Sub, Mul and Div live a floor lower, in loops/arith.hpp, where the
// products use them too. Adding an operation: a functor here, a line in the
// storage layer.
#include <type_traits>

#include "engine/cpu/array/half.hpp"
#include "engine/cpu/loops/arith.hpp"

namespace mirel {

// Comparisons give a bool for scalars and an all-ones-or-zero lane for vectors.
struct Eq {
  static constexpr const char* symbol = "==";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x == y; }
};
struct Ne {
  static constexpr const char* symbol = "!=";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x != y; }
};
struct Ge {
  static constexpr const char* symbol = ">=";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x >= y; }
};
struct Gt {
  static constexpr const char* symbol = ">";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x > y; }
};
struct Le {
  static constexpr const char* symbol = "<=";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x <= y; }
};
struct Lt {
  static constexpr const char* symbol = "<";
  template <class V> [[gnu::always_inline]] auto operator()(V x, V y) const noexcept { return x < y; }
};

// Op on stored elements: narrow<T>(Op(widen(a), widen(b))), or the comparison's bool.
template <class Op>
struct Widened {
  using op = Op;
  template <class T>
  [[gnu::always_inline]] auto operator()(T a, T b) const noexcept {
    auto r = Op{}(widen(a), widen(b));
    if constexpr (std::is_same_v<decltype(r), bool>) return r;
    else return narrow<T>(r);
  }
};

}  // namespace mirel
