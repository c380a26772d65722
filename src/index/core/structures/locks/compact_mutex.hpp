// CompactMutex: a four-byte mutex for records that exist once per object.
//
// A pthread mutex is 40 bytes and every Indexable carries two locks, so on objects of a few fields the locks alone
// outweigh the values. Uncontended, this costs one compare-exchange to lock and one exchange to unlock, like the
// pthread fast path; contended, waiters sleep on a futex (the classic three-state design: 0 free, 1 held, 2 held with
// possible waiters), so nothing spins.
//
// The state takes the word's two low bits, a sticky mark the third (see mark); the other twenty-nine count unlocks.
// A reader that may not pay for the two atomic operations of a lock (an attribute read is a few nanoseconds of work)
// reads optimistically instead: it takes a stamp while the mutex is free, copies what it needs, and keeps the copy
// only if the word still holds that stamp, i.e. no holder came and went meanwhile. The count wraps after 2^29
// unlocks, far more than fit in one such read.
#pragma once

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <optional>

namespace vostrel {

class CompactMutex {
 public:
  CompactMutex() noexcept = default;
  CompactMutex(const CompactMutex&) = delete;
  CompactMutex& operator=(const CompactMutex&) = delete;

  void lock() noexcept {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    if ((seen & STATE) != FREE ||
        !state_.compare_exchange_strong(seen, seen | HELD, std::memory_order_acquire, std::memory_order_relaxed)) {
      lock_contended();
    }
    taken();
  }

  bool try_lock() noexcept {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    if ((seen & STATE) != FREE ||
        !state_.compare_exchange_strong(seen, seen | HELD, std::memory_order_acquire, std::memory_order_relaxed)) {
      return false;
    }
    taken();
    return true;
  }

  void unlock() noexcept {
    // While the mutex is held only the state bits (a waiter marks it contended) and the mark may change, so the
    // count read here is the one to advance; a compare-exchange keeps whatever else changed meanwhile.
    uint32_t held = state_.load(std::memory_order_relaxed);
    while (!state_.compare_exchange_weak(held, (held & ~STATE) + UNLOCK, std::memory_order_release,
                                         std::memory_order_relaxed)) {
    }
    if ((held & STATE) == CONTENDED) futex(FUTEX_WAKE_PRIVATE, 1);
  }

  // A sticky mark its owner gives the mutex once (it is never taken back), kept in the lock's own word so that
  // records existing once per object pay nothing for it. Setting it changes the word as an unlock does: optimistic
  // reads in flight retry.
  void mark() noexcept {
    if (!marked()) state_.fetch_or(MARK, std::memory_order_relaxed);
  }
  bool marked() const noexcept { return (state_.load(std::memory_order_relaxed) & MARK) != 0; }

  // Optimistic reads: the stamp of the free mutex (nullopt while it is held), then, after the copy, whether the
  // mutex has stayed free and untouched since. Every write the holders made before the stamp is visible after
  // stamp(); a copy taken between the two calls is whole when still() says so.
  std::optional<uint32_t> stamp() const noexcept {
    const uint32_t seen = state_.load(std::memory_order_acquire);
    if ((seen & STATE) != FREE) return std::nullopt;
    return seen;
  }
  bool still(uint32_t stamp) const noexcept {
    std::atomic_thread_fence(std::memory_order_acquire);
    return state_.load(std::memory_order_relaxed) == stamp;
  }

 private:
  static constexpr uint32_t FREE = 0;
  static constexpr uint32_t HELD = 1;
  static constexpr uint32_t CONTENDED = 2;
  static constexpr uint32_t STATE = 3;
  static constexpr uint32_t MARK = 4;
  static constexpr uint32_t UNLOCK = 8;  // one unlock in the count above the state bits and the mark

  // The holder's writes may not be seen before its lock is: an optimistic reader that saw one of them must then see
  // the changed word (free on processors whose atomic operations are full barriers, as on x86).
  static void taken() noexcept { std::atomic_thread_fence(std::memory_order_release); }

  // Marks the mutex contended before sleeping, so the holder knows to wake someone. A thread that slept takes the
  // mutex as contended: others may still be asleep.
  void lock_contended() noexcept {
    uint32_t seen = state_.load(std::memory_order_relaxed);
    for (;;) {
      if ((seen & STATE) == FREE) {
        if (state_.compare_exchange_weak(seen, (seen & ~STATE) | CONTENDED, std::memory_order_acquire,
                                         std::memory_order_relaxed)) {
          return;
        }
        continue;
      }
      if ((seen & STATE) == HELD) {
        if (!state_.compare_exchange_weak(seen, (seen & ~STATE) | CONTENDED, std::memory_order_relaxed,
                                          std::memory_order_relaxed)) {
          continue;
        }
        seen = (seen & ~STATE) | CONTENDED;
      }
      futex(FUTEX_WAIT_PRIVATE, seen);
      seen = state_.load(std::memory_order_relaxed);
    }
  }

  void futex(int op, uint32_t value) noexcept {
    // A spurious or interrupted wake-up is harmless: lock() re-checks the state after every return.
    syscall(SYS_futex, reinterpret_cast<uint32_t*>(&state_), op, value, nullptr, nullptr, 0);
  }

  std::atomic<uint32_t> state_{FREE};
  static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t), "the futex word is the atomic itself");
};

}  // namespace vostrel
