#pragma once
#include "engine/cpu/storage/storage.hpp"
#include "util/error.hpp"

namespace mirel {

// One descending sweep over the calling thread's tape from root to 0. Gradients
// reach the tape only when the whole pass succeeded.
Result<void> run_backward(StoragePtr seed, std::size_t root);

}  // namespace mirel
