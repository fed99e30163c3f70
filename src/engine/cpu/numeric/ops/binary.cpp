#include "engine/cpu/numeric/ops/binary.hpp"

#include "engine/cpu/numeric/table.hpp"

namespace mirel {

template <class Op, class T>
Expected<NdArray<T>> binary(const NdArray<T>& a, const NdArray<T>& b) {
  return elementwise<T>(a, b, BinaryLoops<Widened<Op>, T, T>::best);
}

template <class Op, class T>
Expected<NdArray<bool>> compare(const NdArray<T>& a, const NdArray<T>& b) {
  return elementwise<bool>(a, b, BinaryLoops<Widened<Op>, bool, T>::best);
}

template <class T>
Expected<void> binary_check(const NdArray<T>& a, const NdArray<T>& b) {
  if (a.shape() == b.shape() && a.is_standard_layout() && b.is_standard_layout()) return {};
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  NdArray<T>::checked_size(views->first.shape);
  return {};
}

#define MIREL_BINARY(Op, T) template Expected<NdArray<T>> binary<Op>(const NdArray<T>&, const NdArray<T>&);
#define MIREL_COMPARE(Op, T) template Expected<NdArray<bool>> compare<Op>(const NdArray<T>&, const NdArray<T>&);
#define MIREL_FOR_FLOATS(X, Op) X(Op, float) X(Op, F16) X(Op, BF16)
template Expected<void> binary_check(const NdArray<float>&, const NdArray<float>&);
template Expected<void> binary_check(const NdArray<F16>&, const NdArray<F16>&);
template Expected<void> binary_check(const NdArray<BF16>&, const NdArray<BF16>&);
MIREL_FOR_FLOATS(MIREL_BINARY, Add)
MIREL_FOR_FLOATS(MIREL_BINARY, Sub)
MIREL_FOR_FLOATS(MIREL_BINARY, Mul)
MIREL_FOR_FLOATS(MIREL_BINARY, Div)
#define MIREL_TABLE_BINARY(name, Fn, RuleA, RuleB) MIREL_FOR_FLOATS(MIREL_BINARY, Fn)
MIREL_BINARY_OPS(MIREL_TABLE_BINARY)
#undef MIREL_TABLE_BINARY
#define MIREL_FOR_ALL(X, Op) MIREL_FOR_FLOATS(X, Op) X(Op, bool)
MIREL_FOR_ALL(MIREL_COMPARE, Eq)
MIREL_FOR_ALL(MIREL_COMPARE, Ne)
MIREL_FOR_ALL(MIREL_COMPARE, Ge)
MIREL_FOR_ALL(MIREL_COMPARE, Gt)
MIREL_FOR_ALL(MIREL_COMPARE, Le)
MIREL_FOR_ALL(MIREL_COMPARE, Lt)

}  // namespace mirel
