#pragma once
// Element functions. They work on compute_t<T> values (float for the half
// types), so every half-precision result is one float operation, rounded once.
#include "engine/cpu/iter.hpp"

namespace mirel {

enum class BinaryOp { Add, Sub, Mul, Div };
enum class CompareOp { Eq, Ne, Ge, Gt, Le, Lt };

struct AddFn { template <class X> X operator()(X a, X b) const noexcept { return a + b; } };
struct SubFn { template <class X> X operator()(X a, X b) const noexcept { return a - b; } };
struct MulFn { template <class X> X operator()(X a, X b) const noexcept { return a * b; } };
struct DivFn { template <class X> X operator()(X a, X b) const noexcept { return a / b; } };

struct EqFn { template <class X> bool operator()(X a, X b) const noexcept { return a == b; } };
struct NeFn { template <class X> bool operator()(X a, X b) const noexcept { return a != b; } };
struct GeFn { template <class X> bool operator()(X a, X b) const noexcept { return a >= b; } };
struct GtFn { template <class X> bool operator()(X a, X b) const noexcept { return a > b; } };
struct LeFn { template <class X> bool operator()(X a, X b) const noexcept { return a <= b; } };
struct LtFn { template <class X> bool operator()(X a, X b) const noexcept { return a < b; } };

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
