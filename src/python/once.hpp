#pragma once
// Process-wide lazy initialisation for objects that need the interpreter to be
// built (the Tensor type, the NumPy API table, cached names).
//
// Note [waiting without the interpreter]: an initialiser may run Python code
// (imports), and the interpreter can switch threads inside it. A second thread
// that arrived meanwhile must not block on the lock while it holds the
// interpreter, or the first could never finish; so it waits detached, and
// reattaches once the lock is its own. A failed initialiser caches nothing and
// the next caller tries again.
#include "python/pyref.hpp"

#include <atomic>
#include <mutex>

namespace mirel {

class PyOnce {
 public:
  // Runs init() (returning false with a Python error set on failure) unless a
  // previous call succeeded. Returns whether the state is initialised.
  template <class F>
  bool call(F&& init) {
    if (done_.load(std::memory_order_acquire)) return true;
    std::unique_lock lock(mutex_, std::try_to_lock);
    if (!lock.owns_lock()) {
      Py_BEGIN_ALLOW_THREADS
      lock.lock();
      Py_END_ALLOW_THREADS
    }
    if (done_.load(std::memory_order_relaxed)) return true;
    if (!init()) return false;
    done_.store(true, std::memory_order_release);
    return true;
  }

  bool done() const noexcept { return done_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> done_{false};
  std::mutex mutex_;
};

}  // namespace mirel
