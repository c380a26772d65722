// AnswerScope, MapReader and ScopeFilter (see answer_scope.hpp).
#include "index/core/answers/answer_scope.hpp"

#include <string>
#include <vector>

#include "index/core/structures/string_interner/interner.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {

AnswerScope::AnswerScope(const IndexAPI& index)
    : maps_lock_(index.query_maps->mutex),
      ids_lock_(index.item_ids->mutex),
      items_lock_(index.items->mutex),
      maps_(&index.query_maps->value),
      items_(index.items.get()),
      ids_(&index.item_ids->value),
      // Under the id set's lock: a view made from this answer lists no object stored after it.
      mark_(index.items->history.mark()) {}

AnswerScope::AnswerScope(const FilteredIndexCore& view)
    : maps_lock_(view.query_maps->mutex),
      items_lock_(view.items->mutex),
      maps_(&view.query_maps->value),
      items_(view.items.get()),
      ids_(&view.ids),
      mark_(view.mark) {
  // Read after the maps were locked: every object whose values the maps hold was recorded before it went in.
  const std::optional<Bitmap> hidden = view.stored_since();
  const bool leaving = maps_->leaving && view.ids.intersect(*maps_->leaving);
  const bool stored_later = hidden && view.ids.intersect(*hidden);
  if (!leaving && !stored_later) return;
  narrowed_.emplace(view.ids);
  if (leaving) *narrowed_ -= *maps_->leaving;
  if (stored_later) *narrowed_ -= *hidden;
  ids_ = &*narrowed_;
}

const QueryMap* AnswerScope::map(std::string_view attribute) const {
  const std::optional<uint32_t> id = INTERNER().get(attribute);
  return id ? maps_->at(*id).get() : nullptr;
}

MapReader::MapReader(const QueryMap& read, unsigned parts) : map(read) {
  if ((parts & TEXT) != 0) text_ = map.read_lock(QueryMap::Part::Text);
  if ((parts & NUMBERS) != 0) numbers_ = map.read_lock(QueryMap::Part::Numbers);
  if ((parts & BOOLS) != 0) bools_ = map.read_lock(QueryMap::Part::Bools);
  if ((parts & MEMBERS) != 0) {
    mask_ = map.read_lock(QueryMap::Part::Mask);
    translation_ = map.read_lock(QueryMap::Part::Translation);
  }
}

bool MapReader::has_members() const { return !map.mask.isEmpty(); }

Bitmap MapReader::owners_of(const Bitmap& ids) const {
  // Deeper than any capture makes: a chain this long is a broken map, not nesting.
  constexpr int MAX_DEPTH = 1 << 16;
  Bitmap elements = ids & map.mask;
  if (elements.isEmpty()) return ids;
  Bitmap owners = ids - elements;
  std::vector<uint32_t> found;
  for (uint32_t element : elements) {
    uint32_t owner = map.translation.get(element);
    if (owner == PagedU32Map::ABSENT) continue;
    int depth = 0;
    for (uint32_t next = map.translation.get(owner); next != PagedU32Map::ABSENT; next = map.translation.get(owner)) {
      owner = next;
      if (++depth > MAX_DEPTH) throw InternalError("element translation does not terminate");
    }
    found.push_back(owner);
  }
  owners.addMany(found.size(), found.data());
  return owners;
}

const Bitmap& MapReader::objects_in(const Bitmap& ids, std::optional<Bitmap>& narrowed) const {
  if (map.mask.isEmpty() || !ids.intersect(map.mask)) return ids;
  narrowed.emplace(ids - map.mask);
  return *narrowed;
}

ScopeFilter::ScopeFilter(const Bitmap& ids, bool long_walk, bool many_sets) : ids_(ids) {
  if (!long_walk && !many_sets) return;
  dense_.emplace(ids);
  // Fewer than 4096 ids per 65536 on average: Roaring keeps the scope's chunks as sorted arrays.
  if (many_sets && dense_->is_dense() && !ids.isEmpty()) {
    const uint64_t span = uint64_t{ids.maximum()} - ids.minimum() + 1;
    large_by_bits_ = ids.cardinality() * 16 < span;
  }
}

uint64_t ScopeFilter::count(uint32_t lone, const ValueIds* set) const {
  if (set == nullptr) return contains(lone) ? 1 : 0;
  if (const Bitmap* large = set->bitmap()) {
    if (!large_by_bits_) return large->and_cardinality(ids_);
    struct Tally {
      const IdFilter* bits;
      uint64_t count;
    } tally{&*dense_, 0};
    roaring_iterate(
        &large->roaring,
        [](uint32_t id, void* state) {
          auto* counting = static_cast<Tally*>(state);
          counting->count += counting->bits->contains(id) ? 1 : 0;
          return true;
        },
        &tally);
    return tally.count;
  }
  uint64_t count = 0;
  set->for_each([&](uint32_t id) { count += contains(id) ? 1 : 0; });
  return count;
}

Bitmap ScopeFilter::within(const Bitmap& large) const {
  if (!large_by_bits_) return large & ids_;
  struct Gather {
    const IdFilter* bits;
    std::vector<uint32_t> found;
  } gather{&*dense_, {}};
  roaring_iterate(
      &large.roaring,
      [](uint32_t id, void* state) {
        auto* gathering = static_cast<Gather*>(state);
        if (gathering->bits->contains(id)) gathering->found.push_back(id);
        return true;
      },
      &gather);
  Bitmap result;
  result.addMany(gather.found.size(), gather.found.data());  // ascending: appended chunk by chunk
  return result;
}

void reject_dotted_path(std::string_view attribute) {
  if (attribute.find('.') == std::string_view::npos) return;
  throw NotYetImplemented("sorted_by, sum, min, max and mean take an attribute of the objects themselves, not a "
                          "dotted path: '" + std::string(attribute) + "' (value_counts and group_by follow paths)");
}

}  // namespace vostrel
