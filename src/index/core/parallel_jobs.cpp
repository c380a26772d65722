// run_jobs: the calling thread and one helper draw jobs from the two ends of one list.
#include "index/core/parallel_jobs.hpp"

#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace vostrel {
namespace {

class JobList {
 public:
  explicit JobList(std::span<const std::function<void()>> jobs) : jobs_(jobs), back_(jobs.size()) {}

  // The next job from the front (the calling thread) or the back (the helper); false when none is left or a job
  // failed.
  bool take(bool from_front, size_t& index) {
    std::lock_guard lock(mutex_);
    if (failure_ || front_ == back_) return false;
    index = from_front ? front_++ : --back_;
    return true;
  }

  void run(size_t index) {
    try {
      jobs_[index]();
    } catch (...) {
      std::lock_guard lock(mutex_);
      if (!failure_) failure_ = std::current_exception();
    }
  }

  void drain(bool from_front) {
    size_t index = 0;
    while (take(from_front, index)) run(index);
  }

  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  std::span<const std::function<void()>> jobs_;
  std::mutex mutex_;
  size_t front_ = 0;
  size_t back_;
  std::exception_ptr failure_;  // guarded by mutex_ (read alone once the helper has been joined)
};

}  // namespace

void run_jobs(std::span<const std::function<void()>> jobs) {
  JobList list(jobs);
  size_t first = 0;
  if (!list.take(true, first)) return;  // job 0: always the calling thread's
  std::thread helper;
  if (jobs.size() > 1 && std::thread::hardware_concurrency() > 1) {
    try {
      helper = std::thread([&list] { list.drain(false); });
    } catch (const std::system_error&) {
      // No thread to be had: the calling thread runs every job.
    }
  }
  list.run(first);
  list.drain(true);
  if (helper.joinable()) helper.join();
  list.rethrow();
}

}  // namespace vostrel
