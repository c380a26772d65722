// IndexAPI::union_with: merges another index's objects into this one.
#include <mutex>
#include <vector>

#include "index/core/index.hpp"

namespace vostrel {

void IndexAPI::union_with(const IndexAPI& other) {
  // Merging an index into itself adds nothing; returning early also avoids re-taking its own locks.
  if (&other == this) return;
  // One gate for every writer: two threads merging two indexes into each other run one after the other.
  std::lock_guard gate(WRITE_GATE());
  std::vector<StoredIndexable> incoming = other.with_stored(stored_objects);
  // Each object is registered exactly as add_indexable does (values of every kind, iterable members under element
  // ids owned by this index's maps, nested objects, membership), so writes after the merge reach this index too.
  // An object held by both is already current here: every write reaches both indexes.
  for (const StoredIndexable& object : incoming) {
    if (contains(object.core().id)) continue;
    add_indexable_gated(object);
  }
}

}  // namespace vostrel
