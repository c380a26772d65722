// StrInterner: the process-wide attribute-name interner (dense u32 ids), with lock-free reads of its snapshot.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "index/core/structures/string_interner/immutable_interner.hpp"
#include "index/core/structures/string_interner/mutable_interner.hpp"

namespace vostrel {

// A mutable side behind a mutex, plus a published immutable snapshot. Every call that takes the mutex publishes a
// fresh snapshot before it returns, so a name interned before a later load() is always in that snapshot.
//
// Reads: each thread caches the last snapshot it loaded together with the publish generation it saw. While the
// generation is unchanged, a lookup reads only that atomic generation and its own cache: no lock and no shared
// reference-count traffic. A generation change makes the thread reload the published pointer once.
class StrInterner {
 public:
  // Empty, with room for 1024 names; an empty snapshot is published at once.
  StrInterner() : StrInterner(1024) {}
  // Empty, with room for `room_for_names` names; an empty snapshot is published at once.
  explicit StrInterner(size_t room_for_names);
  StrInterner(const StrInterner&) = delete;
  StrInterner& operator=(const StrInterner&) = delete;

  // The id of `name`, adding it if new. Known names take no lock. Lock order: the write mutex comes after any
  // engine lock the caller holds (e.g. an attribute-map mutex); only the leaf published-pointer mutex nests in it.
  uint32_t intern(std::string_view name);
  // The published snapshot; the returned pointer keeps it alive (snapshots never change).
  std::shared_ptr<const ImmutableInterner> load() const;
  // Lock-free lookup of `name` in the published snapshot.
  std::optional<uint32_t> get(std::string_view name) const;
  // Number of snapshots published so far (1 after construction); lets callers observe that a lookup of a known
  // name published nothing.
  uint64_t publish_count() const { return publish_count_.load(std::memory_order_relaxed); }

 private:
  // This thread's current snapshot of this interner (refreshed from the published pointer when stale). The
  // reference stays valid until this thread next calls into any StrInterner.
  const ImmutableInterner& current() const;
  void publish(std::shared_ptr<const ImmutableInterner> snapshot);

  // The published pointer is read only when a thread's cached generation is stale, so a plain leaf mutex is
  // cheap here (libstdc++ 12's atomic<shared_ptr> takes an internal lock on every load anyway).
  mutable std::mutex published_mutex_;
  std::shared_ptr<const ImmutableInterner> published_;  // guarded by published_mutex_
  // Process-wide unique tag of the snapshot in `published_`; stored after the pointer, read before it.
  std::atomic<uint64_t> generation_;
  std::atomic<uint64_t> publish_count_{0};
  std::mutex write_mutex_;
  MutableInterner mutable_;  // guarded by write_mutex_
};

// The process-wide interner, created on first use (thread-safe) and never destroyed.
StrInterner& INTERNER();

}  // namespace vostrel
