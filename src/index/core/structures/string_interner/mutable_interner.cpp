// MutableInterner: the growing side of the attribute-name interner, changed only under the interner's mutex.
#include "index/core/structures/string_interner/mutable_interner.hpp"

#include "index/internal_error.hpp"

namespace vostrel {

MutableInterner::MutableInterner(size_t room_for_names) : table_(room_for_names) { names_.reserve(room_for_names); }

std::optional<uint32_t> MutableInterner::get_hashed(std::string_view name, uint64_t hash) const {
  return table_.find(hash, static_cast<uint32_t>(name.size()),
                     [&](uint32_t id) { return names_[id].view() == name; });
}

uint32_t MutableInterner::intern_hashed(std::string_view name, uint64_t hash) {
  if (std::optional<uint32_t> known = get_hashed(name, hash)) return *known;
  if (names_.size() >= NameTable::NO_ID) throw InternalError("attribute name space exhausted");
  const auto id = static_cast<uint32_t>(names_.size());
  names_.emplace_back(name);
  try {
    table_.add(hash, static_cast<uint32_t>(name.size()), id);
  } catch (...) {
    names_.pop_back();  // keep names and table in step
    throw;
  }
  return id;
}

ImmutableInterner MutableInterner::freeze() const { return ImmutableInterner(names_, table_); }

}  // namespace vostrel
