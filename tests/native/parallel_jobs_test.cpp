// run_jobs: every job exactly once, exceptions carried back, nothing left running after the call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "index/core/parallel_jobs.hpp"

namespace vostrel {
namespace {

TEST(RunJobs, EveryJobRunsExactlyOnce) {
  for (size_t count : {0u, 1u, 2u, 3u, 17u, 1000u}) {
    std::vector<std::atomic<int>> runs(count);
    run_jobs(count, [&](size_t at) { runs[at].fetch_add(1); });
    for (size_t at = 0; at < count; ++at) EXPECT_EQ(runs[at].load(), 1) << "job " << at << " of " << count;
  }
}

TEST(RunJobs, UsesAtMostTheLanesItReports) {
  std::mutex seen_mutex;
  std::set<std::thread::id> seen;
  run_jobs(64, [&](size_t) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    std::lock_guard lock(seen_mutex);
    seen.insert(std::this_thread::get_id());
  });
  EXPECT_GE(seen.size(), 1u);
  EXPECT_LE(seen.size(), lanes());
  EXPECT_GE(lanes(), 1u);
  EXPECT_LE(lanes(), 4u);
}

TEST(RunJobs, FirstErrorIsRethrownAfterEveryThreadStopped) {
  std::atomic<int> running{0};
  std::atomic<int> finished{0};
  EXPECT_THROW(run_jobs(200,
                        [&](size_t at) {
                          running.fetch_add(1);
                          std::this_thread::sleep_for(std::chrono::microseconds(50));
                          running.fetch_sub(1);
                          if (at == 3) throw std::runtime_error("job failed");
                          finished.fetch_add(1);
                        }),
               std::runtime_error);
  // Nothing still runs once the call is back, and jobs not yet claimed were skipped.
  EXPECT_EQ(running.load(), 0);
  EXPECT_LT(finished.load(), 200);
}

}  // namespace
}  // namespace vostrel

namespace vostrel {
namespace {

TEST(RunJobs, CallingThreadRunsJobZero) {
  for (int round = 0; round < 20; ++round) {
    std::thread::id ran_zero;
    run_jobs(8, [&](size_t at) {
      if (at == 0) ran_zero = std::this_thread::get_id();
    });
    EXPECT_EQ(ran_zero, std::this_thread::get_id());
  }
}

}  // namespace
}  // namespace vostrel
