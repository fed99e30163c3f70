#include "engine/cpu/gemm/blas_library.hpp"

#include <dlfcn.h>
#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <mutex>

namespace mirel {
namespace {

// The library in the folder of the file that holds this code (libmirel.so,
// in mirel_core.libs/), or in mirel_core.libs/ below it (a program that links
// the engine directly).
std::string blas_path() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&blas_path), &info) == 0 || info.dli_fname == nullptr) return kBlasLibraryName;
  std::string self = info.dli_fname;
  const auto slash = self.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string() : self.substr(0, slash + 1);
  const std::string beside = dir + kBlasLibraryName;
  if (access(beside.c_str(), F_OK) == 0) return beside;
  return dir + "mirel_core.libs/" + kBlasLibraryName;
}

// Note [no worker threads]: OpenBLAS starts its thread pool while it is being
// loaded, one worker per CPU the loading thread may run on, minus one. Loading
// it while this thread is pinned to one of its CPUs makes it start none; the
// thread's own mask is put back at once, and no setting anyone else can see
// (environment, another copy's thread count) is touched. Even when the
// environment asks OpenBLAS for more threads, it caps them at that count.
void* open_pinned(const std::string& path) {
  cpu_set_t saved;
  bool pinned = false;
  if (pthread_getaffinity_np(pthread_self(), sizeof saved, &saved) == 0) {
    cpu_set_t one;
    CPU_ZERO(&one);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &saved)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    pinned = pthread_setaffinity_np(pthread_self(), sizeof one, &one) == 0;
  }
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (pinned) pthread_setaffinity_np(pthread_self(), sizeof saved, &saved);
  return handle;
}

template <class Fn>
bool find(void* handle, const char* name, Fn& out, std::string& error) {
  out = reinterpret_cast<Fn>(dlsym(handle, name));
  if (out == nullptr) error = std::string("symbol ") + name + " missing from the bundled OpenBLAS";
  return out != nullptr;
}

struct Loaded {
  BlasLibrary lib{};
  std::string error;
  bool ok = false;
};

Loaded load() {
  Loaded r;
  const std::string path = blas_path();
  void* handle = open_pinned(path);
  if (handle == nullptr) {
    const char* why = dlerror();
    r.error = "cannot load the bundled OpenBLAS (" + path + "): " + (why ? why : "unknown error");
    return r;
  }
  void (*set_num_threads)(int) = nullptr;
  r.ok = find(handle, "scipy_cblas_sgemm", r.lib.sgemm, r.error) &&
         find(handle, "scipy_openblas_get_num_threads", r.lib.get_num_threads, r.error) &&
         find(handle, "scipy_openblas_get_corename", r.lib.get_corename, r.error) &&
         find(handle, "scipy_openblas_set_num_threads", set_num_threads, r.error);
  // One thread per product whatever the library found at load time; the
  // handle stays open for the life of the process.
  if (r.ok) set_num_threads(1);
  return r;
}

}  // namespace

const BlasLibrary* blas_library(std::string* error) {
  static std::once_flag once;
  static Loaded loaded;
  std::call_once(once, [] { loaded = load(); });
  if (!loaded.ok && error) *error = loaded.error;
  return loaded.ok ? &loaded.lib : nullptr;
}

}  // namespace mirel
