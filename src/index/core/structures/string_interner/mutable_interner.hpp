// MutableInterner: the growing side of the attribute-name interner, changed only under the interner's mutex.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/structures/string_interner/immutable_interner.hpp"

namespace vostrel {

// Names in first-intern order (position = id) plus the (hash, length) lookup table. Not thread-safe by itself.
class MutableInterner {
 public:
  // Empty, with room for `room_for_names` names in the name list and the table.
  explicit MutableInterner(size_t room_for_names = 0);

  // The id of `name`, adding it (as the next id) if it is new.
  uint32_t intern(std::string_view name) { return intern_hashed(name, ImmutableInterner::hash_str(name)); }
  // As intern, with `hash` = ImmutableInterner::hash_str(name) already computed by the caller.
  uint32_t intern_hashed(std::string_view name, uint64_t hash);
  // The id of `name` if present.
  std::optional<uint32_t> get_hashed(std::string_view name, uint64_t hash) const;
  // A snapshot of exactly the current names (sharing their buffers): the shared base, remade from every name once
  // the names since it outnumber about twice the square root of all (or 64), and a table over the names since. So
  // each snapshot copies O(sqrt(n)) names and slots, and remaking the base costs as much spread over as many new
  // names.
  ImmutableInterner freeze();
  // Number of names.
  size_t size() const { return names_.size(); }

 private:
  std::vector<InternedStr> names_;
  std::vector<uint64_t> hashes_;  // hash_str of each name, to build the table of the names since the base
  NameTable table_;
  std::shared_ptr<const InternerBase> base_ = std::make_shared<const InternerBase>();
};

}  // namespace vostrel
