// CompactMutex: a four-byte mutex for records that exist once per object.
//
// A pthread mutex is 40 bytes and every Indexable carries two locks, so on objects of a few fields the locks alone
// outweigh the values. Uncontended, this costs one compare-exchange to lock and one exchange to unlock, like the
// pthread fast path; contended, waiters sleep on a futex (the classic three-state design: 0 free, 1 held, 2 held with
// possible waiters), so nothing spins.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace vostrel {

class CompactMutex {
 public:
  CompactMutex() noexcept = default;
  CompactMutex(const CompactMutex&) = delete;
  CompactMutex& operator=(const CompactMutex&) = delete;

  void lock() noexcept {
    uint32_t expected = FREE;
    if (state_.compare_exchange_strong(expected, HELD, std::memory_order_acquire, std::memory_order_relaxed)) return;
    // Slow path: mark the lock contended before sleeping, so the holder knows to wake someone.
    if (expected != CONTENDED) expected = state_.exchange(CONTENDED, std::memory_order_acquire);
    while (expected != FREE) {
      futex(FUTEX_WAIT_PRIVATE, CONTENDED);
      expected = state_.exchange(CONTENDED, std::memory_order_acquire);
    }
  }

  bool try_lock() noexcept {
    uint32_t expected = FREE;
    return state_.compare_exchange_strong(expected, HELD, std::memory_order_acquire, std::memory_order_relaxed);
  }

  void unlock() noexcept {
    if (state_.exchange(FREE, std::memory_order_release) == CONTENDED) futex(FUTEX_WAKE_PRIVATE, 1);
  }

 private:
  static constexpr uint32_t FREE = 0;
  static constexpr uint32_t HELD = 1;
  static constexpr uint32_t CONTENDED = 2;

  void futex(int op, uint32_t value) noexcept {
    // A spurious or interrupted wake-up is harmless: lock() re-checks the state after every return.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_), op, value, nullptr, nullptr, 0);
  }

  std::atomic<uint32_t> state_{FREE};
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic itself");
};

}  // namespace vostrel
