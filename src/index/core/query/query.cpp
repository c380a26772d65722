// QueryMap: registration and removal of attribute values by kind, and element-id translation.
#include "index/core/query/query.hpp"

#include <algorithm>
#include <array>
#include <mutex>
#include <shared_mutex>
#include <span>
#include <utility>

#include "index/core/structures/ids/id_alloc.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/errors.hpp"
#include "index/object_record.hpp"

namespace vostrel {
namespace {

constexpr size_t TRANSLATE_BATCH = 1024;
// Element chains are as deep as the nesting of iterables inside iterables; anything deeper is a corrupted map.
constexpr int MAX_ELEMENT_DEPTH = 1 << 16;
// How many exact-map keys ahead a walk over them fetches the key's record.
constexpr size_t FETCH_KEYS_AHEAD = 8;

}  // namespace

std::shared_ptr<QueryMap> QueryMap::create(std::weak_ptr<IndexAPI> owner, uint32_t level) {
  return std::make_shared<QueryMap>(std::move(owner), level);
}

void QueryMap::link_again(const GateHeld& /*gate*/, uint32_t object, const PyValue& value, NestedWork& work) {
  if (value.kind() == ValueKind::Ind) {
    work.push_back(NestedTask{NestedTask::Kind::Link, shared_from_this(), object, value.as_indexable()});
    return;
  }
  if (value.kind() != ValueKind::Iterable) return;
  // The members as registered (element ids follow their order), not as the object holds them now.
  std::shared_lock lock(translation_mutex);
  const auto members_of = [&](const auto& self, uint32_t owner) -> void {
    const auto found = owner_elements.find(owner);
    if (found == owner_elements.end()) return;
    const OwnedElements& owned = found->second;
    const std::span<const uint32_t> elements = owned.elements();
    for (size_t at = 0; at < elements.size(); ++at) {
      const PyValue& member = owned.members()[at];
      if (member.kind() == ValueKind::Ind) {
        work.push_back(NestedTask{NestedTask::Kind::Link, shared_from_this(), elements[at], member.as_indexable()});
      } else if (member.kind() == ValueKind::Iterable) {
        self(self, elements[at]);
      }
    }
  };
  members_of(members_of, object);
}

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner, uint32_t level)
    : parent(std::move(owner)),
      level(level),
      positional_mutex(lock_rank::at_level(level, lock_rank::POSITIONAL)),
      numeric_mutex(lock_rank::at_level(level, lock_rank::NUMERIC)),
      bool_mutex(lock_rank::at_level(level, lock_rank::BOOL)),
      translation_mutex(lock_rank::at_level(level, lock_rank::TRANSLATION)),
      mask_mutex(lock_rank::at_level(level, lock_rank::MASK)),
      objects_mutex(lock_rank::at_level(level, lock_rank::OBJECTS)) {}

QueryMap::~QueryMap() {
  // Element ids belong to the map that registered them.
  {
    IdReturnBatch element_ids;
    for (const auto& [owner, owned] : owner_elements) {
      count_index_copy(owned.iterable(), false);
      for (uint32_t element : owned.elements()) element_ids.add(element);
    }
  }
  if (ExactMap* values = exact.get()) {
    values->for_each_shard_read([](const auto& shard) {
      // A key's record is cold by now (a dropped index of nested objects has a million of them): fetched ahead.
      auto ahead = shard.begin();
      for (size_t step = 0; step < FETCH_KEYS_AHEAD && ahead != shard.end(); ++step) ++ahead;
      for (const auto& entry : shard) {
        if (ahead != shard.end()) {
          ahead->first.prefetch();
          ++ahead;
        }
        count_index_copy(entry.first, false);
      }
    });
  }
}

OrderedKey QueryMap::key_of(const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int: return OrderedKey::from_int(value.as_int());
    case ValueKind::BigInt: return value.big_int_key();
    default: return OrderedKey::from_float(value.as_float());
  }
}

void QueryMap::insert_value(uint32_t id, const PyValue& value, NestedWork& work) {
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      note_number(value);
      insert_num_ordered(key_of(value), id);
      break;
    case ValueKind::Str:
      insert_str(value, id);
      break;
    case ValueKind::Bool:
      insert_bool(value.as_bool(), id);
      break;
    case ValueKind::Iterable:
      insert_iterable(value, id, work);
      break;
    case ValueKind::Ind:
      insert_object(value, id);
      work.push_back(NestedTask{NestedTask::Kind::Link, shared_from_this(), id, value.as_indexable()});
      break;
    case ValueKind::Unknown:
    case ValueKind::BigInt:  // never: stored_kind() gives Int or Unknown for it
      insert_exact(value, id);
      break;
  }
}

namespace {

// Removals must not fail half way (a write or a removal is then taken back, or finished, from a whole state), and the
// only memory they take is the list of Unlink tasks: room for `count` more tasks is made before anything changes.
void make_room(NestedWork& work, size_t count) {
  if (work.capacity() - work.size() >= count) return;
  work.reserve(std::max(work.size() + count, 2 * work.capacity()));
}

// The nested objects among `members`, members of member iterables included: one Unlink task each on removal.
size_t nested_objects_among(std::span<const PyValue> members) {
  size_t count = 0;
  for (const PyValue& member : members) {
    if (member.kind() == ValueKind::Ind) {
      ++count;
    } else if (member.kind() == ValueKind::Iterable) {
      count += nested_objects_among(member.as_iterable().members());
    }
  }
  return count;
}

}  // namespace

void QueryMap::remove_value(uint32_t id, const PyValue& value, NestedWork& work) {
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      remove_num_ordered(key_of(value), id);
      break;
    case ValueKind::Str:
      remove_str(value, id);
      break;
    case ValueKind::Bool:
      remove_bool(value.as_bool(), id);
      break;
    case ValueKind::Iterable:
      remove_iterable(id, work);
      break;
    case ValueKind::Ind:
      make_room(work, 1);
      remove_object(value, id);
      work.push_back(NestedTask{NestedTask::Kind::Unlink, shared_from_this(), id, value.as_indexable()});
      break;
    case ValueKind::Unknown:
    case ValueKind::BigInt:
      remove_exact(value, id);
      break;
  }
}

void QueryMap::insert_num_ordered(OrderedKey key, uint32_t id) {
  std::unique_lock lock(numeric_mutex);
  if (slices_kept.load(std::memory_order_relaxed)) numeric.ensure().insert(key, id);
  add_number_id(key, id);
}

void QueryMap::remove_num_ordered(OrderedKey key, uint32_t id) {
  std::unique_lock lock(numeric_mutex);
  if (NumericalBitmap* numbers = numeric.get()) numbers->remove(key, id);
  remove_number_id(key, id);
}

void QueryMap::add_slices(const NumberIds& numbers, const Bitmap* only) const {
  // In id order, as a batch of new objects: the slices take their ids as rising runs.
  std::vector<std::pair<uint32_t, OrderedKey>> pairs;
  pairs.reserve(numbers.id_count());
  numbers.for_each([&](const OrderedKey& key, uint32_t id) {
    if (only == nullptr || only->contains(id)) pairs.emplace_back(id, key);
  });
  std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<uint32_t> zeros;
  std::vector<uint32_t> ones;
  numeric.ensure().add_rising(
      pairs.size(), [&](size_t at) { return pairs[at].second; }, [&](size_t at) { return pairs[at].first; }, zeros,
      ones);
}

void QueryMap::keep_slices() const {
  if (slices_kept.load(std::memory_order_relaxed)) return;
  if (const NumberIds* numbers = number_ids.get()) {
    // Empty until now; emptied again when memory runs out halfway, so that nothing half-built is ever kept.
    try {
      add_slices(*numbers, nullptr);
    } catch (...) {
      if (NumericalBitmap* slices = numeric.get()) *slices = NumericalBitmap();
      throw;
    }
  }
  slices_kept.store(true, std::memory_order_release);
}

void QueryMap::insert_str(const PyValue& value, uint32_t id) {
  std::unique_lock lock(positional_mutex);
  if (positions_kept.load(std::memory_order_relaxed)) positional.insert(value.as_str(), id);
  add_text_id(value, id);
}

void QueryMap::remove_str(const PyValue& value, uint32_t id) {
  std::unique_lock lock(positional_mutex);
  if (positions_kept.load(std::memory_order_relaxed)) positional.remove(value.as_str(), id);
  remove_text_id(value, id);
}

void QueryMap::add_positions(const TextIds& texts, const Bitmap* only) const {
  // In id order, so that every byte set takes its ids as rising runs, as from a batch of new objects.
  std::vector<std::pair<uint32_t, std::string_view>> pairs;
  pairs.reserve(texts.size());
  texts.for_each([&](const PyValue& text, uint32_t id) {
    if (only == nullptr || only->contains(id)) pairs.emplace_back(id, text.as_str());
  });
  std::sort(pairs.begin(), pairs.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
  positional.insert_rising(pairs);
}

void QueryMap::keep_positions() const {
  if (positions_kept.load(std::memory_order_relaxed)) return;
  if (const TextIds* texts = text_ids.get()) {
    // Empty until now; emptied again when memory runs out halfway, so that nothing half-built is ever kept.
    try {
      add_positions(*texts, nullptr);
    } catch (...) {
      positional = PositionalBitmap();
      throw;
    }
  }
  positions_kept.store(true, std::memory_order_release);
}

void QueryMap::insert_bool(bool flag, uint32_t id) {
  std::unique_lock lock(bool_mutex);
  add_rising(flag ? trues : falses, id);
}

void QueryMap::remove_bool(bool flag, uint32_t id) {
  std::unique_lock lock(bool_mutex);
  (flag ? trues : falses).remove(id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  if (value.kind() == ValueKind::BigInt) holds_unkeyed.store(true, std::memory_order_release);
  auto shard = exact.ensure(16).get_shard(value.hash());
  auto found = shard.map.find(value);
  if (found != shard.map.end()) {
    found->second.add(id);
    return;
  }
  CompactIdSet ids;
  ids.add(id);
  shard.map.emplace(value, std::move(ids));
  count_index_copy(value, true);
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  ExactMap* values = exact.get();
  if (values == nullptr) return;
  auto shard = values->get_shard(value.hash());
  auto found = shard.map.find(value);
  if (found == shard.map.end()) return;
  found->second.remove(id);
  // An emptied entry goes at once, so an empty exact map means no Unknown value is left.
  if (found->second.is_empty()) {
    count_index_copy(found->first, false);
    shard.map.erase(found);
    shard.map.compact_if_sparse();
  }
}

uint32_t QueryMap::object_key(const PyValue& value) { return value.as_indexable().core().id; }

void QueryMap::insert_object(const PyValue& value, uint32_t id) {
  std::unique_lock lock(objects_mutex);
  object_ids.ensure().add(object_key(value), id);
}

void QueryMap::remove_object(const PyValue& value, uint32_t id) {
  std::unique_lock lock(objects_mutex);
  if (ObjectIds* ids = object_ids.get()) ids->remove(object_key(value), id);
}

void QueryMap::insert_iterable(const PyValue& value, uint32_t owner, NestedWork& work) {
  const IterableValue& iterable = value.as_iterable();
  // A dict, or a container with no member, stores nothing.
  if (iterable.members().empty()) return;
  OwnedElements owned(value);
  const size_t count = owned.size();
  size_t allocated = 0;
  try {
    for (; allocated < count; ++allocated) owned.set(allocated, allocate_id());
  } catch (...) {
    for (size_t at = 0; at < allocated; ++at) free_id(owned.elements()[at]);
    throw;
  }
  // The ids stay readable after `owned` moves into the table: a heap array moves with it, ids in place are copied
  // (the table's slots move when registering nested members grows it).
  std::array<uint32_t, OwnedElements::IN_PLACE> in_place{};
  std::span<const uint32_t> elements = owned.elements();
  if (count <= in_place.size()) {
    std::copy(elements.begin(), elements.end(), in_place.begin());
    elements = std::span<const uint32_t>(in_place.data(), count);
  }
  {
    std::unique_lock lock(translation_mutex);
    std::pair<decltype(owner_elements)::iterator, bool> placed;
    try {
      placed = owner_elements.try_emplace(owner);
    } catch (...) {
      lock.unlock();
      for (uint32_t element : elements) free_id(element);
      throw;
    }
    if (!placed.second) {
      // One value per attribute and owner: an owner with members already was never taken out of this map.
      lock.unlock();
      for (uint32_t element : elements) free_id(element);
      throw InternalError("an owner registered the members of two iterables in one value map");
    }
    placed.first->second = std::move(owned);
    count_index_copy(value, true);
    // From here a failure leaves the entry, and remove_iterable takes the element ids back.
    for (uint32_t element : elements) translation.set(element, owner);
  }
  {
    std::unique_lock lock(mask_mutex);
    mask.addMany(elements.size(), elements.data());
  }
  const std::span<const PyValue> members = iterable.members();
  for (size_t at = 0; at < members.size(); ++at) insert_value(elements[at], members[at], work);
}

void QueryMap::remove_iterable(uint32_t owner, NestedWork& work) {
  OwnedElements owned;
  {
    std::unique_lock lock(translation_mutex);
    auto found = owner_elements.find(owner);
    if (found == owner_elements.end()) return;
    make_room(work, nested_objects_among(found->second.members()));
    owned = std::move(found->second);
    owner_elements.erase(found);
    owner_elements.compact_if_sparse();
    count_index_copy(owned.iterable(), false);
    for (uint32_t element : owned.elements()) translation.erase(element);
  }
  const std::span<const uint32_t> elements = owned.elements();
  const std::span<const PyValue> members = owned.members();
  for (size_t pos = 0; pos < elements.size(); ++pos) {
    remove_value(elements[pos], members[pos], work);  // nested iterables release their own elements here
  }
  // The mask goes last, as it came first: while any structure holds an element id, readers resolve it as a member
  // (a view may list the same id for an object that died) and never take it for an object.
  {
    std::unique_lock lock(mask_mutex);
    roaring_bitmap_remove_many(&mask.roaring, elements.size(), elements.data());
  }
  for (uint32_t element : elements) free_id(element);
}

void QueryMap::drop_members(Bitmap& result) const {
  std::shared_lock lock(mask_mutex);
  if (!mask.isEmpty()) roaring_bitmap_andnot_inplace(&result.roaring, &mask.roaring);
}

void QueryMap::resolve_members(Bitmap& result, const Bitmap& allowed) const {
  Bitmap masked;
  {
    std::shared_lock lock(mask_mutex);
    if (!mask.isEmpty()) masked = result & mask;
  }
  // Element ids never stand for themselves, even where `allowed` lists the same id (an object of a view that died).
  if (!masked.isEmpty()) roaring_bitmap_andnot_inplace(&result.roaring, &masked.roaring);
  result &= allowed;
  if (masked.isEmpty()) return;
  Bitmap owners;
  std::vector<uint32_t> batch;
  batch.reserve(TRANSLATE_BATCH);
  {
    std::shared_lock lock(translation_mutex);
    for (uint32_t element : masked) {
      // Follow the chain to an object: members of an iterable nested in an iterable are owned by element ids.
      uint32_t owner = translation.get(element);
      if (owner == PagedU32Map::ABSENT) continue;
      int depth = 0;
      for (uint32_t next = translation.get(owner); next != PagedU32Map::ABSENT; next = translation.get(owner)) {
        owner = next;
        if (++depth > MAX_ELEMENT_DEPTH) throw InternalError("element translation does not terminate");
      }
      batch.push_back(owner);
      if (batch.size() == TRANSLATE_BATCH) {
        owners.addMany(batch.size(), batch.data());
        batch.clear();
      }
    }
  }
  owners.addMany(batch.size(), batch.data());
  owners &= allowed;
  result |= owners;
}

}  // namespace vostrel
