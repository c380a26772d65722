// Objects in the order of one attribute's values, read from the value maps: numbers from the ordered value -> ids
// map, walked from the end asked for and stopped once the page is full (a top-10 costs what finding the ten costs);
// text by code point (UTF-8 byte order) over the distinct strings; then every other object (no value, NaN, a bool,
// a list, another kind) in id order. Ties go in ascending id order, in both directions, so an order is stable.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/answers/answer_scope.hpp"

namespace vostrel {

struct OrderRequest {
  bool descending = false;
  uint64_t offset = 0;
  std::optional<uint64_t> limit;  // none: to the end
};

// The ids of the scope's objects at positions [offset, offset + limit) of that order (each stored in scope.store()).
std::vector<uint32_t> ordered_ids(const AnswerScope& scope, std::string_view attribute, const OrderRequest& request);

}  // namespace vostrel
