// parallel_for: every index once at any thread count, nothing below two
// grains leaves the calling thread, nested calls run inline, and a piece's
// exception reaches the caller after every piece has ended.
#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

#include "check.hpp"
#include "engine/cpu/exec/parallel.hpp"

namespace mirel::test {

using exec::parallel_for;

TEST(parallel_for_covers_every_index_once) {
  exec::allow_threads();
  for (std::size_t threads : {1, 2, 3, 7}) {
    exec::set_num_threads(threads);
    for (std::size_t n : {0, 1, 5, 100, 1001, 65537}) {
      for (std::size_t grain : {1, 7, 64, 100000}) {
        std::vector<std::atomic<int>> hits(n);
        std::atomic<std::size_t> calls{0};
        parallel_for(n, grain, [&](std::size_t b, std::size_t e) {
          CHECK(b < e && e <= n);
          CHECK(e - b >= grain || (b == 0 && e == n));
          for (std::size_t i = b; i < e; ++i) hits[i].fetch_add(1);
          calls.fetch_add(1);
        });
        for (auto& h : hits) CHECK(h.load() == 1);
        if (n / 2 < grain || threads == 1) CHECK(calls.load() == (n ? 1u : 0u));
      }
    }
  }
}

TEST(parallel_for_small_work_and_nested_calls_stay_on_the_thread) {
  exec::allow_threads();
  exec::set_num_threads(4);
  const auto me = std::this_thread::get_id();
  parallel_for(100, 60, [&](std::size_t, std::size_t) { CHECK(std::this_thread::get_id() == me); });
  std::atomic<int> outside{0};
  parallel_for(64, 1, [&](std::size_t, std::size_t) {
    const auto here = std::this_thread::get_id();
    parallel_for(1000, 1, [&](std::size_t, std::size_t) { outside += std::this_thread::get_id() != here; });
  });
  CHECK(outside.load() == 0);
}

TEST(parallel_for_rethrows_a_piece_exception_after_all_pieces) {
  exec::allow_threads();
  exec::set_num_threads(3);
  std::atomic<int> done{0};
  bool caught = false;
  try {
    parallel_for(1 << 20, 1 << 10, [&](std::size_t b, std::size_t e) {
      if (b == 0) throw std::bad_alloc();
      done += int(e - b > 0);
    });
  } catch (const std::bad_alloc&) {
    caught = true;
  }
  CHECK(caught);
  CHECK(done.load() == int(3 * exec::kPiecesPerThread) - 1);  // every other piece still ran
}

}  // namespace mirel::test
