// NumberColumn (see number_column.hpp).
#include "index/core/structures/value_ids/number_column.hpp"

namespace vostrel {

std::shared_ptr<const NumberColumn> NumberColumn::build(const OrderedIdMap<OrderedKey>& numbers) {
  auto column = std::make_shared<NumberColumn>();
  column->stamp_ = numbers.stamp();
  std::vector<uint32_t> ids;
  ids.reserve(numbers.id_count());
  numbers.for_each([&](const OrderedKey&, uint32_t id) { ids.push_back(id); });
  if (ids.empty()) return column;
  uint32_t first = ids[0];
  uint32_t last = ids[0];
  for (uint32_t id : ids) {
    first = std::min(first, id);
    last = std::max(last, id);
  }
  column->first_ = first;
  column->keys_.resize(size_t{last} - first + 1);
  numbers.for_each([&](const OrderedKey& key, uint32_t id) { column->keys_[id - first] = key; });
  std::sort(ids.begin(), ids.end());
  column->held_.addMany(ids.size(), ids.data());
  column->held_.runOptimize();
  return column;
}

std::shared_ptr<const NumberColumn> NumberColumnSlot::for_map(const OrderedIdMap<OrderedKey>& numbers) const {
  {
    std::lock_guard lock(mutex_);
    if (kept_ && kept_->stamp() == numbers.stamp()) return kept_;
  }
  // Built outside the slot's lock: other readers keep using (or building) theirs meanwhile.
  std::shared_ptr<const NumberColumn> built = NumberColumn::build(numbers);
  std::shared_ptr<const NumberColumn> replaced;
  std::lock_guard lock(mutex_);
  replaced = std::exchange(kept_, built);
  return built;
}

bool NumberColumnSlot::valid_for(const OrderedIdMap<OrderedKey>& numbers) const {
  std::lock_guard lock(mutex_);
  return kept_ && kept_->stamp() == numbers.stamp();
}

}  // namespace vostrel
