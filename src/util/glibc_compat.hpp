#pragma once
// Note [older glibc]: the wheels promise glibc 2.28 (manylinux_2_28), but this
// machine's glibc is newer, and linking against it records the newest version
// of each symbol we call. Every translation unit of the modules is compiled
// with this header first (-include, see CMakeLists.txt), binding each such
// call to the version glibc 2.28 already exports:
// - exp, log and pow got new versions in 2.29 that only drop the old SVID
//   error handling: the results are the same;
// - the dl* and pthread_* functions moved from libdl and libpthread into libc
//   in 2.34 under new versions; libc still exports the old ones, and the
//   modules also list libdl and libpthread as needed, where older systems keep
//   them.
// - pthread_sigmask moved into libc in 2.32 under a new version; libc keeps
//   the old one;
// - libstdc++ 3.4.30 (GCC 12) gave condition_variable::wait a new version;
//   the library keeps the one of 3.4.11, the same function.
// libstdc++'s headers read __libc_single_threaded (2.32) when glibc declares
// it; each module defines its own, always 0 (glibc_single_threaded.cpp), so
// reference counts always take the atomic path.
#if __has_include(<features.h>)
#include <features.h>  // defines __GLIBC__ when the C library is glibc
#endif
#if defined(__x86_64__) && defined(__GLIBC__)
__asm__(".symver exp,exp@GLIBC_2.2.5");
__asm__(".symver log,log@GLIBC_2.2.5");
__asm__(".symver pow,pow@GLIBC_2.2.5");
__asm__(".symver dlopen,dlopen@GLIBC_2.2.5");
__asm__(".symver dlsym,dlsym@GLIBC_2.2.5");
__asm__(".symver dlerror,dlerror@GLIBC_2.2.5");
__asm__(".symver dladdr,dladdr@GLIBC_2.2.5");
__asm__(".symver pthread_once,pthread_once@GLIBC_2.2.5");
__asm__(".symver pthread_mutex_trylock,pthread_mutex_trylock@GLIBC_2.2.5");
__asm__(".symver pthread_getaffinity_np,pthread_getaffinity_np@GLIBC_2.3.4");
__asm__(".symver pthread_setaffinity_np,pthread_setaffinity_np@GLIBC_2.3.4");
__asm__(".symver pthread_sigmask,pthread_sigmask@GLIBC_2.2.5");
__asm__(".symver _ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE,"
        "_ZNSt18condition_variable4waitERSt11unique_lockISt5mutexE@GLIBCXX_3.4.11");
#endif
