// Test points: the places where a test build of the module can make the engine fail as a full memory would, or
// hold a worker back, so that tests reach paths no ordinary call can. A release build (VOSTREL_TEST_HOOKS off)
// compiles every point to a constant: no check sits on its paths, and the controls do not exist.
#pragma once

#include <cstdint>

namespace vostrel {

enum class TestPoint : uint8_t {
  BulkStage,            // the bulk writer stages one object
  MapMerge,             // a union merges one value map
  DeferredPruneFinish,  // a deferred prune has finished, before it is marked done
  DeferredPruneWorker,  // held: a deferred prune starts no worker, and waits for the next writer
  ChangeMidway,         // held: a top-level union or batch waits before publishing its ids, a removal before its
                        // values go
  COUNT
};

#ifdef VOSTREL_TEST_HOOKS
inline constexpr bool TEST_HOOKS = true;
// Whether the point fails this time: armed by fail_test_point_after(point, count), it fails once, `count` passes from
// then. Thread-safe.
bool test_point_fails(TestPoint point) noexcept;
// Arms the point (a negative count disarms it).
void fail_test_point_after(TestPoint point, int64_t count) noexcept;
// Whether the point is held, and holding or releasing it.
bool test_point_held(TestPoint point) noexcept;
void hold_test_point(TestPoint point, bool held) noexcept;
// Waits while the point is held, counted among the threads waiting there.
void wait_while_held(TestPoint point) noexcept;
// How many threads wait at the point now.
int64_t waiting_at(TestPoint point) noexcept;
#else
inline constexpr bool TEST_HOOKS = false;
constexpr bool test_point_fails(TestPoint) noexcept { return false; }
constexpr bool test_point_held(TestPoint) noexcept { return false; }
constexpr void wait_while_held(TestPoint) noexcept {}
#endif

}  // namespace vostrel
