// Columns: the values of some attributes over a scope's objects, read into native buffers for numpy, Arrow, pandas
// and plain dicts.
//
// Two steps, both with the interpreter lock released. First, under an AnswerScope (the index's locks, taken once),
// the objects are chosen and their handles copied: in id order, or in one attribute's order (ordered_ids). The
// scope is then gone. Second, each object's attribute map is locked once, alone, and every asked attribute is
// copied out of it: a row is one state of its object, whatever writers do meanwhile, and no object lock is ever
// taken under an index lock. The copies (16-byte PyValues) are then typed into buffers per column.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "index/core/answers/answer_scope.hpp"
#include "index/core/answers/ordering.hpp"
#include "index/core/stored_item.hpp"
#include "index/value.hpp"

namespace vostrel {

// Which objects, in which order.
struct RowChoice {
  std::optional<SmallString> order_by;  // none: id order
  OrderRequest order;                   // offset and limit apply in id order too
};

// The handles of the scope's objects that `choice` picks, in its order.
std::vector<StoredIndexable> chosen_objects(const AnswerScope& scope, const RowChoice& choice);

// One attribute's values, one per object (PyValue() where the object has none: capture never makes that value).
struct ValueColumn {
  uint32_t name_id = 0;
  std::vector<PyValue> values;
};

// The values of `name_ids` over `objects`, each object's map locked once. With `every_name`, the columns are every
// name the objects hold instead, in first-seen order. No lock may be held by the caller.
std::vector<ValueColumn> read_columns(const std::vector<StoredIndexable>& objects, const std::vector<uint32_t>& name_ids,
                                      bool every_name);

// How a column types: all of one native kind, or objects.
enum class ColumnKind : uint8_t { Missing, Int, Float, Bool, Text, Nested, Other };

struct TypedColumn {
  ColumnKind kind = ColumnKind::Missing;
  uint64_t missing = 0;
  // Int: int64; Float: float64 (ints converted, as numpy would); Bool: one byte each, or bits when `bits`.
  std::string values;
  // Present flags when anything is missing: one byte each, or bits (Arrow's validity) when `bits`.
  std::string valid;
  // Text: offsets (int32, or int64 when `large`) and the UTF-8 bytes, Arrow's layout.
  std::string offsets;
  std::string data;
  bool large = false;
};

// The numbers of `attribute` over every object of the scope, in id order, read from its value map alone (one state
// of the whole index, no object lock), when that gives exactly what reading the objects gives: every object holds
// a number directly, and the keys tell the kind (no float ever held: ints, as int64; some key not a whole or finite
// number: floats, as float64, unless a -0.0 was ever held, whose key is 0's). nullopt otherwise: read the objects.
// The column is the map's kept id -> number column, built on first use. Int or Float, nothing missing.
std::optional<TypedColumn> numbers_from_map(const AnswerScope& scope, std::string_view attribute);

// The kind `values` type as (Missing when every value is missing).
ColumnKind column_kind(const std::vector<PyValue>& values, uint64_t& missing);

// Types `values` as `kind` (Int, Float, Bool, or Text with `bits`): missing slots hold 0 (NaN for Float, offsets
// repeat for Text). `bits`: Arrow's bit layouts for Bool values and the validity.
TypedColumn typed_column(const std::vector<PyValue>& values, ColumnKind kind, uint64_t missing, bool bits);

}  // namespace vostrel
