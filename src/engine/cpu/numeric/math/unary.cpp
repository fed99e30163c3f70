#include "engine/cpu/numeric/math/unary.hpp"

#include "engine/cpu/iter/zip.hpp"
#include "engine/cpu/numeric/math/math.hpp"

namespace mirel {

template <class Op, class T>
NdArray<T> unary(const NdArray<T>& a) {
  return map<T>(a, UnaryLoops<Op, T, T>::best);
}

#define MIREL_UNARY(Op) \
  template NdArray<float> unary<Op>(const NdArray<float>&); \
  template NdArray<F16> unary<Op>(const NdArray<F16>&);     \
  template NdArray<BF16> unary<Op>(const NdArray<BF16>&);
MIREL_UNARY(Exp)
MIREL_UNARY(Log)
MIREL_UNARY(Tanh)
MIREL_UNARY(Sigmoid)
MIREL_UNARY(Sqrt)
MIREL_UNARY(Abs)
MIREL_UNARY(Neg)
MIREL_UNARY(Square)

}  // namespace mirel
