// StrInterner: the process-wide attribute-name interner (dense u32 ids), with lock-free reads of its snapshot.
#include "index/core/structures/string_interner/interner.hpp"

#include <utility>

namespace vostrel {
namespace {

// Tags of published snapshots, unique across every StrInterner of the process, so a thread's cached tag can never
// match a different snapshot (not even one of a new interner built at the address of a destroyed one).
std::atomic<uint64_t> NEXT_GENERATION{1};

// The snapshot this thread loaded last, with the tag that was published when it loaded it. Holding a real share
// keeps the snapshot alive however long the thread keeps using it; at most one snapshot is cached per thread.
struct SnapshotCache {
  const StrInterner* owner = nullptr;
  uint64_t generation = 0;
  std::shared_ptr<const ImmutableInterner> snapshot;
};
thread_local SnapshotCache SNAPSHOT_CACHE;

}  // namespace

StrInterner::StrInterner(size_t room_for_names) : generation_(0), mutable_(room_for_names) {
  publish(std::make_shared<const ImmutableInterner>(mutable_.freeze()));
}

const ImmutableInterner& StrInterner::current() const {
  SnapshotCache& cache = SNAPSHOT_CACHE;
  // Acquire pairs with the release store in publish(): seeing a tag means seeing its pointer (or a later one).
  const uint64_t generation = generation_.load(std::memory_order_acquire);
  if (cache.owner != this || cache.generation != generation) {
    // A pointer newer than `generation` may be loaded here; that only costs one extra reload later.
    std::shared_ptr<const ImmutableInterner> stale;  // dropped after unlocking: it may be the last share
    {
      std::lock_guard lock(published_mutex_);  // leaf lock: nothing is taken inside it
      stale = std::exchange(cache.snapshot, published_);
    }
    cache.owner = this;
    cache.generation = generation;
  }
  return *cache.snapshot;
}

void StrInterner::publish(std::shared_ptr<const ImmutableInterner> snapshot) {
  // Callers hold write_mutex_ (or are the constructor), so publications are serialised and in id order.
  const uint64_t generation = NEXT_GENERATION.fetch_add(1, std::memory_order_relaxed);
  std::shared_ptr<const ImmutableInterner> previous;  // freed outside the lock if this was its last share
  {
    std::lock_guard lock(published_mutex_);  // inside write_mutex_; a leaf lock
    previous = std::exchange(published_, snapshot);
  }
  generation_.store(generation, std::memory_order_release);
  publish_count_.fetch_add(1, std::memory_order_relaxed);
  // The writer usually looks names up next: start its cache on the new snapshot.
  SNAPSHOT_CACHE = SnapshotCache{this, generation, std::move(snapshot)};
}

uint32_t StrInterner::intern(std::string_view name) {
  const uint64_t hash = ImmutableInterner::hash_str(name);
  if (std::optional<uint32_t> known = current().get_hashed(name, hash)) return *known;
  // Lock order: callers may hold an attribute-map mutex; inside the write mutex only the leaf
  // published-pointer mutex is taken.
  std::lock_guard lock(write_mutex_);
  const uint32_t id = mutable_.intern_hashed(name, hash);
  // Also when another thread published the name meanwhile: one snapshot per call that reaches the mutex.
  publish(std::make_shared<const ImmutableInterner>(mutable_.freeze()));
  return id;
}

std::shared_ptr<const ImmutableInterner> StrInterner::load() const {
  current();
  return SNAPSHOT_CACHE.snapshot;
}

std::optional<uint32_t> StrInterner::get(std::string_view name) const { return current().get(name); }

StrInterner& INTERNER() {
  // Never destroyed: threads may still look names up while the process exits.
  static StrInterner& interner = *std::make_unique<StrInterner>().release();
  return interner;
}

}  // namespace vostrel
