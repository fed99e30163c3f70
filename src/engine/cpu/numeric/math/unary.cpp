#include "engine/cpu/numeric/math/unary.hpp"

#include "engine/cpu/iter/zip.hpp"
#include "engine/cpu/numeric/math/math.hpp"
#include "engine/cpu/numeric/table.hpp"

namespace mirel {

template <class Op, class T>
NdArray<T> unary(const NdArray<T>& a) {
  return map<T>(a, UnaryLoops<Op, T, T>::best, kElementGrain / 4);  // a math kernel per element
}

// One instantiation per line of the table (numeric/table.hpp) and element type.
#define MIREL_UNARY(name, Op, Rule, saved)                  \
  template NdArray<float> unary<Op>(const NdArray<float>&); \
  template NdArray<F16> unary<Op>(const NdArray<F16>&);     \
  template NdArray<BF16> unary<Op>(const NdArray<BF16>&);
MIREL_UNARY_OPS(MIREL_UNARY)
#undef MIREL_UNARY

}  // namespace mirel
