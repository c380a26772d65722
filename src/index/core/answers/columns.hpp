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
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/answers/answer_scope.hpp"
#include "index/core/answers/ordering.hpp"
#include "index/core/stored_item.hpp"
#include "index/object_record.hpp"
#include "index/value.hpp"

namespace vostrel {

// Which objects, in which order.
struct RowChoice {
  std::optional<SmallString> order_by;  // none: id order
  OrderRequest order;                   // offset and limit apply in id order too
};

// The scope's objects that `choice` picks, in its order: their handles (which keep them alive once the scope is
// gone) and, read while the handles are at hand, their records.
struct ChosenObjects {
  std::vector<StoredIndexable> handles;
  std::vector<const IndexableCore*> cores;
};
ChosenObjects chosen_objects(const AnswerScope& scope, const RowChoice& choice);
// Lets go of the handles, each fetched some ahead (they lie scattered, and each drop writes its count). Any thread.
void release_handles(ChosenObjects& objects);

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

// One attribute's values over the rows, typed as they are read, so most values are never copied as PyValues (no
// shared count touched, nothing to drop later): numbers and bools go to an 8-byte slot, text (with `text_as_bytes`)
// to one UTF-8 buffer; other values, and text otherwise, are kept as PyValues beside, by row.
class ColumnBuilder {
 public:
  enum Held : uint8_t { MISSING = 0, INT, FLOAT, BOOL, TEXT, NESTED, OTHER };

  ColumnBuilder(uint32_t name_id, size_t rows, bool text_as_bytes);
  // Rows are added in ascending order, each at most once. Called with the object's lock held.
  void add(size_t row, const PyValue& value);

  uint32_t name_id() const { return name_id_; }
  size_t rows() const { return held_.size(); }
  Held held(size_t row) const { return static_cast<Held>(held_[row]); }
  uint64_t slot(size_t row) const { return slots_[row]; }
  // The text kept as bytes: a TEXT row's run ends at its slot and starts where the previous TEXT row's ended.
  const std::string& text_bytes() const { return text_; }
  bool text_as_bytes() const { return text_as_bytes_; }
  // The PyValues kept beside, ascending by row.
  const std::vector<std::pair<size_t, PyValue>>& kept() const { return kept_; }

  // The kind the column types as (Missing when every value is missing), and how many values are missing.
  ColumnKind kind(uint64_t& missing) const;
  // The column as `kind` (Int, Float, Bool, or Text when kept as bytes): missing slots hold 0 (NaN for Float,
  // offsets repeat for Text). `bits`: Arrow's bit layouts for bool values and the validity. Takes the buffers.
  TypedColumn typed(ColumnKind kind, uint64_t missing, bool bits);

 private:
  uint32_t name_id_;
  bool text_as_bytes_;
  std::vector<uint8_t> held_;
  std::vector<uint64_t> slots_;  // INT: the int64; FLOAT: the double's bits; BOOL: 0 or 1; TEXT as bytes: its end
  std::string text_;
  std::vector<std::pair<size_t, PyValue>> kept_;
};

// The values of `name_ids` over `objects`, each object's map locked once. With `every_name`, the columns are every
// name the objects hold instead, in first-seen order. No lock may be held by the caller.
std::vector<ColumnBuilder> read_columns(const ChosenObjects& objects, const std::vector<uint32_t>& name_ids,
                                        bool every_name, bool text_as_bytes);

// The numbers of `attribute` over every object of the scope, in id order, read from its value map alone (one state
// of the whole index, no object lock), when that gives exactly what reading the objects gives: every object holds
// a number directly, and the keys tell the kind (no float ever held: ints, as int64; some key not a whole or finite
// number: floats, as float64, unless a -0.0 was ever held, whose key is 0's). nullopt otherwise: read the objects.
// The column is the map's kept id -> number column, built on first use. Int or Float, nothing missing.
std::optional<TypedColumn> numbers_from_map(const AnswerScope& scope, std::string_view attribute);

}  // namespace vostrel
