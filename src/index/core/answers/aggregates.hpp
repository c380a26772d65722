// Aggregates over the numbers an attribute holds directly (members of lists and non-numbers are not numbers of
// their object; NaN is skipped, as pandas skips it), read from the ordered value -> ids map alone.
//
// min / max: the first / last key whose ids meet the scope, walked from that end. sum / mean: one walk over the
// keys, each adding value x |ids(value) in scope| into an exact sum (exact_sum.hpp): a value held by many objects
// costs one multiply, and the total is exact until it is rounded once. Ints that no key holds exactly (beyond 64
// significant bits, kept in the exact map) are handed back as they are, with their counts, for the caller to add in.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "index/core/answers/answer_scope.hpp"
#include "index/core/answers/exact_sum.hpp"

namespace vostrel {

// The ints of the scope's objects that no key holds exactly, each with how many of those objects hold it. Empty for
// nearly every map (see QueryMap::holds_unkeyed).
using UnkeyedInts = std::vector<std::pair<PyValue, uint64_t>>;

struct NumberTotal {
  ExactSum sum;
  bool floats_held = false;  // the attribute ever held a float: the total is a float
  UnkeyedInts unkeyed;       // not in `sum`
};

// The smallest (largest when `largest`) number of the scope's objects, with whether the attribute ever held a float;
// nullopt when they hold none.
struct NumberExtreme {
  std::optional<OrderedKey> key;  // none when only unkeyed ints are held
  bool floats_held = false;
  UnkeyedInts unkeyed;  // candidates beside `key`
};
std::optional<NumberExtreme> number_extreme(const AnswerScope& scope, std::string_view attribute, bool largest);

NumberTotal number_total(const AnswerScope& scope, std::string_view attribute);

}  // namespace vostrel
