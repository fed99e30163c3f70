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

namespace isa_portable {
#define MIREL_ISA 0
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_portable

MIREL_BEGIN_AVX2
namespace isa_avx2 {
#define MIREL_ISA 1
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_avx2
MIREL_END_AVX2

MIREL_BEGIN_AVX512
namespace isa_avx512 {
#define MIREL_ISA 2
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_avx512
MIREL_END_AVX512

const Kernels kPortable = isa_portable::kKernels;
const Kernels kAvx2 = isa_avx2::kKernels;
const Kernels kAvx512 = isa_avx512::kKernels;

}  // namespace mirel::sgemm_tiles

#pragma GCC diagnostic pop
