#include "engine/cpu/exec/parallel.hpp"

#include <pthread.h>
#include <sched.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <exception>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace mirel::exec {
namespace {

// ---------------------------------------------------------------- thread count

// A whole number from 1 at the start of `text`, up to kMaxThreads, else 0.
std::size_t parse_count(const char* text) noexcept {
  if (!text) return 0;
  std::size_t n = 0;
  const char* end = text + std::char_traits<char>::length(text);
  const auto [p, ec] = std::from_chars(text, end, n);
  if (ec != std::errc() || p != end || n == 0) return 0;
  return std::min(n, kMaxThreads);
}

// The first line of a file, or "".
std::string first_line(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

// The CPUs a cgroup CPU quota grants (quota / period, rounded up), or 0 for
// none. cgroup v2 keeps "quota period" in cpu.max ("max" for none); v1 keeps
// them in two files, -1 for none. The process's own group is read from
// /proc/self/cgroup; a container usually sees its group at the mount's root.
std::size_t quota_cpus() {
  std::string v2_path, v1_path;
  {
    std::ifstream groups("/proc/self/cgroup");
    for (std::string line; std::getline(groups, line);) {
      if (line.rfind("0::", 0) == 0) v2_path = line.substr(3);
      const auto colon = line.find(':'), last = line.rfind(':');
      if (colon == std::string::npos || last == colon) continue;
      const std::string controllers = "," + line.substr(colon + 1, last - colon - 1) + ",";
      if (controllers.find(",cpu,") != std::string::npos) v1_path = line.substr(last + 1);
    }
  }
  auto ceil_div = [](long long q, long long p) -> std::size_t {
    return q > 0 && p > 0 ? std::size_t((q + p - 1) / p) : 0;
  };
  for (const std::string& dir : {"/sys/fs/cgroup" + v2_path, std::string("/sys/fs/cgroup")}) {
    const std::string line = first_line(dir + "/cpu.max");
    if (line.empty()) continue;
    if (line.rfind("max", 0) == 0) return 0;
    long long q = 0, p = 0;
    if (std::sscanf(line.c_str(), "%lld %lld", &q, &p) == 2) return ceil_div(q, p);
  }
  for (const std::string& dir : {"/sys/fs/cgroup/cpu" + v1_path, std::string("/sys/fs/cgroup/cpu")}) {
    const std::string q = first_line(dir + "/cpu.cfs_quota_us"), p = first_line(dir + "/cpu.cfs_period_us");
    if (q.empty() || p.empty()) continue;
    return ceil_div(std::atoll(q.c_str()), std::atoll(p.c_str()));
  }
  return 0;
}

std::size_t detect_cpus() noexcept {
  std::size_t n = 0;
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0) n = std::size_t(CPU_COUNT(&set));
  if (n == 0) n = std::max(1u, std::thread::hardware_concurrency());
  try {
    if (const std::size_t q = quota_cpus(); q > 0) n = std::min(n, q);
  } catch (...) {  // an unreadable cgroup: the affinity mask alone
  }
  return std::clamp<std::size_t>(n, 1, kMaxThreads);
}

// 0 until set or first read.
std::atomic<std::size_t> g_threads{0};
std::atomic<bool> g_allowed{false};

// ---------------------------------------------------------------------- the pool

struct Job {
  detail::PieceFn fn;
  void* ctx;
  std::size_t n, pieces;
  std::atomic<std::size_t> next{0};
  // What the first failing piece threw: our kernels throw only bad_alloc
  // (Note [older glibc]: copying a std::exception_ptr would need a newer
  // libstdc++ than the wheels promise).
  std::atomic<int> failure{0};  // 0 none, 1 std::bad_alloc, 2 anything else

  // Takes pieces until none is left; piece i is the i-th of `pieces`
  // near-equal ranges, the first n % pieces one longer.
  void take() noexcept {
    const std::size_t q = n / pieces, r = n % pieces;
    for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < pieces;) {
      const std::size_t begin = i * q + std::min(i, r);
      int expected = 0;
      try {
        fn(ctx, begin, begin + q + (i < r ? 1 : 0));
      } catch (const std::bad_alloc&) {
        failure.compare_exchange_strong(expected, 1);
      } catch (...) {
        failure.compare_exchange_strong(expected, 2);
      }
    }
  }
};

// Inside a job (a worker, or a caller running its share): nested work runs inline.
thread_local bool t_in_job = false;

void cpu_relax() noexcept { __builtin_ia32_pause(); }

// Polls done() for up to `budget`, then gives up: true when done() held.
template <class Done>
bool spin_for(std::chrono::microseconds budget, Done done) noexcept {
  const auto until = std::chrono::steady_clock::now() + budget;
  for (;;) {
    for (int i = 0; i < 64; ++i) {
      if (done()) return true;
      cpu_relax();
    }
    if (std::chrono::steady_clock::now() >= until) return false;
  }
}

// Note [the pool]. Workers only ever grow in number, and the pool is never
// freed, so no thread can hold a pointer to a pool that is gone.
class Pool {
 public:
  // Whether a worker polls for work now: a job reaches it without a wake-up.
  bool hot() const noexcept { return polling_.load(std::memory_order_relaxed) != 0; }

  // Runs `job` with up to threads - 1 workers; false (nothing run) when
  // another caller's job is running.
  bool try_run(Job& job, std::size_t threads) {
    std::unique_lock busy(busy_, std::try_to_lock);
    if (!busy.owns_lock()) return false;
    const std::size_t helpers = std::min(threads, job.pieces) - 1;
    grow(helpers);
    const bool spin = threads <= available_cpus();
    {
      const std::lock_guard lock(mu_);
      job_ = &job;
      helpers_.store(helpers, std::memory_order_relaxed);
      spin_.store(spin, std::memory_order_relaxed);
      generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    wake_.notify_all();
    t_in_job = true;
    job.take();
    t_in_job = false;
    if (spin) spin_for(kCallerSpin, [&] { return users_.load(std::memory_order_acquire) == 0; });
    std::unique_lock lock(mu_);
    job_ = nullptr;  // workers that wake from now on find nothing to do
    done_.wait(lock, [&] { return users_.load(std::memory_order_acquire) == 0; });
    return true;
  }

 private:
  // Waking a sleeping thread costs from tens of microseconds on bare metal to
  // hundreds under a hypervisor, which gives its CPU away meanwhile; so a
  // worker of the last job polls for the next one for a while before it
  // sleeps, as OpenMP's runtimes do, when there is a CPU for every thread.
  static constexpr std::chrono::microseconds kWorkerSpin{2000};
  static constexpr std::chrono::microseconds kCallerSpin{1000};

  // At least `workers` threads; fewer when the system refuses more.
  void grow(std::size_t workers) noexcept {
    if (threads_.size() >= workers) return;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &old);  // the workers inherit the mask
    try {
      while (threads_.size() < workers) {
        const std::size_t index = threads_.size();
        threads_.emplace_back([this, index] { work(index); });
      }
    } catch (...) {  // no more threads: the caller and the workers there are take every piece
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }

  // Worker `index` takes part in jobs that want more than `index` helpers.
  void work(std::size_t index) noexcept {
    t_in_job = true;
    std::uint64_t seen = generation_.load(std::memory_order_acquire);
    for (;;) {
      if (spin_.load(std::memory_order_relaxed) && index < helpers_.load(std::memory_order_relaxed)) {
        polling_.fetch_add(1, std::memory_order_relaxed);
        spin_for(kWorkerSpin, [&] { return generation_.load(std::memory_order_acquire) != seen; });
        polling_.fetch_sub(1, std::memory_order_relaxed);
      }
      std::unique_lock lock(mu_);
      wake_.wait(lock, [&] { return generation_.load(std::memory_order_relaxed) != seen; });
      seen = generation_.load(std::memory_order_relaxed);
      Job* job = job_;
      if (!job || index >= helpers_.load(std::memory_order_relaxed)) continue;
      users_.fetch_add(1, std::memory_order_relaxed);
      lock.unlock();
      job->take();
      lock.lock();
      if (users_.fetch_sub(1, std::memory_order_release) == 1) done_.notify_all();
    }
  }

  std::mutex busy_;  // held by the caller whose job runs
  std::mutex mu_;
  std::condition_variable wake_, done_;
  Job* job_ = nullptr;
  std::atomic<std::uint64_t> generation_{0};
  std::atomic<bool> spin_{false};
  std::atomic<std::size_t> helpers_{0};  // the workers the current (or last) job takes
  std::atomic<std::size_t> polling_{0};  // workers polling for the next job
  std::atomic<std::size_t> users_{0};  // workers holding job_; changed under mu_, polled without it
  std::vector<std::thread> threads_;
};

std::atomic<Pool*> g_pool{nullptr};

// A forked child has none of the parent's threads: it starts a pool of its own.
void forget_pool_in_child() noexcept {
  g_pool.store(nullptr, std::memory_order_relaxed);
  t_in_job = false;
}

Pool* pool() noexcept {
  if (Pool* p = g_pool.load(std::memory_order_acquire)) return p;
  static const bool registered = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
  (void)registered;
  Pool* fresh = new (std::nothrow) Pool;
  if (!fresh) return nullptr;
  Pool* expected = nullptr;
  if (!g_pool.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) {
    delete fresh;  // another thread made one first
    return expected;
  }
  return fresh;
}

}  // namespace

std::size_t available_cpus() noexcept {
  static const std::size_t n = detect_cpus();
  return n;
}

void allow_threads() noexcept { g_allowed.store(true, std::memory_order_relaxed); }

std::size_t num_threads() noexcept {
  if (!g_allowed.load(std::memory_order_relaxed)) return 1;
  std::size_t n = g_threads.load(std::memory_order_relaxed);
  if (n != 0) return n;
  n = parse_count(std::getenv("MIREL_NUM_THREADS"));
  if (n == 0) n = available_cpus();
  std::size_t unset = 0;
  g_threads.compare_exchange_strong(unset, n, std::memory_order_relaxed);
  return g_threads.load(std::memory_order_relaxed);
}

void set_num_threads(std::size_t n) { g_threads.store(std::clamp<std::size_t>(n, 1, kMaxThreads)); }

bool pool_started() noexcept { return g_pool.load(std::memory_order_acquire) != nullptr; }

namespace detail {

void run(std::size_t n, std::size_t pieces, std::size_t threads, bool large, PieceFn fn, void* ctx) {
  Job job{fn, ctx, n, pieces};
  Pool* p = t_in_job ? nullptr : pool();
  // Waking a sleeping worker costs about as much as a small job: those go to
  // workers that are polling, and otherwise run here.
  if (p && !large && !p->hot()) p = nullptr;
  if (!p || !p->try_run(job, threads)) job.take();  // inline: nested, or the pool is busy
  switch (job.failure.load()) {
    case 0: return;
    case 1: throw std::bad_alloc();
    default: throw std::bad_exception();  // unreachable today: kernels report failures as values
  }
}

}  // namespace detail
}  // namespace mirel::exec
