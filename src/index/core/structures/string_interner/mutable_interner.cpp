// MutableInterner: the growing side of the attribute-name interner, changed only under the interner's mutex.
#include "index/core/structures/string_interner/mutable_interner.hpp"

#include <algorithm>
#include <cmath>
#include <memory>
#include <vector>

#include "index/core/structures/internal_error.hpp"

namespace vostrel {

MutableInterner::MutableInterner(size_t room_for_names) : table_(room_for_names) {
  names_.reserve(room_for_names);
  hashes_.reserve(room_for_names);
}

std::optional<uint32_t> MutableInterner::get_hashed(std::string_view name, uint64_t hash) const {
  return table_.find(hash, static_cast<uint32_t>(name.size()),
                     [&](uint32_t id) { return names_[id].view() == name; });
}

uint32_t MutableInterner::intern_hashed(std::string_view name, uint64_t hash) {
  if (std::optional<uint32_t> known = get_hashed(name, hash)) return *known;
  if (names_.size() >= NameTable::NO_ID) throw InternalError("attribute name space exhausted");
  const auto id = static_cast<uint32_t>(names_.size());
  hashes_.reserve(hashes_.size() + 1);  // so the push_back below cannot fail
  names_.emplace_back(name);
  try {
    table_.add(hash, static_cast<uint32_t>(name.size()), id);
  } catch (...) {
    names_.pop_back();  // keep names and table in step
    throw;
  }
  hashes_.push_back(hash);
  return id;
}

ImmutableInterner MutableInterner::freeze() {
  const size_t since = names_.size() - base_->names.size();
  if (since > std::max<size_t>(64, 2 * static_cast<size_t>(std::sqrt(static_cast<double>(names_.size()))))) {
    base_ = std::make_shared<const InternerBase>(InternerBase{names_, table_});
  }
  const size_t first = base_->names.size();
  std::vector<InternedStr> recent(names_.begin() + static_cast<std::ptrdiff_t>(first), names_.end());
  NameTable recent_table(recent.size());
  for (size_t pos = 0; pos < recent.size(); ++pos) {
    recent_table.add(hashes_[first + pos], static_cast<uint32_t>(recent[pos].size()), static_cast<uint32_t>(pos));
  }
  return ImmutableInterner(base_, std::move(recent), std::move(recent_table));
}

}  // namespace vostrel
