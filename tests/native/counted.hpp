// Counted: a test value that counts its live instances, so the map tests see leaks and double destruction. A
// moved-from instance keeps counting until destroyed.
#pragma once

#include <gtest/gtest.h>

#include <utility>

namespace vostrel::testing {

struct Counted {
  static inline int live = 0;
  int value;
  explicit Counted(int v) : value(v) { ++live; }
  Counted(const Counted& other) : value(other.value) { ++live; }
  Counted(Counted&& other) noexcept : value(std::exchange(other.value, -1)) { ++live; }
  Counted& operator=(const Counted&) = default;
  Counted& operator=(Counted&& other) noexcept {
    value = std::exchange(other.value, -1);
    return *this;
  }
  ~Counted() {
    --live;
    EXPECT_GE(live, 0) << "double destruction";
  }
};

}  // namespace vostrel::testing
