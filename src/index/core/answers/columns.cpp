// Columns (see columns.hpp).
#include "index/core/answers/columns.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "index/core/answers/exact_sum.hpp"
#include "index/core/query/query.hpp"
#include "index/object_record.hpp"
#include "index/core/stored_item.hpp"

namespace vostrel {

ChosenObjects chosen_objects(const AnswerScope& scope, const RowChoice& choice) {
  std::vector<uint32_t> ids;
  if (choice.order_by) {
    ids = ordered_ids(scope, choice.order_by->view(), choice.order);
  } else {
    const Bitmap& all = scope.ids();
    const uint64_t total = all.cardinality();
    const uint64_t first = std::min(choice.order.offset, total);
    const uint64_t count = std::min(choice.order.limit.value_or(total), total - first);
    ids.resize(count);
    if (count > 0) {
      if (first == 0 && count == total) {
        all.toUint32Array(ids.data());
      } else {
        all.rangeUint32Array(ids.data(), first, count);
      }
    }
  }
  ChosenObjects chosen;
  chosen.handles.reserve(ids.size());
  chosen.cores.reserve(ids.size());
  for (size_t at = 0; at < ids.size(); at += STORED_BATCH) {
    const auto count = static_cast<uint32_t>(std::min<size_t>(STORED_BATCH, ids.size() - at));
    visit_stored_ahead(scope.store(), ids.data() + at, count, [&](const StoredItem* item) {
      if (item == nullptr) return;
      chosen.handles.push_back(*item);
      chosen.cores.push_back(&item->core());
    });
  }
  return chosen;
}

void release_handles(ChosenObjects& objects) {
  constexpr size_t AHEAD = 16;
  std::vector<StoredIndexable>& handles = objects.handles;
  for (size_t at = 0; at < handles.size(); ++at) {
    if (at + AHEAD < handles.size()) handles[at + AHEAD].python_handle.prefetch();
    handles[at].python_handle = SharedPyRef();
  }
  handles.clear();
  objects.cores.clear();
}

ColumnBuilder::ColumnBuilder(uint32_t name_id, size_t rows, bool text_as_bytes)
    : name_id_(name_id), text_as_bytes_(text_as_bytes), held_(rows, MISSING), slots_(rows, 0) {}

void ColumnBuilder::add(size_t row, const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
      held_[row] = INT;
      slots_[row] = static_cast<uint64_t>(value.as_int());
      return;
    case ValueKind::Float:
      held_[row] = FLOAT;
      slots_[row] = std::bit_cast<uint64_t>(value.as_float());
      return;
    case ValueKind::Bool:
      held_[row] = BOOL;
      slots_[row] = value.as_bool() ? 1 : 0;
      return;
    case ValueKind::Str:
      held_[row] = TEXT;
      if (text_as_bytes_) {
        text_.append(value.as_str());
        slots_[row] = text_.size();
      } else {
        kept_.emplace_back(row, value);
      }
      return;
    case ValueKind::Ind:
      held_[row] = NESTED;
      kept_.emplace_back(row, value);
      return;
    default:
      held_[row] = OTHER;
      kept_.emplace_back(row, value);
      return;
  }
}

ColumnKind ColumnBuilder::kind(uint64_t& missing) const {
  std::array<uint64_t, 7> counts{};
  for (uint8_t held : held_) ++counts[held];
  missing = counts[MISSING];
  const uint64_t present = held_.size() - missing;
  if (present == 0) return ColumnKind::Missing;
  if (counts[INT] == present) return ColumnKind::Int;
  if (counts[INT] + counts[FLOAT] == present) return ColumnKind::Float;
  if (counts[BOOL] == present) return ColumnKind::Bool;
  if (counts[TEXT] == present) return ColumnKind::Text;
  if (counts[NESTED] == present) return ColumnKind::Nested;
  return ColumnKind::Other;
}

std::vector<ColumnBuilder> read_columns(const ChosenObjects& objects, const std::vector<uint32_t>& name_ids,
                                        bool every_name, bool text_as_bytes) {
  const size_t rows = objects.cores.size();
  std::vector<ColumnBuilder> columns;
  std::unordered_map<uint32_t, size_t> column_of;  // every_name: name id -> column
  if (!every_name) {
    columns.reserve(name_ids.size());
    for (uint32_t id : name_ids) columns.emplace_back(id, rows, text_as_bytes);
  }
  // Objects lie scattered over the heap: each record, then its map's block, is fetched some rows ahead.
  constexpr size_t CORE_AHEAD = 24;
  constexpr size_t MAP_AHEAD = 12;
  for (size_t row = 0; row < rows; ++row) {
    if (row + CORE_AHEAD < rows) {
      // The record may straddle two cache lines (the object is 80 bytes): its map and mutex are at its end.
      const auto* core = reinterpret_cast<const char*>(objects.cores[row + CORE_AHEAD]);
      __builtin_prefetch(core, 1);
      __builtin_prefetch(core + sizeof(IndexableCore) - 1, 1);
    }
    if (row + MAP_AHEAD < rows) __builtin_prefetch(objects.cores[row + MAP_AHEAD]->attributes->map.storage());
    const IndexableCore& core = *objects.cores[row];
    // The one lock of this object for the whole row: its values are one state of it. Nothing else is held.
    std::lock_guard lock(core.attributes->mutex);
    const AttributeMap::Values& map = core.attributes->map;
    if (every_name) {
      map.for_each([&](const uint32_t& name, const PyValue& value) {
        auto [found, added] = column_of.try_emplace(name, columns.size());
        if (added) columns.emplace_back(name, rows, text_as_bytes);
        columns[found->second].add(row, value);
      });
      continue;
    }
    for (ColumnBuilder& column : columns) {
      if (const AttributeMap::Values::Ref value = map.get(column.name_id())) column.add(row, *value);
    }
  }
  return columns;
}

namespace {

void set_bit(std::string& bits, size_t at) { bits[at >> 3] = static_cast<char>(bits[at >> 3] | (1 << (at & 7))); }

template <class T>
void put(std::string& buffer, size_t at, T value) {
  std::memcpy(buffer.data() + at * sizeof(T), &value, sizeof(T));
}

}  // namespace

namespace {

constexpr uint16_t NON_NEGATIVE = 0x800;  // E of zero: positives above, negatives below (ordered_key.cpp)
constexpr int32_t INT_TOP_EXPONENT = 1086;  // the biased exponent of 2^63 (OrderedKey::from_int)

// A key's sign, and its magnitude's mantissa word and 11-bit biased exponent.
struct KeyParts {
  bool negative;
  uint64_t m;
  uint16_t exponent;
  explicit KeyParts(OrderedKey key) : negative(key.e < NON_NEGATIVE) {
    m = negative ? ~key.m : key.m;
    exponent = static_cast<uint16_t>((negative ? ~key.e : key.e) & 0x7FF);
  }
};

// The key's number when it is a whole number within int64.
bool key_to_int(OrderedKey key, int64_t& out) {
  if (key.e == NON_NEGATIVE && key.m == 0) {
    out = 0;
    return true;
  }
  const KeyParts parts(key);
  if (parts.exponent < 1023 || parts.exponent > INT_TOP_EXPONENT) return false;
  const unsigned shift = static_cast<unsigned>(INT_TOP_EXPONENT - parts.exponent);
  if (shift > 0 && (parts.m & ((uint64_t{1} << shift) - 1)) != 0) return false;
  const uint64_t magnitude = parts.m >> shift;
  constexpr uint64_t LOWEST = uint64_t{1} << 63;  // the magnitude of INT64_MIN
  if (magnitude > (parts.negative ? LOWEST : LOWEST - 1)) return false;
  out = static_cast<int64_t>(parts.negative ? 0 - magnitude : magnitude);
  return true;
}

// The key's number as a double: the bits of the double it came from when it is one exactly (every double's key),
// else rounded once.
double key_to_double(OrderedKey key) {
  if (key.e == NON_NEGATIVE && key.m == 0) return 0.0;
  const KeyParts parts(key);
  if ((parts.m & 0x7FF) == 0 && parts.exponent != 0x7FF) {
    const uint64_t sign = parts.negative ? uint64_t{1} << 63 : 0;
    const uint64_t fraction = (parts.m >> 11) & ((uint64_t{1} << 52) - 1);
    return std::bit_cast<double>(sign | (uint64_t{parts.exponent} << 52) | fraction);
  }
  return DecodedNumber::of(key).to_double();
}

}  // namespace

std::optional<TypedColumn> numbers_from_map(const AnswerScope& scope, std::string_view attribute) {
  const QueryMap* map = scope.map(attribute);
  if (map == nullptr || attribute.find('.') != std::string_view::npos) return std::nullopt;
  const MapReader reader(*map, MapReader::NUMBERS | MapReader::MEMBERS);
  // List members hold numbers under ids of their own, which a view's id may have become since.
  if (reader.has_members()) return std::nullopt;
  const QueryMap::NumberIds* numbers = map->number_ids.get();
  if (numbers == nullptr) return std::nullopt;
  const std::shared_ptr<const NumberColumn> column = map->number_column.for_map(*numbers);
  const Bitmap& scope_ids = scope.ids();
  if (!scope_ids.isSubset(column->held())) return std::nullopt;
  const bool floats_held = map->floats_held.load(std::memory_order_relaxed);
  if (floats_held && map->negative_zero_held.load(std::memory_order_relaxed)) return std::nullopt;
  std::vector<uint32_t> ids(scope_ids.cardinality());
  scope_ids.toUint32Array(ids.data());
  const size_t rows = ids.size();
  TypedColumn typed;
  typed.values.resize(rows * sizeof(int64_t));  // int64 and double alike
  auto* ints = reinterpret_cast<int64_t*>(typed.values.data());
  auto* doubles = reinterpret_cast<double*>(typed.values.data());
  // Whole numbers within int64 while no float was ever held: ints, until a key says otherwise.
  constexpr size_t AHEAD = 32;
  const auto fetch_ahead = [&](size_t row) {
    if (row + AHEAD < rows) column->prefetch(ids[row + AHEAD]);
  };
  size_t row = 0;
  for (; row < std::min(rows, AHEAD); ++row) column->prefetch(ids[row]);
  row = 0;
  if (!floats_held) {
    for (; row < rows; ++row) {
      fetch_ahead(row);
      if (!key_to_int(column->key(ids[row]), ints[row])) break;
    }
    if (row == rows) {
      typed.kind = ColumnKind::Int;
      return typed;
    }
    for (size_t earlier = 0; earlier < row; ++earlier) doubles[earlier] = static_cast<double>(ints[earlier]);
  }
  bool whole = true;
  for (; row < rows; ++row) {
    fetch_ahead(row);
    const OrderedKey key = column->key(ids[row]);
    doubles[row] = key_to_double(key);
    if (whole) {
      int64_t ignored = 0;
      whole = key_to_int(key, ignored);
    }
  }
  // Whole numbers under a map that held floats may be floats written as 2.0: only the objects tell.
  if (floats_held && whole) return std::nullopt;
  typed.kind = ColumnKind::Float;
  return typed;
}

TypedColumn ColumnBuilder::typed(ColumnKind kind, uint64_t missing, bool bits) {
  const size_t rows = held_.size();
  TypedColumn column;
  column.kind = kind;
  column.missing = missing;
  if (missing > 0) {
    column.valid.assign(bits ? (rows + 7) / 8 : rows, '\0');
    for (size_t row = 0; row < rows; ++row) {
      if (held_[row] == MISSING) continue;
      if (bits) {
        set_bit(column.valid, row);
      } else {
        column.valid[row] = 1;
      }
    }
  }
  switch (kind) {
    case ColumnKind::Int:
      column.values.resize(rows * sizeof(int64_t));
      std::memcpy(column.values.data(), slots_.data(), rows * sizeof(int64_t));
      break;
    case ColumnKind::Float: {
      column.values.resize(rows * sizeof(double));
      for (size_t row = 0; row < rows; ++row) {
        double number = std::numeric_limits<double>::quiet_NaN();
        if (held_[row] == FLOAT) number = std::bit_cast<double>(slots_[row]);
        if (held_[row] == INT) number = static_cast<double>(static_cast<int64_t>(slots_[row]));
        put<double>(column.values, row, number);
      }
      break;
    }
    case ColumnKind::Bool: {
      column.values.assign(bits ? (rows + 7) / 8 : rows, '\0');
      for (size_t row = 0; row < rows; ++row) {
        if (slots_[row] == 0 || held_[row] != BOOL) continue;
        if (bits) {
          set_bit(column.values, row);
        } else {
          column.values[row] = 1;
        }
      }
      break;
    }
    case ColumnKind::Text: {
      column.large = text_.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max());
      const size_t width = column.large ? sizeof(int64_t) : sizeof(int32_t);
      column.offsets.assign((rows + 1) * width, '\0');
      uint64_t end = 0;
      for (size_t row = 0; row < rows; ++row) {
        if (held_[row] == TEXT) end = slots_[row];
        if (column.large) {
          put<int64_t>(column.offsets, row + 1, static_cast<int64_t>(end));
        } else {
          put<int32_t>(column.offsets, row + 1, static_cast<int32_t>(end));
        }
      }
      column.data = std::move(text_);
      text_.clear();
      break;
    }
    default: break;
  }
  return column;
}

}  // namespace vostrel
