#pragma once
// The four arithmetic operations, one definition each, for f32 values and
// the f32 vectors of every instruction set alike: the elementwise loops
// (numeric/core.hpp applies them to stored elements) and the block sums of
// the products (gemm/sgemm.cpp) share them.
namespace mirel {

// Note [two NaN operands]
// When both operands are NaN the result is the first one, quieted: what x86's
// instructions give, the first source winning. The compiler may swap the
// operands of a commutative instruction, though, so Add and Mul hand a NaN
// first operand in as the second one too; subtraction and division are never
// swapped. Every variant, the portable one included, keeps the same NaN.
template <class V>
[[gnu::always_inline]] inline V nan_first(V x, V y) noexcept { return x != x ? x : y; }

struct Add { template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return x + nan_first(x, y); } };
struct Sub { template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return x - y; } };
struct Mul { template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return x * nan_first(x, y); } };
struct Div { template <class V> [[gnu::always_inline]] V operator()(V x, V y) const noexcept { return x / y; } };

}  // namespace mirel
