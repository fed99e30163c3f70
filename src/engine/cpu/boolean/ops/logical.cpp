#include "engine/cpu/boolean/ops/logical.hpp"

#include "engine/cpu/numeric/ops/binary.hpp"

namespace mirel {

template <class Op>
Expected<NdArray<bool>> logical(const NdArray<bool>& a, const NdArray<bool>& b) {
  return elementwise<bool>(a, b, BinaryLoops<Op, bool, bool>::best);
}

template Expected<NdArray<bool>> logical<And>(const NdArray<bool>&, const NdArray<bool>&);
template Expected<NdArray<bool>> logical<Or>(const NdArray<bool>&, const NdArray<bool>&);
template Expected<NdArray<bool>> logical<Xor>(const NdArray<bool>&, const NdArray<bool>&);

NdArray<bool> logical_not(const NdArray<bool>& a) { return map<bool>(a, UnaryLoops<Not, bool, bool>::best); }

}  // namespace mirel
