#include "engine/cpu/boolean/ops/logical.hpp"

#include "engine/cpu/iter.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace mirel {

Expected<NdArray<bool>> logical(LogicalOp op, const NdArray<bool>& a, const NdArray<bool>& b) {
  auto views = broadcast_tensors(a, b);
  if (!views) return std::unexpected(std::move(views.error()));
  const auto& [va, vb] = *views;
  switch (op) {
    case LogicalOp::And: return zip_collect<bool, bool>(va, vb, [](bool x, bool y) { return x & y; });
    case LogicalOp::Or: return zip_collect<bool, bool>(va, vb, [](bool x, bool y) { return x | y; });
    case LogicalOp::Xor: break;
  }
  return zip_collect<bool, bool>(va, vb, [](bool x, bool y) { return x != y; });
}

NdArray<bool> logical_not(const NdArray<bool>& a) {
  return map<bool>(a, [](bool x) { return !x; });
}

}  // namespace mirel
