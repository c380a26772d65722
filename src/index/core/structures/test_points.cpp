// The test points' state: built only into a test build.
#include "index/core/structures/test_points.hpp"

#ifdef VOSTREL_TEST_HOOKS

#include <array>
#include <atomic>
#include <chrono>
#include <thread>

namespace vostrel {
namespace {

constexpr size_t POINTS = static_cast<size_t>(TestPoint::COUNT);
// Passes left before each armed point fails; -1: disarmed.
std::array<std::atomic<int64_t>, POINTS> passes_before_failure{{{-1}, {-1}, {-1}, {-1}, {-1}}};
static_assert(POINTS == 5, "one initial count per point");
std::array<std::atomic<bool>, POINTS> held{};
std::array<std::atomic<int64_t>, POINTS> waiting{};

size_t at(TestPoint point) { return static_cast<size_t>(point); }

}  // namespace

bool test_point_fails(TestPoint point) noexcept {
  std::atomic<int64_t>& count = passes_before_failure[at(point)];
  return count.load(std::memory_order_relaxed) >= 0 && count.fetch_sub(1) == 0;
}

void fail_test_point_after(TestPoint point, int64_t count) noexcept {
  passes_before_failure[at(point)].store(count < 0 ? -1 : count);
}

bool test_point_held(TestPoint point) noexcept { return held[at(point)].load(); }

void hold_test_point(TestPoint point, bool value) noexcept { held[at(point)].store(value); }

void wait_while_held(TestPoint point) noexcept {
  if (!held[at(point)].load()) return;
  waiting[at(point)].fetch_add(1);
  while (held[at(point)].load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  waiting[at(point)].fetch_sub(1);
}

int64_t waiting_at(TestPoint point) noexcept { return waiting[at(point)].load(); }

}  // namespace vostrel

#endif
