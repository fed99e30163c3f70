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
#include <immintrin.h>

#include "engine/cpu/gemm/sgemm.hpp"

namespace mirel::sgemm_tiles {

namespace isa_portable {
#define MIREL_ISA 0
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_portable

#pragma GCC push_options
#pragma GCC target("avx2,fma")
namespace isa_avx2 {
#define MIREL_ISA 1
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_avx2
#pragma GCC pop_options

#pragma GCC push_options
#pragma GCC target("avx2,fma,avx512f")
namespace isa_avx512 {
#define MIREL_ISA 2
#include "engine/cpu/gemm/sgemm_tile.inc"
#undef MIREL_ISA
}  // namespace isa_avx512
#pragma GCC pop_options

const Kernels kPortable = isa_portable::kKernels;
const Kernels kAvx2 = isa_avx2::kKernels;
const Kernels kAvx512 = isa_avx512::kKernels;

}  // namespace mirel::sgemm_tiles

#pragma GCC diagnostic pop
