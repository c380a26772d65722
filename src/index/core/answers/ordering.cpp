// Objects in the order of one attribute's values (see ordering.hpp).
#include "index/core/answers/ordering.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "index/core/query/query.hpp"

namespace vostrel {
namespace {

// Past this many entries expected before the page is full, the walk tests ids against dense bits.
constexpr uint64_t LONG_WALK = 2048;

// Places the scope's ids one after another, keeping those of the page asked for.
class Placement {
 public:
  explicit Placement(const OrderRequest& request)
      : skip_(request.offset),
        room_(request.limit ? *request.limit : std::numeric_limits<uint64_t>::max()) {}

  bool full() const { return room_ == 0; }
  uint64_t placed_count() const { return placed_.size(); }
  void place(uint32_t id) {
    placed_.push_back(id);
    if (skip_ > 0) {
      --skip_;
    } else if (room_ > 0) {
      page_.push_back(id);
      --room_;
    }
  }
  // Every id placed so far, as a set.
  Bitmap placed() const {
    std::vector<uint32_t> sorted = placed_;
    std::sort(sorted.begin(), sorted.end());
    Bitmap set;
    set.addMany(sorted.size(), sorted.data());
    return set;
  }
  std::vector<uint32_t> take_page() { return std::move(page_); }

 private:
  uint64_t skip_;
  uint64_t room_;
  std::vector<uint32_t> placed_;
  std::vector<uint32_t> page_;
};

void place_numbers(const QueryMap& map, const ScopeFilter& filter, bool descending, Placement& placement) {
  const QueryMap::NumberIds* numbers = map.number_ids.get();
  if (numbers == nullptr) return;
  // NaN keys lie beyond the infinities: they order with nothing, and go with the rest.
  const OrderedKey lowest = OrderedKey::from_float(-HUGE_VAL);
  const OrderedKey highest = OrderedKey::from_float(HUGE_VAL);
  numbers->walk_entries(descending, [&](const OrderedKey& key, uint32_t lone, const ValueIds* set) {
    if (key < lowest || highest < key) return true;
    filter.for_each(lone, set, [&](uint32_t id) { placement.place(id); });
    return !placement.full();
  });
}

void place_texts(const QueryMap& map, const ScopeFilter& filter, bool descending, Placement& placement) {
  const QueryMap::TextIds* texts = map.text_ids.get();
  if (texts == nullptr || placement.full()) return;
  struct Text {
    std::string_view bytes;
    uint32_t lone;
    const ValueIds* set;
  };
  std::vector<Text> order;
  order.reserve(texts->size());
  texts->for_each_entry([&](const PyValue& key, uint32_t lone, const ValueIds* set) {
    order.push_back(Text{key.as_str(), lone, set});
  });
  // UTF-8 bytes compared unsigned order strings by code point, as Python's str does.
  const auto before = [](const Text& a, const Text& b) { return a.bytes < b.bytes; };
  std::sort(order.begin(), order.end(), before);
  if (descending) std::reverse(order.begin(), order.end());
  for (const Text& text : order) {
    filter.for_each(text.lone, text.set, [&](uint32_t id) { placement.place(id); });
    if (placement.full()) return;
  }
}

}  // namespace

std::vector<uint32_t> ordered_ids(const AnswerScope& scope, std::string_view attribute, const OrderRequest& request) {
  reject_dotted_path(attribute);
  Placement placement(request);
  const Bitmap& ids = scope.ids();
  const QueryMap* map = scope.map(attribute);
  if (map != nullptr && !placement.full()) {
    const MapReader reader(*map, MapReader::TEXT | MapReader::NUMBERS | MapReader::MEMBERS);
    std::optional<Bitmap> narrowed;
    const Bitmap& objects = reader.objects_in(ids, narrowed);
    const uint64_t in_scope = std::max<uint64_t>(1, objects.cardinality());
    const QueryMap::NumberIds* numbers = map->number_ids.get();
    const uint64_t entries = numbers == nullptr ? 0 : numbers->size();
    const uint64_t wanted = request.limit ? request.offset + *request.limit : in_scope;
    // The entries walked before `wanted` ids of the scope are met, when the scope's ids spread evenly over them.
    const long double walk = static_cast<long double>(wanted) * static_cast<long double>(entries) / in_scope;
    const ScopeFilter filter(objects, walk > LONG_WALK);
    place_numbers(*map, filter, request.descending, placement);
    place_texts(*map, filter, request.descending, placement);
  }
  if (!placement.full() && placement.placed_count() < ids.cardinality()) {
    // The rest, in id order: objects without a value that orders (ids that left the store are none of them).
    const Bitmap rest = ids - placement.placed();
    for (uint32_t id : rest) {
      if (scope.store().find(id) == nullptr) continue;
      placement.place(id);
      if (placement.full()) break;
    }
  }
  return placement.take_page();
}

}  // namespace vostrel
