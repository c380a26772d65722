// run_jobs: every job runs once, job 0 on the calling thread, the two threads really overlap (a job waits for another
// one to start, with a deadline so a missing helper fails fast), and the first exception comes back to the caller.
#include "index/core/parallel_jobs.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <stdexcept>
#include <thread>
#include <vector>

namespace vostrel {
namespace {

TEST(RunJobs, EveryJobRunsOnceAndJobZeroOnTheCaller) {
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
