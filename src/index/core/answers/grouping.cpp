// The distinct values of one attribute over a scope (see grouping.hpp).
#include "index/core/answers/grouping.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "index/core/query/query.hpp"
#include "index/core/query/query_ops.hpp"

namespace vostrel {
namespace {

// Collects one group per value, counting (or gathering) the scope's objects among each value's ids.
class GroupBuilder {
 public:
  GroupBuilder(const MapReader& reader, const Bitmap& ids, bool with_ids, uint64_t entries)
      : reader_(reader),
        filter_(ids, entries > 64, entries > 8),
        with_ids_(with_ids),
        members_(reader.has_members()) {}

  // One value's ids (a lone id or a set): `group` is kept when any object of the scope holds the value.
  void add(ValueGroup group, uint32_t lone, const ValueIds* set) {
    if (!members_) {
      if (with_ids_) {
        if (set != nullptr && set->bitmap() != nullptr) {
          group.ids = filter_.within(*set->bitmap());  // one pass, not an add per id
        } else {
          filter_.for_each(lone, set, [&](uint32_t id) { group.ids.add(id); });
        }
        group.count = group.ids.cardinality();
      } else {
        group.count = filter_.count(lone, set);
      }
      keep(std::move(group));
      return;
    }
    Bitmap all;
    if (set == nullptr) {
      all.add(lone);
    } else {
      set->or_into(all);
    }
    add_ids(std::move(group), all);
  }
  // A value's ids as a bitmap (element ids among them when members are stored).
  void add_ids(ValueGroup group, const Bitmap& all) {
    Bitmap objects = members_ ? reader_.owners_of(all) : all;
    objects &= filter_.ids();
    group.count = objects.cardinality();
    if (with_ids_) group.ids = std::move(objects);
    keep(std::move(group));
  }

  std::vector<ValueGroup> groups;

 private:
  void keep(ValueGroup group) {
    if (group.count == 0) return;
    groups.push_back(std::move(group));
  }

  const MapReader& reader_;
  ScopeFilter filter_;
  bool with_ids_;
  bool members_;
};

bool value_before(const ValueGroup& a, const ValueGroup& b) {
  if (a.kind != b.kind) return a.kind < b.kind;
  switch (a.kind) {
    case ValueGroup::Kind::Number: return a.number < b.number;
    case ValueGroup::Kind::Text: return a.value.as_str() < b.value.as_str();
    case ValueGroup::Kind::Bool: return a.flag < b.flag;
    case ValueGroup::Kind::Other: return a.value.hash() < b.value.hash();
  }
  return false;
}

// A Python dict holds 1 and True (0 and False) as one key: such a bool joins the number's group.
void join_bools_to_numbers(std::vector<ValueGroup>& groups, bool with_ids) {
  for (auto bool_group = groups.begin(); bool_group != groups.end();) {
    if (bool_group->kind != ValueGroup::Kind::Bool) {
      ++bool_group;
      continue;
    }
    const OrderedKey same = OrderedKey::from_int(bool_group->flag ? 1 : 0);
    const auto number = std::find_if(groups.begin(), groups.end(), [&](const ValueGroup& group) {
      return group.kind == ValueGroup::Kind::Number && group.number == same;
    });
    if (number == groups.end()) {
      ++bool_group;
      continue;
    }
    if (with_ids) {
      number->ids |= bool_group->ids;
      number->count = number->ids.cardinality();
    } else {
      number->count += bool_group->count;
    }
    bool_group = groups.erase(bool_group);
  }
}

void sort_groups(std::vector<ValueGroup>& groups) {
  std::stable_sort(groups.begin(), groups.end(), [](const ValueGroup& a, const ValueGroup& b) {
    if (a.count != b.count) return a.count > b.count;
    return value_before(a, b);
  });
}

// A dotted path: the groups of the rest of the path over the nested index of the first step (objects reached
// there), each turned into the scope's objects holding them. The nested index's locks are taken after this level's
// (its ranks are all above) and given back before this map's member translation is read.
ValueGroups nested_groups(const AnswerScope& scope, std::string_view first, std::string_view rest, bool with_ids) {
  ValueGroups answer;
  const QueryMap* map = scope.map(first);
  const IndexAPI* nested = map == nullptr ? nullptr : nested_index_of(*map);
  if (nested == nullptr) return answer;
  {
    const AnswerScope inner(*nested);
    answer = value_groups(inner, rest, true);
  }
  for (ValueGroup& group : answer.groups) group.ids = nested->get_parent_from_ids(group.ids);
  const MapReader reader(*map, MapReader::MEMBERS);
  std::vector<ValueGroup> kept;
  for (ValueGroup& group : answer.groups) {
    Bitmap holders = reader.has_members() ? reader.owners_of(group.ids) : std::move(group.ids);
    holders &= scope.ids();
    group.count = holders.cardinality();
    if (group.count == 0) continue;
    group.ids = with_ids ? std::move(holders) : Bitmap();
    kept.push_back(std::move(group));
  }
  answer.groups = std::move(kept);
  sort_groups(answer.groups);
  return answer;
}

}  // namespace

ValueGroups value_groups(const AnswerScope& scope, std::string_view attribute, bool with_ids) {
  const auto [first, rest] = attr_parts(attribute);
  if (rest) return nested_groups(scope, first, *rest, with_ids);
  ValueGroups answer;
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr) return answer;
  const MapReader reader(*map, MapReader::ALL);
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  const QueryMap::TextIds* texts = map->text_ids.get();
  const uint64_t entries = (numbers == nullptr ? 0 : numbers->size()) + (texts == nullptr ? 0 : texts->size());
  GroupBuilder builder(reader, scope.ids(), with_ids, entries);
  if (numbers != nullptr) {
    answer.floats_held = map->floats_held.load(std::memory_order_relaxed);
    const OrderedKey lowest = OrderedKey::from_float(-HUGE_VAL);
    const OrderedKey highest = OrderedKey::from_float(HUGE_VAL);
    numbers->walk_entries(false, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
      if (key < lowest || highest < key) return true;  // NaN: no value equals it
      ValueGroup group;
      group.kind = ValueGroup::Kind::Number;
      group.number = key;
      builder.add(std::move(group), lone, set);
      return true;
    });
  }
  if (texts != nullptr) {
    texts->for_each_entry([&](const PyValue& key, uint32_t lone, const ValueIds* set) {
      ValueGroup group;
      group.kind = ValueGroup::Kind::Text;
      group.value = key;
      builder.add(std::move(group), lone, set);
    });
  }
  for (const bool flag : {false, true}) {
    ValueGroup group;
    group.kind = ValueGroup::Kind::Bool;
    group.flag = flag;
    builder.add_ids(std::move(group), flag ? map->trues : map->falses);
  }
  if (const QueryMap::ExactMap* exact = map->exact.get()) {
    for (size_t shard_at = 0; shard_at < exact->shard_count(); ++shard_at) {
      auto shard = exact->read_shard_at(shard_at);  // a leaf lock, one shard at a time
      for (const auto& [value, holders] : shard.map) {
        if (value.kind() != ValueKind::Unknown) continue;  // nested objects are not values here
        Bitmap all;
        holders.or_into(all);
        ValueGroup group;
        group.kind = ValueGroup::Kind::Other;
        group.value = value;
        builder.add_ids(std::move(group), all);
      }
    }
  }
  answer.groups = std::move(builder.groups);
  join_bools_to_numbers(answer.groups, with_ids);
  sort_groups(answer.groups);
  return answer;
}

}  // namespace vostrel
