// BulkWriter: staging, flushing and taking back the values of a batch of new objects.
#include "index/core/delayed_query.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>
#include <new>
#include <numeric>
#include <shared_mutex>
#include <span>
#include <utility>
#include <vector>

#include "index/core/structures/ids/id_alloc.hpp"
#include "index/core/structures/parallel_jobs/parallel_jobs.hpp"
#include "index/core/query/query.hpp"
#include "index/core/structures/bitmap_ops/add_ids.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/core/structures/test_points.hpp"

namespace vostrel {
namespace {

// Strings up to this length are buffered per (position, key); longer ones are rare and would widen the flush's
// counting table for nothing, so they take the ordinary insert (which only locks the positional structure itself).
constexpr size_t MAX_BUFFERED_TEXT = 4096;
// Bitmaps per string position: one per byte value and the boundary mark.
constexpr unsigned KEY_COUNT = CharacterMap::BOUNDARY + 1;
// How many entries ahead a flush fetches the records it will read.
constexpr size_t FETCH_AHEAD = 8;
// Below this estimated cost (roughly half a millisecond of work) a flush runs on the calling thread alone.
constexpr size_t PARALLEL_FLUSH_COST = 100'000;

// Calls f(position relative to the row's centre, key) for each bitmap a non-empty string puts its id into: every
// byte at its place and the boundary mark at both ends. The placement start(N, L) = N/2 - L/2 - 1 is a fixed offset
// from the row's centre, whatever N is when the buffer is flushed; growing the row moves the centre and every stored
// string together.
template <class F>
void for_each_text_entry(std::string_view text, F&& f) {
  if (text.empty()) return;
  const int64_t length = static_cast<int64_t>(text.size());
  const int64_t first = -(length / 2) - 1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (int64_t j = 0; j < length; ++j) f(first + j, bytes[j]);
  f(first, CharacterMap::BOUNDARY);
  if (length > 1) f(first + length - 1, CharacterMap::BOUNDARY);
}


// Positions of `entries` in ascending id order, or null when they are in it already. Objects are usually indexed in
// the order they were made, so their ids rise through a chunk and every list a flush hands to a bitmap rises too;
// a batch in another order (sorted by some attribute, shuffled) is walked in id order instead, so that its lists
// rise all the same and each bitmap takes them as runs.
template <class Entry>
const std::vector<uint32_t>* in_id_order(const std::vector<Entry>& entries, std::vector<uint32_t>& order) {
  bool rising = true;
  for (size_t at = 1; at < entries.size() && rising; ++at) rising = entries[at - 1].id < entries[at].id;
  if (rising) return nullptr;
  order.resize(entries.size());
  std::iota(order.begin(), order.end(), 0u);
  std::sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return entries[a].id < entries[b].id; });
  return &order;
}

}  // namespace

// The entries in key order (staging order within a key): an LSD radix sort a byte at a time over the 76 key bits,
// skipping the bytes every key shares (the high bytes of small integers), so that a chunk of ages costs one pass
// and a comparison sort's log factor is never paid.
const std::vector<BulkWriter::NumberEntry>& BulkWriter::sorted_by_key(const MapBuffer& buffer, Scratch& scratch) {
  std::vector<NumberEntry>& sorted = scratch.numbers;
  sorted.assign(buffer.numbers.begin(), buffer.numbers.end());
  if (sorted.size() < 2) return sorted;
  uint64_t m_all = ~uint64_t{0};
  uint64_t m_any = 0;
  uint16_t e_all = 0xffff;
  uint16_t e_any = 0;
  for (const NumberEntry& entry : sorted) {
    m_all &= entry.key.m;
    m_any |= entry.key.m;
    e_all &= entry.key.e;
    e_any |= entry.key.e;
  }
  const uint64_t m_varies = m_all ^ m_any;
  const uint16_t e_varies = static_cast<uint16_t>(e_all ^ e_any);
  std::vector<NumberEntry>& moved = scratch.numbers_too;
  moved.resize(sorted.size());
  std::array<uint32_t, 256> counts{};
  const auto pass = [&](auto byte_of) {
    counts.fill(0);
    for (const NumberEntry& entry : sorted) ++counts[byte_of(entry)];
    uint32_t start = 0;
    for (uint32_t& count : counts) start += std::exchange(count, start);
    for (const NumberEntry& entry : sorted) moved[counts[byte_of(entry)]++] = entry;
    sorted.swap(moved);
  };
  for (unsigned shift = 0; shift < 64; shift += 8) {
    if (((m_varies >> shift) & 0xff) == 0) continue;
    pass([shift](const NumberEntry& entry) { return (entry.key.m >> shift) & 0xff; });
  }
  for (unsigned shift = 0; shift < 16; shift += 8) {
    if (((e_varies >> shift) & 0xff) == 0) continue;
    pass([shift](const NumberEntry& entry) { return (entry.key.e >> shift) & 0xff; });
  }
  return sorted;
}

void BulkWriter::add_text_ids(QueryMap& map, const MapBuffer& buffer) {
  const std::vector<DirectValue>& values = buffer.text_values;
  map.text_ids.ensure().add_each(
      values.size(), [&](size_t at) -> const PyValue& { return values[at].value; },
      [&](size_t at) { return values[at].id; });
}

void BulkWriter::add_number_ids(QueryMap& map, const std::vector<NumberEntry>& sorted) {
  map.number_ids.ensure().add_sorted(sorted);
}

void BulkWriter::unset_value_ids(QueryMap& map, const MapBuffer& buffer, bool text) {
  if (text) {
    for (const DirectValue& value : buffer.text_values) map.remove_text_id(value.value, value.id);
  } else {
    for (const NumberEntry& entry : buffer.numbers) map.remove_number_id(entry.key, entry.id);
  }
}

BulkWriter::BulkWriter(const GateHeld& gate, IndexAPI& index, ScratchPool& scratch)
    : gate_(gate), index_(index), scratch_(scratch) {}

BulkWriter::~BulkWriter() = default;

BulkWriter::ScratchPool::Lease BulkWriter::ScratchPool::borrow() {
  {
    std::lock_guard lock(mutex_);
    if (!free_.empty()) {
      std::unique_ptr<Scratch> scratch = std::move(free_.back());
      free_.pop_back();
      return Lease(*this, std::move(scratch));
    }
    // Room for it to come back, so that giving back never allocates.
    free_.reserve(made_ + 1);
    ++made_;
  }
  return Lease(*this, std::make_unique<Scratch>());
}

void BulkWriter::ScratchPool::give_back(std::unique_ptr<Scratch> scratch) noexcept {
  std::lock_guard lock(mutex_);
  free_.push_back(std::move(scratch));
}

BulkWriter::MapBuffer& BulkWriter::buffer_for(uint32_t attribute) {
  if (attribute < by_attribute_.size() && by_attribute_[attribute]) return *by_attribute_[attribute];
  std::shared_ptr<QueryMap> map = index_.map_for(gate_, attribute);
  if (by_attribute_.size() <= attribute) by_attribute_.resize(static_cast<size_t>(attribute) + 1);
  auto buffer = std::make_unique<MapBuffer>();
  buffer->map = std::move(map);
  by_attribute_[attribute] = std::move(buffer);
  return *by_attribute_[attribute];
}

void BulkWriter::stage(uint32_t id, const AttributeMap& attributes, NestedWork& work) {
  if (flushed_) clear_flushed();
  if (test_point_fails(TestPoint::BulkStage)) {
    throw std::bad_alloc();
  }
  // The records of long text, lists and nested objects are far apart in memory: their misses overlap when all are
  // asked for before the first is read.
  attributes.map.prefetch_values();
  attributes.map.for_each([&](const uint32_t& attribute, const PyValue& value) {
    MapBuffer& buffer = buffer_for(attribute);
    if (!buffer.dirty) {
      dirty_.push_back(&buffer);
      buffer.dirty = true;
    }
    // Counted first, so that discard() takes back exactly what was counted even when a push fails.
    ++buffer.staged_values;
    buffer.map->registered.fetch_add(1);
    push_value(buffer, id, value, work);
  });
}

void BulkWriter::push_value(MapBuffer& buffer, uint32_t id, const PyValue& value, NestedWork& work) {
  switch (value.stored_kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      push_number(buffer, value, id);
      break;
    case ValueKind::Bool:
      push_bool(buffer, value.as_bool(), id);
      break;
    case ValueKind::Str:
      if (value.as_str().size() <= MAX_BUFFERED_TEXT) {
        push_text(buffer, value.as_str(), id);
        buffer.text_values.push_back(DirectValue{id, value});
      } else {
        // Rare: the ordinary insert, which takes only the positional lock, held by nobody while staging. The id
        // stays invisible until its owner is published.
        buffer.direct.push_back(DirectValue{id, value});
        buffer.map->insert_str(value, id);
      }
      break;
    case ValueKind::Iterable:
      push_iterable(buffer, value, id, work);
      break;
    case ValueKind::Ind:
      push_nested(buffer, value, id, work);
      break;
    case ValueKind::Unknown:
    case ValueKind::BigInt:  // never: stored_kind() gives Int or Unknown for it
      push_exact(buffer, value, id);
      break;
  }
}

void BulkWriter::push_number(MapBuffer& buffer, const PyValue& value, uint32_t id) {
  buffer.map->note_number(value);
  buffer.numbers.push_back(NumberEntry{QueryMap::key_of(value), id});
}

void BulkWriter::push_bool(MapBuffer& buffer, bool flag, uint32_t id) {
  (flag ? buffer.trues : buffer.falses).push_back(id);
}

void BulkWriter::push_exact(MapBuffer& buffer, const PyValue& value, uint32_t id) {
  // Set ahead of publication: the flag only says where order tests look.
  if (value.kind() == ValueKind::BigInt) buffer.map->holds_unkeyed.store(true, std::memory_order_release);
  buffer.exact.push_back(ExactEntry{value, value.hash(), id});
}

void BulkWriter::push_nested(MapBuffer& buffer, const PyValue& value, uint32_t holder, NestedWork& work) {
  StoredIndexable child = value.as_indexable();
  const uint32_t child_id = child.core().id;
  buffer.objects.push_back(ObjectEntry{child_id, holder});
  work.push_back(NestedTask{NestedTask::Kind::Link, buffer.map, holder, std::move(child), nullptr, 0, child_id});
}

void BulkWriter::push_iterable(MapBuffer& buffer, const PyValue& value, uint32_t owner, NestedWork& work) {
  const IterableValue& iterable = value.as_iterable();
  // A dict, or a container with no member, stores nothing.
  if (iterable.members().empty()) return;
  const std::span<const PyValue> members = iterable.members();
  // Room first, so each element id is recorded as soon as it is allocated, and discard() finds (and frees) it
  // whatever fails next.
  const size_t needed = buffer.elements.size() + members.size();
  if (needed > buffer.elements.capacity()) buffer.elements.reserve(std::max(needed, 2 * buffer.elements.capacity()));
  const size_t first = buffer.elements.size();
  buffer.iterables.push_back(IterableEntry{owner, static_cast<uint32_t>(first), value});
  for (size_t at = 0; at < members.size(); ++at) buffer.elements.push_back(ElementEntry{allocate_id(), owner});
  // By position: a member's own members are staged after these, and may move the vector.
  for (size_t at = 0; at < members.size(); ++at) {
    push_value(buffer, buffer.elements[first + at].element, members[at], work);
  }
}

void BulkWriter::push_text(MapBuffer& buffer, std::string_view text, uint32_t id) {
  if (text.empty()) {
    buffer.empty_texts.push_back(id);
    return;
  }
  // Only counted: the flush reads the strings again from `text_values`, which is cheaper than staging an entry per
  // byte (eight bytes each, several times the strings themselves).
  buffer.text_entries += text.size() + (text.size() > 1 ? 2 : 1);
  if (text.size() > buffer.longest_text) buffer.longest_text = text.size();
}

void BulkWriter::flush(const std::function<void()>& alongside) {
  if (flushed_) clear_flushed();
  // Each value map has locks of its own and its buffer holds only its values, so the maps are flushed side by side,
  // the costliest first. A small flush alone is not worth a thread start (tens of microseconds).
  size_t total = 0;
  for (MapBuffer* buffer : dirty_) total += flush_cost(*buffer);
  if (!alongside && (total < PARALLEL_FLUSH_COST || dirty_.size() < 2)) {
    for (MapBuffer* buffer : dirty_) flush_map(*buffer, *scratch_.borrow());
  } else {
    std::vector<FlushJob> jobs = flush_jobs();
    std::stable_sort(jobs.begin(), jobs.end(), [](const FlushJob& a, const FlushJob& b) { return a.cost > b.cost; });
    // The work alongside is job 0, which the calling thread runs itself while a helper starts on the costliest map.
    const size_t first_flush = alongside ? 1 : 0;
    run_jobs(jobs.size() + first_flush, [&](size_t at) {
      if (at < first_flush) {
        alongside();
      } else {
        const FlushJob& job = jobs[at - first_flush];
        flush_map(*job.buffer, *scratch_.borrow(), job.part);
      }
    });
  }
  // The buffers are emptied by this writer's next stage, which the caller runs beside another writer's flush: their
  // values' records are released there, on whichever lane is free, and not between two flushes.
  flushed_ = true;
}

void BulkWriter::clear_flushed() {
  for (MapBuffer* buffer : dirty_) clear(*buffer);
  dirty_.clear();
  flushed_ = false;
}

// Rough weights from profiles: a text entry is one move into its bitmap's list and one bitmap add (only where the
// map keeps positions), and each string one text-id insert; a number goes into several bit slices and the ordered
// map; exact entries and list members are a hash-table insert each.
constexpr size_t TEXT_ID_COST = 8;
constexpr size_t NUMBER_ID_COST = 4;

size_t BulkWriter::flush_cost(const MapBuffer& buffer) {
  const size_t text_entries = buffer.map->positions_kept.load(std::memory_order_relaxed) ? buffer.text_entries : 0;
  return text_entries + TEXT_ID_COST * buffer.text_values.size() + (4 + NUMBER_ID_COST) * buffer.numbers.size() +
         2 * (buffer.trues.size() + buffer.falses.size()) + 16 * buffer.exact.size() + 8 * buffer.objects.size() +
         12 * buffer.elements.size();
}

// The numbers' value -> ids merge walks every entry the map holds already: a large map of distinct numbers (prices,
// timestamps) makes it one of a flush's longest jobs as a batch goes on, and a long job started last is a tail on one
// lane. Only writers change the map, and they hold the gate, so its size is read here without its lock.
size_t BulkWriter::number_merge_cost(const MapBuffer& buffer) {
  if (buffer.numbers.empty()) return 0;
  const QueryMap::NumberIds* held = buffer.map->number_ids.get();
  return held == nullptr ? 0 : held->size() / 2;
}

std::vector<BulkWriter::FlushJob> BulkWriter::flush_jobs() const {
  // Below this many strings and numbers a split map is not worth a second job.
  constexpr size_t SPLIT_VALUES = 4096;
  std::vector<FlushJob> jobs;
  jobs.reserve(2 * dirty_.size());
  for (MapBuffer* buffer : dirty_) {
    const size_t cost = flush_cost(*buffer);
    // Members stay whole: their element records go in before any of their values (see flush_map).
    if (buffer->text_values.size() + buffer->numbers.size() >= SPLIT_VALUES && buffer->elements.empty()) {
      const size_t ids_cost = TEXT_ID_COST * buffer->text_values.size() + NUMBER_ID_COST * buffer->numbers.size();
      jobs.push_back(FlushJob{cost - ids_cost, buffer, FlushPart::AllButValueIds});
      jobs.push_back(FlushJob{ids_cost + number_merge_cost(*buffer), buffer, FlushPart::ValueIds});
    } else {
      jobs.push_back(FlushJob{cost + number_merge_cost(*buffer), buffer, FlushPart::Whole});
    }
  }
  return jobs;
}

void BulkWriter::flush_map(MapBuffer& buffer, Scratch& scratch, FlushPart part) {
  if (part == FlushPart::ValueIds) {
    flush_value_ids(buffer, scratch);
    return;
  }
  // Element records and the exact map first: everything a published id leads to is in place once the plain
  // structures have their ids, whatever order readers look in.
  flush_elements(buffer, scratch);
  flush_exact(buffer, scratch);
  flush_objects(buffer);
  flush_text(buffer, scratch, part == FlushPart::Whole);
  flush_numbers(buffer, scratch, part == FlushPart::Whole);
  if (!buffer.trues.empty() || !buffer.falses.empty()) {
    QueryMap& map = *buffer.map;
    auto lock = map.write_lock(QueryMap::Part::Bools);
    add_ids(&map.trues.roaring, buffer.trues.data(), buffer.trues.size());
    add_ids(&map.falses.roaring, buffer.falses.data(), buffer.falses.size());
  }
}

void BulkWriter::flush_elements(MapBuffer& buffer, Scratch& scratch) {
  if (buffer.elements.empty()) return;
  QueryMap& map = *buffer.map;
  {
    auto lock = map.write_lock(QueryMap::Part::Translation);
    for (const IterableEntry& entry : buffer.iterables) {
      OwnedElements owned(entry.iterable);
      for (size_t at = 0; at < owned.size(); ++at) owned.set(at, buffer.elements[entry.first + at].element);
      auto [slot, placed] = map.owner_elements.try_emplace(entry.owner);
      // Staged owners are new to this index, and each holds one value per map.
      if (!placed) throw InternalError("an owner registered the members of two iterables in one value map");
      slot->second = std::move(owned);
      count_index_copy(entry.iterable, true);
    }
    for (const ElementEntry& entry : buffer.elements) map.translation.set(entry.element, entry.owner);
  }
  std::vector<uint32_t>& elements = scratch.ids;
  elements.clear();
  for (const ElementEntry& entry : buffer.elements) elements.push_back(entry.element);
  auto lock = map.write_lock(QueryMap::Part::Mask);
  add_ids(&map.mask.roaring, elements.data(), elements.size());
}

void BulkWriter::flush_exact(MapBuffer& buffer, Scratch& scratch) {
  if (buffer.exact.empty()) return;
  QueryMap::ExactMap& values = buffer.map->exact.ensure(16);
  // Grouped by shard, so each shard's lock is taken once per flush.
  const size_t shards = values.shard_count();
  std::vector<uint32_t>& order = scratch.ids;
  order.resize(buffer.exact.size());
  std::vector<size_t>& counts = scratch.counts;
  counts.assign(shards + 1, 0);
  for (const ExactEntry& entry : buffer.exact) ++counts[QueryMap::ExactMap::shard_index(entry.hash, shards - 1) + 1];
  for (size_t shard = 1; shard <= shards; ++shard) counts[shard] += counts[shard - 1];
  std::vector<size_t>& starts = scratch.counts_too;
  starts.assign(counts.begin(), counts.end());
  for (uint32_t pos = 0; pos < buffer.exact.size(); ++pos) {
    order[counts[QueryMap::ExactMap::shard_index(buffer.exact[pos].hash, shards - 1)]++] = pos;
  }
  for (size_t shard = 0; shard < shards; ++shard) {
    if (starts[shard] == starts[shard + 1]) continue;
    auto guard = values.get_shard_at(shard);
    for (size_t at = starts[shard]; at < starts[shard + 1]; ++at) {
      // The table compares the value and keeps a counted copy of it, whose record is cold again by now; the slot it
      // lands in, far apart in a large table, is fetched too.
      if (at + 2 * FETCH_AHEAD < starts[shard + 1]) buffer.exact[order[at + 2 * FETCH_AHEAD]].value.prefetch();
      if (at + FETCH_AHEAD < starts[shard + 1]) guard.map.prefetch(buffer.exact[order[at + FETCH_AHEAD]].value);
      const ExactEntry& entry = buffer.exact[order[at]];
      // One lookup whether the value is new or not (a new entry starts empty and takes its first id inline).
      auto [slot, placed] = guard.map.try_emplace(entry.value);
      slot->second.add(entry.id);
      if (placed) count_index_copy(slot->first, true);
    }
  }
}

void BulkWriter::flush_objects(MapBuffer& buffer) {
  if (buffer.objects.empty()) return;
  QueryMap& map = *buffer.map;
  const std::vector<ObjectEntry>& objects = buffer.objects;
  auto lock = map.write_lock(QueryMap::Part::Objects);
  map.object_ids.ensure().add_each(
      objects.size(), [&](size_t at) { return objects[at].object; }, [&](size_t at) { return objects[at].holder; });
}

void BulkWriter::flush_value_ids(MapBuffer& buffer, Scratch& scratch) {
  QueryMap& map = *buffer.map;
  if (!buffer.text_values.empty()) {
    auto lock = map.write_lock(QueryMap::Part::Text);
    add_text_ids(map, buffer);
    // A reader may have built the positions since the text part of this flush passed over them, from a value table
    // that lacked this batch.
    cover_positions(map, buffer);
  }
  if (!buffer.numbers.empty()) {
    const std::vector<NumberEntry>& sorted = sorted_by_key(buffer, scratch);
    auto lock = map.write_lock(QueryMap::Part::Numbers);
    add_number_ids(map, sorted);
    cover_slices(map, buffer);
  }
}

// A batch's strings go into the positions once the map keeps them: by the text part of the flush, one bulk add per
// list, or, when a reader built them after that part passed a map without them, one by one by the part that adds
// the strings to the value table. A build that read a value table already holding the batch holds it too; adding a
// string to positions that hold it changes nothing.
void BulkWriter::cover_positions(QueryMap& map, MapBuffer& buffer) {
  if (!buffer.positions_done || buffer.positions_covered || !map.positions_kept.load(std::memory_order_relaxed)) {
    return;
  }
  for (const DirectValue& value : buffer.text_values) map.positional.insert(value.value.as_str(), value.id);
  buffer.positions_covered = true;
}

void BulkWriter::flush_text(MapBuffer& buffer, Scratch& scratch, bool with_ids) {
  if (buffer.text_values.empty()) return;
  QueryMap& map = *buffer.map;
  // Without positions the strings go to the value table alone. Should a reader build the positions between this
  // look and the lock below, the strings are put there one by one instead.
  if (!map.positions_kept.load(std::memory_order_acquire)) {
    auto lock = map.write_lock(QueryMap::Part::Text);
    buffer.positions_done = true;
    cover_positions(map, buffer);
    if (with_ids) add_text_ids(map, buffer);
    return;
  }
  // Each string is read once, straight into the lists of the bitmaps it goes to (in staging order, so ascending for
  // ids handed out in order): long strings live in records of their own, and reading them a second time, as a
  // counting sort would, costs a second round of cache misses per string.
  const std::vector<DirectValue>& values = buffer.text_values;
  const int64_t lowest = -static_cast<int64_t>(buffer.longest_text / 2) - 1;
  const size_t buckets = (buffer.longest_text + 1) * KEY_COUNT;
  const auto bucket_of = [&](int64_t relative, unsigned key) {
    return static_cast<size_t>(relative - lowest) * KEY_COUNT + key;
  };
  std::vector<std::vector<uint32_t>>& lists = scratch.text_buckets;
  if (lists.size() < buckets) lists.resize(buckets);
  // Emptied however this flush ends, so the next one starts clean.
  struct EmptyLists {
    std::vector<std::vector<uint32_t>>& lists;
    size_t count;
    ~EmptyLists() {
      for (size_t bucket = 0; bucket < count; ++bucket) lists[bucket].clear();
    }
  } empty_lists{lists, buckets};
  const std::vector<uint32_t>* order = in_id_order(values, scratch.order);
  const auto position = [&](size_t at) -> size_t { return order == nullptr ? at : (*order)[at]; };
  for (size_t at = 0; at < values.size(); ++at) {
    if (at + 2 * FETCH_AHEAD < values.size()) values[position(at + 2 * FETCH_AHEAD)].value.prefetch();
    if (at + FETCH_AHEAD < values.size()) values[position(at + FETCH_AHEAD)].value.prefetch_text();
    const DirectValue& value = values[position(at)];
    const uint32_t id = value.id;
    for_each_text_entry(value.value.as_str(),
                        [&](int64_t relative, unsigned key) { lists[bucket_of(relative, key)].push_back(id); });
  }

  auto lock = map.write_lock(QueryMap::Part::Text);
  if (!buffer.positions_covered) {
    if (buffer.longest_text > 0) map.positional.expand_map(buffer.longest_text);
    const int64_t centre = static_cast<int64_t>(map.positional.positions() / 2);
    for (size_t bucket = 0; bucket < buckets; ++bucket) {
      if (lists[bucket].empty()) continue;
      const int64_t relative = static_cast<int64_t>(bucket / KEY_COUNT) + lowest;
      map.positional.add_many(static_cast<size_t>(centre + relative), static_cast<unsigned>(bucket % KEY_COUNT),
                              lists[bucket].data(), lists[bucket].size());
    }
    if (!buffer.empty_texts.empty()) {
      map.positional.add_many_empty(buffer.empty_texts.data(), buffer.empty_texts.size());
    }
    buffer.positions_covered = true;
  }
  buffer.positions_done = true;
  if (with_ids) add_text_ids(map, buffer);
}

void BulkWriter::flush_numbers(MapBuffer& buffer, Scratch& scratch, bool with_ids) {
  if (buffer.numbers.empty()) return;
  QueryMap& map = *buffer.map;
  const std::vector<NumberEntry>* by_id = &buffer.numbers;
  if (const std::vector<uint32_t>* order = in_id_order(buffer.numbers, scratch.order)) {
    scratch.numbers_by_id.clear();
    for (uint32_t at : *order) scratch.numbers_by_id.push_back(buffer.numbers[at]);
    by_id = &scratch.numbers_by_id;
  }
  // Sorted before locking: readers of this map wait only for the writes.
  const std::vector<NumberEntry>* sorted = with_ids ? &sorted_by_key(buffer, scratch) : nullptr;
  auto lock = map.write_lock(QueryMap::Part::Numbers);
  // Without slices the numbers go to the value table alone (see cover_slices).
  if (map.slices_kept.load(std::memory_order_relaxed) && !buffer.slices_covered) {
    if (!slices_hold(map, buffer)) {
      map.numeric.ensure().add_rising(
          by_id->size(), [&](size_t at) { return (*by_id)[at].key; }, [&](size_t at) { return (*by_id)[at].id; },
          scratch.ids, scratch.ids_too);
    }
    buffer.slices_covered = true;
  }
  buffer.slices_done = true;
  if (sorted != nullptr) add_number_ids(map, *sorted);
}

bool BulkWriter::slices_hold(const QueryMap& map, const MapBuffer& buffer) {
  const NumericalBitmap* numbers = map.numeric.get();
  return numbers != nullptr && numbers->stored().contains(buffer.numbers.front().id);
}

// As cover_positions, for the numbers and the slices. A slice counts its ids, so a batch goes in only where none of
// it is: a reader's build took the batch's numbers with the value table if it came after them (they go in under one
// lock), and then holds every one of the batch's ids.
void BulkWriter::cover_slices(QueryMap& map, MapBuffer& buffer) {
  if (!buffer.slices_done || buffer.slices_covered || !map.slices_kept.load(std::memory_order_relaxed)) return;
  if (!slices_hold(map, buffer)) {
    NumericalBitmap& numbers = map.numeric.ensure();
    for (const NumberEntry& entry : buffer.numbers) numbers.insert(entry.key, entry.id);
  }
  buffer.slices_covered = true;
}

void BulkWriter::clear(MapBuffer& buffer) {
  // Capacity is kept: the next chunk stages about as much.
  buffer.numbers.clear();
  buffer.text_entries = 0;
  buffer.longest_text = 0;
  buffer.empty_texts.clear();
  buffer.text_values.clear();
  buffer.trues.clear();
  buffer.falses.clear();
  buffer.exact.clear();
  buffer.objects.clear();
  buffer.elements.clear();
  buffer.iterables.clear();
  buffer.direct.clear();
  buffer.staged_values = 0;
  buffer.positions_done = false;
  buffer.positions_covered = false;
  buffer.slices_done = false;
  buffer.slices_covered = false;
  buffer.dirty = false;
}

void BulkWriter::remove_staged(MapBuffer& buffer) {
  QueryMap& map = *buffer.map;
  // The staged ids are new to this index, so removing one a partial flush never wrote touches nothing else.
  if (!buffer.text_values.empty()) {
    auto lock = map.write_lock(QueryMap::Part::Text);
    const int64_t centre = static_cast<int64_t>(map.positional.positions() / 2);
    for (const DirectValue& value : buffer.text_values) {
      for_each_text_entry(value.value.as_str(), [&](int64_t relative, unsigned key) {
        const int64_t position = centre + relative;
        if (position < 0 || static_cast<size_t>(position) >= map.positional.positions()) return;
        map.positional.maps[static_cast<size_t>(position)].remove(key, value.id);
      });
    }
    for (uint32_t id : buffer.empty_texts) map.positional.empty_strings.remove(id);
    unset_value_ids(map, buffer, true);
  }
  if (!buffer.numbers.empty()) {
    auto lock = map.write_lock(QueryMap::Part::Numbers);
    if (NumericalBitmap* numbers = map.numeric.get()) {
      for (const NumberEntry& entry : buffer.numbers) numbers->remove(entry.key, entry.id);
    }
    unset_value_ids(map, buffer, false);
  }
  if (!buffer.trues.empty() || !buffer.falses.empty()) {
    auto lock = map.write_lock(QueryMap::Part::Bools);
    for (uint32_t id : buffer.trues) map.trues.remove(id);
    for (uint32_t id : buffer.falses) map.falses.remove(id);
  }
  for (const ExactEntry& entry : buffer.exact) map.remove_exact(entry.value, entry.id);
  if (!buffer.objects.empty()) {
    auto lock = map.write_lock(QueryMap::Part::Objects);
    if (QueryMap::ObjectIds* ids = map.object_ids.get()) {
      for (const ObjectEntry& entry : buffer.objects) ids->remove(entry.object, entry.holder);
    }
  }
  if (!buffer.elements.empty()) {
    {
      auto lock = map.write_lock(QueryMap::Part::Translation);
      for (const ElementEntry& entry : buffer.elements) map.translation.erase(entry.element);
      // Staged owners are new here: an entry they have was placed by the flush (and counted with it).
      for (const IterableEntry& entry : buffer.iterables) {
        auto found = map.owner_elements.find(entry.owner);
        if (found == map.owner_elements.end()) continue;
        count_index_copy(found->second.iterable(), false);
        map.owner_elements.erase(found);
      }
      map.owner_elements.compact_if_sparse();
    }
    {
      auto lock = map.write_lock(QueryMap::Part::Mask);
      for (const ElementEntry& entry : buffer.elements) map.mask.remove(entry.element);
    }
    for (const ElementEntry& entry : buffer.elements) free_id(entry.element);
  }
  for (const DirectValue& value : buffer.direct) map.remove_str(value.value, value.id);
  map.registered.fetch_sub(buffer.staged_values);
}

void BulkWriter::keep_flushed() {
  if (flushed_) clear_flushed();
}

void BulkWriter::discard() {
  // A flush the caller did not keep goes too: its objects never joined the index.
  for (MapBuffer* buffer : dirty_) {
    remove_staged(*buffer);
    clear(*buffer);
  }
  dirty_.clear();
  flushed_ = false;
  // A map this batch placed and that holds nothing now goes again, as after the last removal of a value.
  std::vector<std::shared_ptr<QueryMap>> dropped;
  {
    std::unique_lock maps_lock(index_.query_maps->mutex);
    QueryMaps& maps = index_.query_maps->value;
    for (size_t attribute = 0; attribute < by_attribute_.size(); ++attribute) {
      if (!by_attribute_[attribute]) continue;
      const std::shared_ptr<QueryMap>& map = by_attribute_[attribute]->map;
      if (map->registered.load() != 0) continue;
      if (std::shared_ptr<QueryMap> taken = maps.take_if(static_cast<uint32_t>(attribute), map.get())) {
        dropped.push_back(std::move(taken));
      }
    }
  }
  by_attribute_.clear();
}

}  // namespace vostrel
