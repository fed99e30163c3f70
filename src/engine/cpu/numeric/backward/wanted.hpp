#pragma once
// Which gradients of a two-operand rule the caller will keep.
//
// Note [checked, not computed]
// A gradient nobody can read (that of a constant operand) is not computed: the
// rule runs every check that computing it would run, in the same place of its
// sequence, so the same error is reported first, and skips the arithmetic and
// the result buffer. "Every check" includes the size check of the buffer (an
// element count that cannot be addressed is std::bad_alloc, as the allocation
// would have thrown); an allocation that would merely have exhausted memory
// is not attempted.

namespace mirel {

struct GradWanted {
  bool lhs = true;
  bool rhs = true;
};

}  // namespace mirel
