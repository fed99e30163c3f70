#pragma once
// The native side of mirel.random: a Philox stream from the (seed, offset)
// that a Generator hands over, and the (result, blocks read) pair handed back,
// by which the generator advances (Note [counter-based random numbers]).
#include "python/pyref.hpp"

#include <cstdint>
#include <optional>

#include "engine/cpu/random/philox.hpp"
#include "engine/cpu/random/sample.hpp"

namespace mirel::native {

// seed and offset: Python ints in [0, 2^64); OverflowError otherwise.
std::optional<PhiloxStream> to_stream(PyObject* seed, PyObject* offset);

// (result, blocks) as a new tuple; steals result (null: the error stands).
PyObject* with_blocks(PyRef result, std::uint64_t blocks);

}  // namespace mirel::native
