// run_jobs: every job exactly once, exceptions carried back, nothing left running after the call.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "index/core/structures/parallel_jobs/parallel_jobs.hpp"

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

namespace vostrel {
namespace {

TEST(RunJobs, ListOfJobsRunsEachOnceAndJobZeroOnTheCaller) {
  for (size_t count = 0; count <= 20; ++count) {
    std::vector<std::atomic<int>> runs(count);
    std::thread::id first_runner;
    std::vector<std::function<void()>> jobs;
    for (size_t job = 0; job < count; ++job) {
      jobs.emplace_back([&, job] {
        if (job == 0) first_runner = std::this_thread::get_id();
        runs[job].fetch_add(1);
      });
    }
    run_jobs(jobs);
    for (size_t job = 0; job < count; ++job) ASSERT_EQ(runs[job].load(), 1) << count << " jobs, job " << job;
    if (count > 0) {
      EXPECT_EQ(first_runner, std::this_thread::get_id());
    }
  }
}

TEST(RunJobs, TheHelperRunsTheLastJobBesideJobZero) {
  if (std::thread::hardware_concurrency() < 2) GTEST_SKIP() << "one processor: the caller runs every job";
  // Job 0 waits until the last job has started: only a second thread can start it meanwhile.
  std::promise<std::thread::id> last_started;
  std::future<std::thread::id> started = last_started.get_future();
  bool overlapped = false;
  std::vector<std::function<void()>> jobs;
  jobs.emplace_back([&] { overlapped = started.wait_for(std::chrono::seconds(20)) == std::future_status::ready; });
  jobs.emplace_back([] {});
  jobs.emplace_back([&] { last_started.set_value(std::this_thread::get_id()); });
  run_jobs(jobs);
  ASSERT_TRUE(overlapped);
  EXPECT_NE(started.get(), std::this_thread::get_id());
}

TEST(RunJobs, TheFirstFailureIsRethrownAfterTheOthersFinish) {
  std::atomic<int> finished{0};
  std::vector<std::function<void()>> jobs;
  jobs.emplace_back([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    finished.fetch_add(1);
  });
  jobs.emplace_back([] { throw std::runtime_error("job failed"); });
  jobs.emplace_back([&] { finished.fetch_add(1); });
  try {
    run_jobs(jobs);
    FAIL() << "no exception";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "job failed");
  }
  // Job 0 always runs (the caller takes it first) and is finished when run_jobs returns.
  EXPECT_GE(finished.load(), 1);

  // A failing job 0 is reported too, and nothing is left running.
  std::vector<std::function<void()>> failing_first;
  failing_first.emplace_back([] { throw std::logic_error("first"); });
  failing_first.emplace_back([] {});
  EXPECT_THROW(run_jobs(failing_first), std::logic_error);
}

}  // namespace
}  // namespace vostrel
