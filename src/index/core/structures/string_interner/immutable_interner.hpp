// ImmutableInterner: a frozen, lock-free readable snapshot of the attribute-name interner, and the parts it shares
// with the mutable side (InternedStr, NameTable).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vostrel {

// One interned name: its UTF-8 bytes in an immutable buffer shared by the mutable side and every snapshot.
class InternedStr {
 public:
  // Copies `name` into a new shared buffer.
  explicit InternedStr(std::string_view name) : bytes_(std::make_shared<const std::string>(name)) {}
  // The name's bytes; valid while any InternedStr sharing the buffer lives.
  std::string_view view() const { return *bytes_; }
  // Byte length of the name.
  size_t size() const { return bytes_->size(); }
  // True when both share one buffer (copies do; a name is allocated once).
  bool same_buffer(const InternedStr& other) const { return bytes_ == other.bytes_; }

 private:
  std::shared_ptr<const std::string> bytes_;
};

// Lookup table from (name hash, byte length) to the ids of all names with that key, in order of interning.
// Open addressing over a flat slot array: a slot keeps the key and the key's first id (its one inline entry);
// further ids with the same key, which only a true 64-bit hash collision produces, are chained through a per-id
// link array. Copying the table is two flat array copies, which keeps freezing a snapshot cheap.
class NameTable {
 public:
  static constexpr uint32_t NO_ID = UINT32_MAX;

  // An empty table with room for `room_for_names` keys before it grows.
  explicit NameTable(size_t room_for_names = 0);

  // The first id with key (hash, length) for which `matches(id)` is true, in order of interning.
  template <class Matches>
  std::optional<uint32_t> find(uint64_t hash, uint32_t length, Matches&& matches) const {
    if (keys_ == 0) return std::nullopt;
    const Slot* slot = find_slot(hash, length);
    if (slot == nullptr) return std::nullopt;
    for (uint32_t id = slot->first_id; id != NO_ID; id = next_same_key_[id]) {
      if (matches(id)) return id;
    }
    return std::nullopt;
  }

  // Records `id` under (hash, length). Ids must be added densely: `id` equals the number of ids added so far.
  void add(uint64_t hash, uint32_t length, uint32_t id);

  // Number of ids recorded.
  size_t id_count() const { return next_same_key_.size(); }
  // Number of distinct (hash, length) keys.
  size_t key_count() const { return keys_; }
  // Number of slots (a power of two, or 0 before the first key).
  size_t slot_count() const { return slots_.size(); }

 private:
  struct Slot {
    uint64_t hash;
    uint32_t length;
    uint32_t first_id;  // NO_ID: the slot is empty
  };

  static size_t bucket_of(uint64_t hash, uint32_t length);
  const Slot* find_slot(uint64_t hash, uint32_t length) const;
  void grow_to(size_t slot_count);

  std::vector<Slot> slots_;
  std::vector<uint32_t> next_same_key_;  // id -> next id with the same key, or NO_ID
  size_t keys_ = 0;
};

// The names up to some id with their table, shared by every snapshot frozen since; never changes.
struct InternerBase {
  std::vector<InternedStr> names;
  NameTable table;
};

// A complete, never-changing view of the interner. Readers use it without any lock.
//
// A new snapshot is published for every new name, so copying every name into each would make interning n names cost
// n^2: a program meeting a hundred thousand names would take about a minute. A snapshot is a shared base instead,
// plus the few names interned since it was made, with a small table of their own (see MutableInterner::freeze).
class ImmutableInterner {
 public:
  // The empty snapshot.
  ImmutableInterner() : base_(std::make_shared<const InternerBase>()) {}
  // `base`, then `recent` (ids from base->names.size() on) looked up through `recent_table` by position in `recent`.
  ImmutableInterner(std::shared_ptr<const InternerBase> base, std::vector<InternedStr> recent, NameTable recent_table)
      : base_(std::move(base)), recent_(std::move(recent)), recent_table_(std::move(recent_table)) {}

  // The id of `name`, if this snapshot holds it.
  std::optional<uint32_t> get(std::string_view name) const { return get_hashed(name, hash_str(name)); }
  // As get, with `hash` = hash_str(name) already computed by the caller.
  std::optional<uint32_t> get_hashed(std::string_view name, uint64_t hash) const;
  // The name hash: rotl(byte_hash(name) * FX_K, 26).
  static uint64_t hash_str(std::string_view name);
  // The name of `id`; requires id < size().
  std::string_view name(uint32_t id) const { return interned(id).view(); }
  // The interned name record of `id` (shares its buffer); requires id < size().
  const InternedStr& interned(uint32_t id) const {
    const size_t in_base = base_->names.size();
    return id < in_base ? base_->names[id] : recent_[id - in_base];
  }
  // Number of names; ids 0 .. size() - 1 are present.
  size_t size() const { return base_->names.size() + recent_.size(); }

 private:
  std::shared_ptr<const InternerBase> base_;
  std::vector<InternedStr> recent_;
  NameTable recent_table_;
};

}  // namespace vostrel
