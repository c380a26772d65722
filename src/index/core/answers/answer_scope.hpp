// AnswerScope: one consistent state of an index for answers over a set of its objects (ordering, value counts,
// groups, aggregates), computed from the value maps alone.
//
// The scope takes the index's locks for reading once, in rank order, and holds them until it goes: the value maps,
// the id set (an Index's own), the store, and then, per answer, the parts of one value map it reads (MapReader).
// So every answer sees one state, other readers run beside it, and writers wait for it to end. No Python code runs
// and no object lock is taken under it; results become Python objects after it is gone.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <shared_mutex>
#include <string_view>

#include "index/core/filtered_index.hpp"
#include "index/core/index.hpp"
#include "index/core/query/query.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/core/structures/id_filter/id_filter.hpp"
#include "index/core/structures/value_ids/value_ids.hpp"

namespace vostrel {

class AnswerScope {
 public:
  // Over every object `index` holds.
  explicit AnswerScope(const IndexAPI& index);
  // Over the objects of `view`: ids whose object the store took in after the view was made (a later object at a
  // reused id), and ids a reduce is taking out, are none of its objects.
  explicit AnswerScope(const FilteredIndexCore& view);
  AnswerScope(const AnswerScope&) = delete;
  AnswerScope& operator=(const AnswerScope&) = delete;

  const Bitmap& ids() const { return *ids_; }
  const ItemStore<StoredItem>& store() const { return items_->value; }
  // The store's mark that views made from this answer carry.
  const PutHistory::Mark& mark() const { return mark_; }
  // The value map of `attribute` (a name without dots), or null when no object has a value for it.
  const QueryMap* map(std::string_view attribute) const;

 private:
  std::shared_lock<RankedSharedMutex> maps_lock_;
  std::shared_lock<RankedSharedMutex> ids_lock_;
  std::shared_lock<RankedSharedMutex> items_lock_;
  const QueryMaps* maps_;
  const ItemList* items_;
  const Bitmap* ids_;
  std::optional<Bitmap> narrowed_;  // a view's ids less those that are none of its objects, when any are
  PutHistory::Mark mark_;
};

// The parts of one value map an answer reads, locked for reading in rank order for the scope's life.
class MapReader {
 public:
  enum Part : unsigned { TEXT = 1, NUMBERS = 2, BOOLS = 4, MEMBERS = 8, ALL = 15 };
  MapReader(const QueryMap& map, unsigned parts);

  const QueryMap& map;
  // MEMBERS read: whether list/tuple/set members are stored (their ids then need translating to owners).
  bool has_members() const;
  // MEMBERS read: `ids` with every element id replaced by the object that (transitively) owns it.
  Bitmap owners_of(const Bitmap& ids) const;
  // MEMBERS read: the scope's ids that can be objects here. Element ids never are, but a view's id whose object left
  // may since have been handed out again as one (ids are process-wide): `narrowed` then holds the ids without them.
  const Bitmap& objects_in(const Bitmap& ids, std::optional<Bitmap>& narrowed) const;

 private:
  std::shared_lock<RankedSharedMutex> text_;
  std::shared_lock<RankedSharedMutex> numbers_;
  std::shared_lock<RankedSharedMutex> bools_;
  std::shared_lock<RankedSharedMutex> mask_;
  std::shared_lock<RankedSharedMutex> translation_;
};

// A scope's ids asked "is this id in?" many times in a row: dense bits when a long walk is coming, else the bitmap.
class ScopeFilter {
 public:
  // `long_walk`: many tests coming (dense bits are built). `many_sets`: the walk meets many large sets, each of which
  // a bitmap intersection would merge against the whole scope.
  ScopeFilter(const Bitmap& ids, bool long_walk, bool many_sets = false);
  bool contains(uint32_t id) const { return dense_ ? dense_->contains(id) : ids_.contains(id); }
  const Bitmap& ids() const { return ids_; }

  // How many ids of one value's entry (a lone id, or its set) are in scope.
  uint64_t count(uint32_t lone, const ValueIds* set) const;
  // The ids of a large set in scope.
  Bitmap within(const Bitmap& large) const;
  // Calls f(id) for each id of the entry in scope, ascending.
  template <class F>
  void for_each(uint32_t lone, const ValueIds* set, F&& f) const {
    if (set == nullptr) {
      if (contains(lone)) f(lone);
    } else if (const Bitmap* large = set->bitmap()) {
      for (uint32_t id : *large & ids_) f(id);
    } else {
      set->for_each([&](uint32_t id) {
        if (contains(id)) f(id);
      });
    }
  }

 private:
  const Bitmap& ids_;
  std::optional<IdFilter> dense_;
  // Large sets are counted by testing each of their ids against the dense bits when the scope is sparse: its chunks
  // are then sorted arrays, and intersecting each set with it would merge the whole scope once per set.
  bool large_by_bits_ = false;
};

// Raised for a dotted path, which ordering and aggregates do not follow into nested objects.
void reject_dotted_path(std::string_view attribute);

}  // namespace vostrel
