// PutHistory: which ids an object store took in after a given moment.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

// A view lists the objects its store holds at the view's ids. Ids are reused once their object is gone, so an object
// stored after the view was made could sit at one of its ids and be listed by a view it never matched. A view keeps a
// mark of the moment it was made; the ids stored since are hidden from it, as those of objects that left are.
//
// Ids are recorded only while some mark is held, in generations: each mark belongs to the generation current when it
// was taken, and a view's hidden ids are those of its generation and every later one. A generation no mark holds any
// more is folded into the one before it (whose marks still need its ids), or dropped when it is the oldest, so the
// history holds one generation per moment some live view was made, and nothing at all once no view lives.
//
// Guarded by its own mutex, a leaf: nothing else is locked while it is held. Writers record ids before any of their
// objects' values reach a value map or the objects reach the store, so a reader that met one there (and asks the
// history afterwards: under the store's lock, or after reading the maps) finds its id recorded. Marks are taken under
// the lock that orders the view's query with the store's writers.
class PutHistory {
 public:
  struct Generation {
    Bitmap stored;
  };
  using Mark = std::shared_ptr<const Generation>;

  // The mark of this moment. Throws std::bad_alloc (nothing changed then).
  Mark mark();
  // Records ids just stored. Throws std::bad_alloc; callers record before they store, so a failure stores nothing
  // (an id recorded but not stored hides nothing a view may list).
  void stored(uint32_t id);
  // The same for a batch: id_at(pos) for pos < count, called only while some mark is held (else nothing is done).
  template <class IdAt>
  void stored_batch(size_t count, IdAt&& id_at) {
    std::lock_guard lock(mutex_);
    Generation* current = recording();
    if (current == nullptr) return;
    for (size_t pos = 0; pos < count; ++pos) current->stored.add(id_at(pos));
  }
  // The ids stored since `mark` was taken; nullopt when there are none (always for a null mark). Throws
  // std::bad_alloc.
  std::optional<Bitmap> stored_since(const Mark& mark) const;

  // Generations kept (for tests).
  size_t generation_count() const;

 private:
  // Drops or folds the generations no mark holds. Caller holds mutex_.
  void fold_unmarked();
  // The generation new ids go to, or null when no mark is held. Caller holds mutex_.
  Generation* recording();

  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Generation>> generations_;  // oldest first
};

}  // namespace vostrel
