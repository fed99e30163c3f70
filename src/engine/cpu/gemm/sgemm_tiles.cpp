#include "engine/cpu/gemm/sgemm_tiles.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <utility>

// GCC 12 reports its own AVX-512 intrinsics' undefined-vector idiom as
// (maybe-)uninitialized.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"
#include "engine/cpu/exec/targets.hpp"
#include "engine/cpu/gemm/sgemm.hpp"

namespace mirel::sgemm_tiles {

#define MIREL_PER_ISA "engine/cpu/gemm/sgemm_tile.inc"
#define MIREL_PER_ISA_WIDEST 2
#include "engine/cpu/exec/per_isa.inc"

const Kernels kPortable = isa_portable::kKernels;
const Kernels kAvx2 = isa_avx2::kKernels;
const Kernels kAvx512 = isa_avx512::kKernels;

}  // namespace mirel::sgemm_tiles

#pragma GCC diagnostic pop
