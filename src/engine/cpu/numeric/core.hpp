#pragma once
// Element functions. They work on compute_t<T> values (float for the half
// types), so every half-precision result is one float operation, rounded once.
#include "engine/cpu/iter.hpp"

namespace mirel {

struct AddFn { static constexpr BinaryOp op = BinaryOp::Add; template <class X> X operator()(X a, X b) const noexcept { return a + b; } };
struct SubFn { static constexpr BinaryOp op = BinaryOp::Sub; template <class X> X operator()(X a, X b) const noexcept { return a - b; } };
struct MulFn { static constexpr BinaryOp op = BinaryOp::Mul; template <class X> X operator()(X a, X b) const noexcept { return a * b; } };
struct DivFn { static constexpr BinaryOp op = BinaryOp::Div; template <class X> X operator()(X a, X b) const noexcept { return a / b; } };

struct EqFn { static constexpr CompareOp op = CompareOp::Eq; template <class X> bool operator()(X a, X b) const noexcept { return a == b; } };
struct NeFn { static constexpr CompareOp op = CompareOp::Ne; template <class X> bool operator()(X a, X b) const noexcept { return a != b; } };
struct GeFn { static constexpr CompareOp op = CompareOp::Ge; template <class X> bool operator()(X a, X b) const noexcept { return a >= b; } };
struct GtFn { static constexpr CompareOp op = CompareOp::Gt; template <class X> bool operator()(X a, X b) const noexcept { return a > b; } };
struct LeFn { static constexpr CompareOp op = CompareOp::Le; template <class X> bool operator()(X a, X b) const noexcept { return a <= b; } };
struct LtFn { static constexpr CompareOp op = CompareOp::Lt; template <class X> bool operator()(X a, X b) const noexcept { return a < b; } };

// Calls body(fn) with the functor of op: the switch runs once per call, never per element.
template <class Body>
decltype(auto) with_binary_fn(BinaryOp op, Body&& body) {
  switch (op) {
    case BinaryOp::Add: return body(AddFn{});
    case BinaryOp::Sub: return body(SubFn{});
    case BinaryOp::Mul: return body(MulFn{});
    case BinaryOp::Div: break;
  }
  return body(DivFn{});
}

template <class Body>
decltype(auto) with_compare_fn(CompareOp op, Body&& body) {
  switch (op) {
    case CompareOp::Eq: return body(EqFn{});
    case CompareOp::Ne: return body(NeFn{});
    case CompareOp::Ge: return body(GeFn{});
    case CompareOp::Gt: return body(GtFn{});
    case CompareOp::Le: return body(LeFn{});
    case CompareOp::Lt: break;
  }
  return body(LtFn{});
}

// Per-element product and quotient of one element type, one rounding each.
template <class T>
struct TensorOps {
  static T kernel_mul(T a, T b) noexcept { return narrow<T>(widen(a) * widen(b)); }
  static T kernel_div(T a, T b) noexcept { return narrow<T>(widen(a) / widen(b)); }
};

}  // namespace mirel
