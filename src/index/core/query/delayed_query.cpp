// BulkWriter: staging, flushing and taking back the values of a batch of new objects.
#include "index/core/query/delayed_query.hpp"

#include <mutex>
#include <shared_mutex>
#include <utility>

#include "index/core/query/query.hpp"

namespace vostrel {
namespace {

// Strings up to this length are buffered per (position, key); longer ones are rare and would widen the flush's
// counting table for nothing, so they take the ordinary insert (which only locks the positional structure itself).
constexpr size_t MAX_BUFFERED_TEXT = 4096;
// Text entries pack (position relative to the row's centre + bias) << 41 | key << 32 | id.
constexpr int64_t POSITION_BIAS = int64_t{1} << 22;
constexpr unsigned KEY_SHIFT = 32;
constexpr unsigned POSITION_SHIFT = 41;
constexpr unsigned KEY_COUNT = CharacterMap::BOUNDARY + 1;

uint64_t pack_text(int64_t relative_position, unsigned key, uint32_t id) {
  return (static_cast<uint64_t>(relative_position + POSITION_BIAS) << POSITION_SHIFT) |
         (static_cast<uint64_t>(key) << KEY_SHIFT) | id;
}
int64_t relative_position_of(uint64_t entry) {
  return static_cast<int64_t>(entry >> POSITION_SHIFT) - POSITION_BIAS;
}
unsigned key_of_entry(uint64_t entry) { return static_cast<unsigned>((entry >> KEY_SHIFT) & 0x1ffu); }

}  // namespace

// The value -> id-set entries of the buffered strings (`text`) or numbers, under that structure's write lock.
void BulkWriter::set_value_ids(QueryMap& map, const MapBuffer& buffer, bool text) {
  if (text) {
    for (const DirectValue& value : buffer.text_values) map.add_text_id(value.value, value.id);
  } else {
    for (const NumberEntry& entry : buffer.numbers) map.add_number_id(entry.key, entry.id);
  }
}

void BulkWriter::unset_value_ids(QueryMap& map, const MapBuffer& buffer, bool text) {
  if (text) {
    for (const DirectValue& value : buffer.text_values) map.remove_text_id(value.value, value.id);
  } else {
    for (const NumberEntry& entry : buffer.numbers) map.remove_number_id(entry.key, entry.id);
  }
}

BulkWriter::BulkWriter(IndexAPI& index) : index_(index) {}

BulkWriter::~BulkWriter() = default;

BulkWriter::MapBuffer& BulkWriter::buffer_for(uint32_t attribute) {
  if (attribute < by_attribute_.size() && by_attribute_[attribute]) return *by_attribute_[attribute];
  std::shared_ptr<QueryMap> map = index_.map_for(attribute);
  if (by_attribute_.size() <= attribute) by_attribute_.resize(static_cast<size_t>(attribute) + 1);
  auto buffer = std::make_unique<MapBuffer>();
  buffer->map = std::move(map);
  by_attribute_[attribute] = std::move(buffer);
  return *by_attribute_[attribute];
}

void BulkWriter::stage(uint32_t id, const AttributeMap& attributes, NestedWork& work) {
  attributes.map.for_each([&](const uint32_t& attribute, const PyValue& value) {
    MapBuffer& buffer = buffer_for(attribute);
    if (!buffer.dirty) {
      dirty_.push_back(&buffer);
      buffer.dirty = true;
    }
    stage_value(buffer, id, value, work);
  });
}

void BulkWriter::stage_value(MapBuffer& buffer, uint32_t id, const PyValue& value, NestedWork& work) {
  // Each branch records the value where discard() finds it before counting it.
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      buffer.numbers.push_back(NumberEntry{QueryMap::key_of(value), id});
      break;
    case ValueKind::Bool:
      (value.as_bool() ? buffer.trues : buffer.falses).push_back(id);
      break;
    case ValueKind::Str:
      if (value.as_str().size() <= MAX_BUFFERED_TEXT) {
        stage_text(buffer, value.as_str(), id);
        buffer.text_values.push_back(DirectValue{id, value});
        break;
      }
      [[fallthrough]];
    default:
      // Iterables (their members get element ids of their own), nested objects and unknown kinds go the ordinary
      // way at once. That path takes only the map's own structure locks, one at a time, and this writer holds none
      // of them while staging, so it cannot deadlock against itself; the ids it writes stay invisible until the
      // owner's id is published.
      buffer.direct.push_back(DirectValue{id, value});
      ++buffer.staged_values;
      buffer.map->registered.fetch_add(1);
      buffer.map->insert_value(id, value, work);
      return;
  }
  ++buffer.staged_values;
  buffer.map->registered.fetch_add(1);
}

void BulkWriter::stage_text(MapBuffer& buffer, std::string_view text, uint32_t id) {
  if (text.empty()) {
    buffer.empty_texts.push_back(id);
    return;
  }
  // The placement start(N, L) = N/2 - L/2 - 1 is a fixed offset from the row's centre, whatever N is when the
  // buffer is flushed; growing the row moves the centre and every stored string together.
  const int64_t length = static_cast<int64_t>(text.size());
  const int64_t first = -(length / 2) - 1;
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  for (int64_t j = 0; j < length; ++j) buffer.text.push_back(pack_text(first + j, bytes[j], id));
  buffer.text.push_back(pack_text(first, CharacterMap::BOUNDARY, id));
  if (length > 1) buffer.text.push_back(pack_text(first + length - 1, CharacterMap::BOUNDARY, id));
  if (text.size() > buffer.longest_text) buffer.longest_text = text.size();
}

void BulkWriter::flush() {
  for (MapBuffer* buffer : dirty_) flush_map(*buffer);
  for (MapBuffer* buffer : dirty_) clear(*buffer);
  dirty_.clear();
}

void BulkWriter::flush_map(MapBuffer& buffer) {
  QueryMap& map = *buffer.map;
  if (!buffer.text.empty() || !buffer.empty_texts.empty()) {
    // Group the entries by (position, key) with two stable counting passes (key, then position), so each bitmap
    // gets its ids in one add_many, in staging order (ascending for ids handed out in order).
    std::vector<uint64_t>& entries = buffer.text;
    const int64_t lowest = -static_cast<int64_t>(buffer.longest_text / 2) - 1;
    const size_t span = buffer.longest_text + 1;
    std::vector<uint64_t> sorted(entries.size());
    std::vector<size_t> counts(KEY_COUNT + 1, 0);
    for (uint64_t entry : entries) ++counts[key_of_entry(entry) + 1];
    for (size_t k = 1; k <= KEY_COUNT; ++k) counts[k] += counts[k - 1];
    for (uint64_t entry : entries) sorted[counts[key_of_entry(entry)]++] = entry;
    counts.assign(span + 1, 0);
    for (uint64_t entry : sorted) ++counts[static_cast<size_t>(relative_position_of(entry) - lowest) + 1];
    for (size_t p = 1; p <= span; ++p) counts[p] += counts[p - 1];
    for (uint64_t entry : sorted) entries[counts[static_cast<size_t>(relative_position_of(entry) - lowest)]++] = entry;
    sorted = std::vector<uint64_t>();

    std::vector<uint32_t> ids;
    std::unique_lock lock(map.positional_mutex);
    if (buffer.longest_text > 0) map.positional.expand_map(buffer.longest_text);
    const int64_t centre = static_cast<int64_t>(map.positional.positions() / 2);
    for (size_t begin = 0; begin < entries.size();) {
      const uint64_t group = entries[begin] >> KEY_SHIFT;
      size_t end = begin;
      ids.clear();
      while (end < entries.size() && (entries[end] >> KEY_SHIFT) == group) {
        ids.push_back(static_cast<uint32_t>(entries[end]));
        ++end;
      }
      map.positional.add_many(static_cast<size_t>(centre + relative_position_of(entries[begin])),
                              key_of_entry(entries[begin]), ids.data(), ids.size());
      begin = end;
    }
    if (!buffer.empty_texts.empty()) {
      map.positional.add_many_empty(buffer.empty_texts.data(), buffer.empty_texts.size());
    }
    set_value_ids(map, buffer, true);
  }
  if (!buffer.numbers.empty()) {
    // One pass per key bit splits the ids between the slice's two bitmaps.
    std::vector<uint32_t> zeros;
    std::vector<uint32_t> ones;
    zeros.reserve(buffer.numbers.size());
    ones.reserve(buffer.numbers.size());
    std::unique_lock lock(map.numeric_mutex);
    NumericalBitmap& numbers = map.numeric.ensure();
    for (unsigned bit = 0; bit < NumericalBitmap::KEY_BITS; ++bit) {
      zeros.clear();
      ones.clear();
      for (const NumberEntry& entry : buffer.numbers) (entry.key.bit(bit) ? ones : zeros).push_back(entry.id);
      if (!zeros.empty()) numbers.add_many(bit, false, zeros.data(), zeros.size());
      if (!ones.empty()) numbers.add_many(bit, true, ones.data(), ones.size());
    }
    set_value_ids(map, buffer, false);
  }
  if (!buffer.trues.empty() || !buffer.falses.empty()) {
    std::unique_lock lock(map.bool_mutex);
    map.trues.addMany(buffer.trues.size(), buffer.trues.data());
    map.falses.addMany(buffer.falses.size(), buffer.falses.data());
  }
}

void BulkWriter::clear(MapBuffer& buffer) {
  // Capacity is kept: the next chunk stages about as much.
  buffer.numbers.clear();
  buffer.text.clear();
  buffer.longest_text = 0;
  buffer.empty_texts.clear();
  buffer.text_values.clear();
  buffer.trues.clear();
  buffer.falses.clear();
  buffer.direct.clear();
  buffer.staged_values = 0;
  buffer.dirty = false;
}

void BulkWriter::remove_staged(MapBuffer& buffer) {
  QueryMap& map = *buffer.map;
  // The staged ids are new to this index, so removing one a partial flush never wrote touches nothing else.
  if (!buffer.text.empty() || !buffer.empty_texts.empty()) {
    std::unique_lock lock(map.positional_mutex);
    const int64_t centre = static_cast<int64_t>(map.positional.positions() / 2);
    for (uint64_t entry : buffer.text) {
      const int64_t position = centre + relative_position_of(entry);
      if (position < 0 || static_cast<size_t>(position) >= map.positional.positions()) continue;
      map.positional.maps[static_cast<size_t>(position)].remove(key_of_entry(entry), static_cast<uint32_t>(entry));
    }
    for (uint32_t id : buffer.empty_texts) map.positional.empty_strings.remove(id);
    unset_value_ids(map, buffer, true);
  }
  if (!buffer.numbers.empty()) {
    std::unique_lock lock(map.numeric_mutex);
    if (NumericalBitmap* numbers = map.numeric.get()) {
      for (const NumberEntry& entry : buffer.numbers) numbers->remove(entry.key, entry.id);
    }
    unset_value_ids(map, buffer, false);
  }
  if (!buffer.trues.empty() || !buffer.falses.empty()) {
    std::unique_lock lock(map.bool_mutex);
    for (uint32_t id : buffer.trues) map.trues.remove(id);
    for (uint32_t id : buffer.falses) map.falses.remove(id);
  }
  NestedWork discarded;
  for (const DirectValue& value : buffer.direct) map.remove_value(value.id, value.value, discarded);
  map.registered.fetch_sub(buffer.staged_values);
}

void BulkWriter::discard() {
  for (MapBuffer* buffer : dirty_) {
    remove_staged(*buffer);
    clear(*buffer);
  }
  dirty_.clear();
  // A map this batch placed and that holds nothing now goes again, as after the last removal of a value.
  std::vector<std::shared_ptr<QueryMap>> dropped;
  {
    std::unique_lock maps_lock(index_.query_maps->mutex);
    auto& maps = index_.query_maps->value;
    for (size_t attribute = 0; attribute < by_attribute_.size(); ++attribute) {
      if (!by_attribute_[attribute]) continue;
      const std::shared_ptr<QueryMap>& map = by_attribute_[attribute]->map;
      if (map->registered.load() == 0 && attribute < maps.size() && maps[attribute] == map) {
        dropped.push_back(std::move(maps[attribute]));
      }
    }
  }
  by_attribute_.clear();
}

}  // namespace vostrel
