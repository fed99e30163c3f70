// Note [older glibc]: this module's own __libc_single_threaded, hidden, so that
// libstdc++'s inline code never needs glibc 2.32's.
extern "C" {
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
