// run_jobs: a small fork-join for independent pieces of one engine call (the value maps of a bulk flush).
//
// The calling thread works too; helper threads are started for the call and joined before it returns, so nothing
// outlives the call (no pool to shut down at exit or to lose across fork()). A job takes only the locks of what it
// works on: the value maps a job touches are its own, and the caller holds no lock a job needs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

namespace vostrel {

// Runs job(0) .. job(count - 1), each exactly once, on the calling thread and on up to `lanes() - 1` helper threads;
// returns when every job has finished. The calling thread runs job 0 itself; the rest are claimed in index order by
// whichever thread is free, so put the longest first. When a job throws,
// the jobs not yet claimed are skipped and the first exception is rethrown here once every thread has stopped. With
// one lane, or when a thread cannot be started, the calling thread runs them all.
void run_jobs(size_t count, const std::function<void(size_t)>& job);

// The same over a list of jobs: jobs[0] on the calling thread, the rest claimed in order.
void run_jobs(std::span<const std::function<void()>> jobs);

// Below this many objects, an operation over a whole index (a prune, a merge) is quicker on the calling thread alone
// than with helper threads started for it.
constexpr uint64_t PARALLEL_OBJECTS = 50000;

// run_jobs(jobs) for an operation over `objects` objects from PARALLEL_OBJECTS on; below, every job in order on the
// calling thread.
void run_jobs_over(uint64_t objects, std::span<const std::function<void()>> jobs);

// How many threads run_jobs uses at most: the processors this process may use, at most four (past that the
// flushes it serves are bound by memory, not by processors).
size_t lanes();

}  // namespace vostrel
