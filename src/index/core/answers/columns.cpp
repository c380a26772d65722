// Columns (see columns.hpp).
#include "index/core/answers/columns.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <unordered_map>

#include "index/core/answers/exact_sum.hpp"
#include "index/core/query/query.hpp"
#include "index/indexable.hpp"
#include "index/interfaces/common.hpp"

namespace vostrel {

std::vector<StoredIndexable> chosen_objects(const AnswerScope& scope, const RowChoice& choice) {
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
  std::vector<StoredIndexable> objects;
  objects.reserve(ids.size());
  for (size_t at = 0; at < ids.size(); at += STORED_BATCH) {
    const auto count = static_cast<uint32_t>(std::min<size_t>(STORED_BATCH, ids.size() - at));
    visit_stored_ahead(scope.store(), ids.data() + at, count, [&](const StoredItem* item) {
      if (item != nullptr) objects.push_back(*item);
    });
  }
  return objects;
}

std::vector<ValueColumn> read_columns(const std::vector<StoredIndexable>& objects, const std::vector<uint32_t>& name_ids,
                                      bool every_name) {
  const size_t rows = objects.size();
  std::vector<ValueColumn> columns;
  std::unordered_map<uint32_t, size_t> column_of;  // every_name: name id -> column
  if (!every_name) {
    columns.resize(name_ids.size());
    for (size_t c = 0; c < name_ids.size(); ++c) {
      columns[c].name_id = name_ids[c];
      columns[c].values.resize(rows);
    }
  }
  // Objects lie scattered over the heap: the object and then its map's block are fetched some rows ahead.
  constexpr size_t OBJECT_AHEAD = 8;
  constexpr size_t MAP_AHEAD = 4;
  for (size_t row = 0; row < rows; ++row) {
    if (row + OBJECT_AHEAD < rows) __builtin_prefetch(objects[row + OBJECT_AHEAD].python_handle.get());
    if (row + MAP_AHEAD < rows) __builtin_prefetch(objects[row + MAP_AHEAD].core().attributes->map.storage());
    const IndexableCore& core = objects[row].core();
    // The one lock of this object for the whole row: its values are one state of it. Nothing else is held.
    std::lock_guard lock(core.attributes->mutex);
    const AttributeValues& map = core.attributes->map;
    if (every_name) {
      map.for_each([&](const uint32_t& name, const PyValue& value) {
        auto [found, added] = column_of.try_emplace(name, columns.size());
        if (added) {
          columns.push_back(ValueColumn{name, {}});
          columns.back().values.resize(rows);
        }
        columns[found->second].values[row] = value;
      });
      continue;
    }
    for (ValueColumn& column : columns) {
      if (const AttributeValues::Ref value = map.get(column.name_id)) column.values[row] = *value;
    }
  }
  return columns;
}

namespace {

bool is_missing(const PyValue& value) { return value.kind() == ValueKind::Unknown && value.obj() == nullptr; }

void set_bit(std::string& bits, size_t at) { bits[at >> 3] = static_cast<char>(bits[at >> 3] | (1 << (at & 7))); }

template <class T>
void put(std::string& buffer, size_t at, T value) {
  std::memcpy(buffer.data() + at * sizeof(T), &value, sizeof(T));
}

}  // namespace

ColumnKind column_kind(const std::vector<PyValue>& values, uint64_t& missing) {
  uint64_t ints = 0, floats = 0, bools = 0, texts = 0, nested = 0;
  missing = 0;
  for (const PyValue& value : values) {
    switch (value.kind()) {
      case ValueKind::Int: ++ints; break;
      case ValueKind::Float: ++floats; break;
      case ValueKind::Bool: ++bools; break;
      case ValueKind::Str: ++texts; break;
      case ValueKind::Ind: ++nested; break;
      case ValueKind::Iterable: return ColumnKind::Other;
      case ValueKind::Unknown:
        if (!is_missing(value)) return ColumnKind::Other;
        ++missing;
        break;
    }
  }
  const uint64_t present = values.size() - missing;
  if (present == 0) return ColumnKind::Missing;
  if (ints == present) return ColumnKind::Int;
  if (ints + floats == present) return ColumnKind::Float;
  if (bools == present) return ColumnKind::Bool;
  if (texts == present) return ColumnKind::Text;
  if (nested == present) return ColumnKind::Nested;
  return ColumnKind::Other;
}

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
  size_t row = 0;
  if (!floats_held) {
    for (; row < rows; ++row) {
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

TypedColumn typed_column(const std::vector<PyValue>& values, ColumnKind kind, uint64_t missing, bool bits) {
  const size_t rows = values.size();
  TypedColumn column;
  column.kind = kind;
  column.missing = missing;
  if (missing > 0) column.valid.assign(bits ? (rows + 7) / 8 : rows, '\0');
  const auto mark_valid = [&](size_t row) {
    if (missing == 0) return;
    if (bits) {
      set_bit(column.valid, row);
    } else {
      column.valid[row] = 1;
    }
  };
  switch (kind) {
    case ColumnKind::Int: {
      column.values.assign(rows * sizeof(int64_t), '\0');
      for (size_t row = 0; row < rows; ++row) {
        if (values[row].kind() != ValueKind::Int) continue;
        put<int64_t>(column.values, row, values[row].as_int());
        mark_valid(row);
      }
      break;
    }
    case ColumnKind::Float: {
      column.values.resize(rows * sizeof(double));
      for (size_t row = 0; row < rows; ++row) {
        const PyValue& value = values[row];
        double number = std::numeric_limits<double>::quiet_NaN();
        if (value.kind() == ValueKind::Float) {
          number = value.as_float();
        } else if (value.kind() == ValueKind::Int) {
          number = static_cast<double>(value.as_int());
        } else {
          put<double>(column.values, row, number);
          continue;
        }
        put<double>(column.values, row, number);
        mark_valid(row);
      }
      break;
    }
    case ColumnKind::Bool: {
      column.values.assign(bits ? (rows + 7) / 8 : rows, '\0');
      for (size_t row = 0; row < rows; ++row) {
        if (values[row].kind() != ValueKind::Bool) continue;
        if (values[row].as_bool()) {
          if (bits) {
            set_bit(column.values, row);
          } else {
            column.values[row] = 1;
          }
        }
        mark_valid(row);
      }
      break;
    }
    case ColumnKind::Text: {
      size_t total = 0;
      for (const PyValue& value : values) {
        if (value.kind() == ValueKind::Str) total += value.as_str().size();
      }
      column.data.reserve(total);
      column.large = total > static_cast<size_t>(std::numeric_limits<int32_t>::max());
      const size_t width = column.large ? sizeof(int64_t) : sizeof(int32_t);
      column.offsets.assign((rows + 1) * width, '\0');
      for (size_t row = 0; row < rows; ++row) {
        if (values[row].kind() == ValueKind::Str) {
          column.data.append(values[row].as_str());
          mark_valid(row);
        }
        if (column.large) {
          put<int64_t>(column.offsets, row + 1, static_cast<int64_t>(column.data.size()));
        } else {
          put<int32_t>(column.offsets, row + 1, static_cast<int32_t>(column.data.size()));
        }
      }
      break;
    }
    default: break;
  }
  return column;
}

}  // namespace vostrel
