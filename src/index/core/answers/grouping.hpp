// The distinct values of one attribute over a scope, each with how many of its objects hold it (and, for groups,
// which): numbers (1 and 1.0 one value, NaN left out as pandas leaves it out), text, bools and other hashable values,
// from their value -> ids maps. A member of a list, tuple or set value counts as a value of its owner, as equality
// matches it; nested objects are not values here. Largest count first; ties in value order: numbers, text (by code
// point), False, True, then other values. A dotted path counts the objects whose nested object (any of them, through
// a list) holds the value at the end of the path.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "index/core/answers/answer_scope.hpp"
#include "index/value.hpp"

namespace vostrel {

struct ValueGroup {
  enum class Kind : uint8_t { Number, Text, Bool, Other };
  Kind kind = Kind::Other;
  OrderedKey number{};  // Number
  bool flag = false;    // Bool
  PyValue value;        // Text and Other
  uint64_t count = 0;
  Bitmap ids;           // with_ids only
};

struct ValueGroups {
  std::vector<ValueGroup> groups;
  bool floats_held = false;  // numbers read back as floats
};

// `with_ids`: each group also carries its objects' ids.
ValueGroups value_groups(const AnswerScope& scope, std::string_view attribute, bool with_ids);

}  // namespace vostrel
