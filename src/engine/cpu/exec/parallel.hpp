#pragma once
// The one thread pool, and parallel_for, through which kernels use the cores.
//
// Note [same bits at any thread count]
// Every written order of ours is already cut into independent pieces: tiles of
// C in a product, 256-element blocks (combined by a fixed pairwise tree) in a
// sum, lines in softmax, ranges in elementwise work and optimizer steps.
// parallel_for hands out whole pieces only, and each piece writes its own
// outputs, so any thread count, one included, gives the same bits.
//
// Note [the pool]
// * mirel_core alone runs everything on the calling thread and starts no
//   thread, as its definition promises; the mirel package allows the pool when
//   it loads (allow_threads). From then on, by default, operations use every
//   CPU this process may use.
// * It starts at the first parallel_for large enough to use it, never at
//   import; work below the caller's grain runs inline without touching it.
// * The calling thread takes pieces too, so n threads means n - 1 workers.
// * A worker polls for the next job for a while before it sleeps. Work of a
//   few grains goes to polling workers only: waking a sleeping one would cost
//   about what the work does.
// * One job runs at a time. A caller that finds the pool busy (another Python
//   thread, a free-threaded build) or that is itself inside a job runs its
//   work inline: no waiting on another caller, no deadlock from nesting.
// * A forked child forgets the parent's pool (its threads do not exist there)
//   and starts its own at first use.
// * Workers block every signal, so signals reach the interpreter's threads.
// * The pool is never destroyed: a process may exit while a daemon thread's
//   job is running, and nothing at exit waits for it.
#include <cstddef>
#include <exception>
#include <type_traits>
#include <utility>

namespace mirel::exec {

// At most this many threads (workers plus the caller).
inline constexpr std::size_t kMaxThreads = 1024;

// The threads operations use: 1 until allow_threads(); then set_num_threads's
// value, else MIREL_NUM_THREADS (a whole number from 1), else available_cpus().
std::size_t num_threads() noexcept;
// Called once the mirel package loads (Note [the pool]).
void allow_threads() noexcept;
// Clamped to [1, kMaxThreads]; a running job keeps its pieces, the next uses n.
void set_num_threads(std::size_t n);
// The CPUs this process may use: its affinity mask, capped by a cgroup CPU
// quota (a container limited to 2 CPUs gets 2), at least 1.
std::size_t available_cpus() noexcept;
// Whether this process has started its pool's threads.
bool pool_started() noexcept;

namespace detail {
using PieceFn = void (*)(void* ctx, std::size_t begin, std::size_t end);
// Runs fn over `pieces` consecutive near-equal ranges of [0, n) on the
// calling thread and up to threads - 1 workers, or inline when the pool cannot
// take them. Once every piece has ended, throws std::bad_alloc when a piece
// threw one, else std::bad_exception when a piece threw anything else.
// `large`: worth waking sleeping workers for (kWakeGrains a thread).
void run(std::size_t n, std::size_t pieces, std::size_t threads, bool large, PieceFn fn, void* ctx);
}  // namespace detail

inline constexpr std::size_t kPiecesPerThread = 4;
// Work of fewer grains a thread than this runs inline unless a worker is
// polling for work already (Note [the pool]).
inline constexpr std::size_t kWakeGrains = 8;

// Calls body(begin, end) on consecutive ranges that cover [0, n) once, each at
// least `grain` long unless [0, n) is shorter: the whole of it inline when it
// is under two grains or one thread is set, else up to kPiecesPerThread ranges
// a thread.
// Ranges may run at once on several threads: body must only write what its
// range owns (Note [same bits at any thread count]).
// `grains`, when given, is how many grains of work [0, n) holds, for callers
// whose units are coarser than a grain (a product's bands).
template <class Body>
void parallel_for(std::size_t n, std::size_t grain, Body&& body, std::size_t grains = 0) {
  if (grain == 0) grain = 1;
  if (n / 2 < grain) {
    if (n > 0) body(std::size_t(0), n);
    return;
  }
  const std::size_t threads = num_threads();
  if (threads == 1) return body(std::size_t(0), n);
  // A few pieces a thread, taken in turn: a thread that starts late, or that
  // the system preempts, holds up only a small piece.
  std::size_t pieces = n / grain;
  if (pieces > kPiecesPerThread * threads) pieces = kPiecesPerThread * threads;
  if (pieces <= 1) return body(std::size_t(0), n);
  using B = std::remove_reference_t<Body>;
  if (grains == 0) grains = n / grain;
  detail::run(n, pieces, threads, grains >= kWakeGrains * threads, [](void* ctx, std::size_t b, std::size_t e) { (*static_cast<B*>(ctx))(b, e); },
              const_cast<void*>(static_cast<const void*>(&body)));
}

}  // namespace mirel::exec
