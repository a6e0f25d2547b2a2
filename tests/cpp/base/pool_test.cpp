// The pool's sizing and the arena its helpers run on.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include <tbb/info.h>
#include <tbb/task_arena.h>

#include "tarvelo/base/pool.hpp"

namespace tarvelo {
namespace {

TEST(PoolTest, MoreThreadsThanCpusAreCappedWithoutAWarning) {
  // oneTBB gives no more workers than CPUs and prints a warning when asked
  // for more; the library writes nothing on stderr.
  testing::internal::CaptureStderr();
  const bool created = pool::ensure_global_pool(4096);
  std::atomic<int> done{0};
  pool::parallel_for_index(256, [&](size_t) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    ++done;
  });
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "");
  EXPECT_EQ(done.load(), 256);
  if (created) {
    EXPECT_EQ(pool::current_threads(), static_cast<size_t>(tbb::info::default_concurrency()));
  }
}

TEST(PoolTest, EachTaskHelperStaysOnTheCallersArena) {
  tbb::task_arena two(2);
  std::atomic<int> seen{0}, elsewhere{0};
  pool::execute_in(two, [&] {
    pool::parallel_for_each_task(64, [&](size_t) {
      if (&pool::current_arena() != &two || tbb::this_task_arena::max_concurrency() != 2)
        ++elsewhere;
      ++seen;
    });
  });
  EXPECT_EQ(seen.load(), 64);
  EXPECT_EQ(elsewhere.load(), 0);
}

}  // namespace
}  // namespace tarvelo
