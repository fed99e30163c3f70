#pragma once
// The bundled OpenBLAS, loaded privately: its own copy under its own name,
// opened by path with local symbols, so that another copy in the process
// (NumPy's, or a package that uses the same wheel) keeps its own state and
// thread settings, and ours never changes theirs.
#include <string>

#include <cblas.h>

namespace mirel {

struct BlasLibrary {
  decltype(&scipy_cblas_sgemm) sgemm;
  decltype(&scipy_openblas_get_num_threads) get_num_threads;
  decltype(&scipy_openblas_get_corename) get_corename;  // the kernels it picked for this CPU
};

// The bundled library's private name, looked for beside the file that holds
// this code (blas_library.cpp).
inline constexpr const char* kBlasLibraryName = "libmirel_openblas.so";

// Loads the library once per process and returns it, or nullptr with the
// reason in *error. Starts no thread, and every product runs on the calling
// thread.
const BlasLibrary* blas_library(std::string* error = nullptr);

}  // namespace mirel
