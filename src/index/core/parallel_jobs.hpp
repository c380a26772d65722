// run_jobs: a fork-join over a handful of independent jobs, on the calling thread and one helper thread.
//
// Meant for coarse jobs (each milliseconds of work, such as narrowing one value map of a large index): a helper is
// started per call and joined before returning, so nothing outlives the call, and a fork() can never find the helper
// running (engine calls are not in flight across a fork).
//
// Order: the calling thread runs job 0 first (jobs that must run on the calling thread, e.g. because they take
// object locks, go there), then takes jobs from the front; the helper takes them from the back. Callers put the
// largest jobs last, so the helper starts on the largest while the caller runs job 0.
//
// Locks: each job takes only the locks its own work needs and holds them only inside the job; the caller holds no
// lock a job takes. A job running on the helper must not run Python code (no interpreter lock there).
#pragma once

#include <functional>
#include <span>

namespace vostrel {

// Runs every job once and returns when all have finished. If a job throws, jobs not started yet are skipped and the
// first exception is rethrown here once the others have finished. Without a helper (a single job, a single processor,
// or a thread that cannot be started) the calling thread runs them all, in order.
void run_jobs(std::span<const std::function<void()>> jobs);

}  // namespace vostrel
