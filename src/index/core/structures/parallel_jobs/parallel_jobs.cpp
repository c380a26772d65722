// run_jobs: the calling thread plus short-lived helper threads, claiming jobs from one counter.
#include "index/core/structures/parallel_jobs/parallel_jobs.hpp"

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace vostrel {

size_t lanes() {
  static const size_t count = [] {
    cpu_set_t allowed;
    CPU_ZERO(&allowed);
    size_t usable = 0;
    if (sched_getaffinity(0, sizeof(allowed), &allowed) == 0) usable = static_cast<size_t>(CPU_COUNT(&allowed));
    if (usable == 0) usable = std::max(1u, std::thread::hardware_concurrency());
    return std::min<size_t>(usable, 4);
  }();
  return count;
}

void run_jobs(size_t count, const std::function<void(size_t)>& job) {
  std::atomic<size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr first_error;
  std::mutex error_mutex;  // leaf: guards first_error only
  const auto run = [&](size_t at) {
    try {
      job(at);
    } catch (...) {
      std::lock_guard lock(error_mutex);
      if (!first_error) first_error = std::current_exception();
      failed.store(true);
    }
  };
  const auto work = [&] {
    for (size_t at = next.fetch_add(1); at < count && !failed.load(); at = next.fetch_add(1)) run(at);
  };
  if (count == 0) return;
  // Job 0 is the calling thread's own, claimed before any helper starts.
  next.store(1);
  std::vector<std::thread> helpers;
  const size_t wanted = std::min(lanes(), count);
  if (wanted > 1) {
    helpers.reserve(wanted - 1);
    for (size_t lane = 1; lane < wanted; ++lane) {
      try {
        helpers.emplace_back(work);
      } catch (const std::system_error&) {
        break;  // no thread to be had: the lanes already started (and this one) do the rest
      }
    }
  }
  run(0);
  work();
  for (std::thread& helper : helpers) helper.join();
  if (first_error) std::rethrow_exception(first_error);
}

void run_jobs(std::span<const std::function<void()>> jobs) {
  run_jobs(jobs.size(), [&](size_t at) { jobs[at](); });
}

void run_jobs_over(uint64_t objects, std::span<const std::function<void()>> jobs) {
  if (objects >= PARALLEL_OBJECTS) {
    run_jobs(jobs);
    return;
  }
  for (const std::function<void()>& job : jobs) job();
}

}  // namespace vostrel
