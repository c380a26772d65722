// QueryMaps: an index's value maps by interned attribute name id.
//
// Name ids are process-wide and only grow (every name ever written gets one), so a table indexed by id would
// cost every index, and every nested index, a slot per name the process ever interned: a few megabytes each once a
// program has met a couple of hundred thousand names. The maps are kept sorted by id instead, in two parallel
// vectors: an index pays for the attributes its objects have, a lookup is a binary search over those few ids, and
// walks go in id order as a table's would.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

class QueryMap;

// Generic over the map type so the native tests can use it without the engine.
template <class Map>
class BasicQueryMaps {
 public:
  static constexpr size_t NOT_FOUND = SIZE_MAX;

  // Position of `attribute` among attributes(), or NOT_FOUND.
  size_t position(uint32_t attribute) const {
    const auto found = std::lower_bound(attributes_.begin(), attributes_.end(), attribute);
    if (found == attributes_.end() || *found != attribute) return NOT_FOUND;
    return static_cast<size_t>(found - attributes_.begin());
  }

  // The map of `attribute`, or null.
  const std::shared_ptr<Map>& at(uint32_t attribute) const {
    static const std::shared_ptr<Map> none;
    const size_t at = position(attribute);
    return at == NOT_FOUND ? none : maps_[at];
  }

  // Places `map` (not null) for `attribute`, replacing any map it had.
  void place(uint32_t attribute, std::shared_ptr<Map> map) {
    const auto found = std::lower_bound(attributes_.begin(), attributes_.end(), attribute);
    const size_t at = static_cast<size_t>(found - attributes_.begin());
    if (found != attributes_.end() && *found == attribute) {
      maps_[at] = std::move(map);
      return;
    }
    // Room in both first, so that a failed allocation leaves the two in step (and `found` is stale after it).
    attributes_.reserve(attributes_.size() + 1);
    maps_.reserve(maps_.size() + 1);
    attributes_.insert(attributes_.begin() + static_cast<std::ptrdiff_t>(at), attribute);
    maps_.insert(maps_.begin() + static_cast<std::ptrdiff_t>(at), std::move(map));
  }

  // Takes the map of `attribute` out when it is `expected`, so a caller that read it earlier never removes a map
  // placed since; the map is returned to be destroyed after unlocking (null when nothing was taken).
  std::shared_ptr<Map> take_if(uint32_t attribute, const Map* expected) {
    const size_t at = position(attribute);
    if (at == NOT_FOUND || maps_[at].get() != expected) return nullptr;
    std::shared_ptr<Map> taken = std::move(maps_[at]);
    attributes_.erase(attributes_.begin() + static_cast<std::ptrdiff_t>(at));
    maps_.erase(maps_.begin() + static_cast<std::ptrdiff_t>(at));
    return taken;
  }

  // Takes out every map `drop(map)` selects, appending them to `out` (to be destroyed after unlocking).
  template <class Drop>
  void take_where(Drop&& drop, std::vector<std::shared_ptr<Map>>& out) {
    out.reserve(out.size() + maps_.size());  // the moves below then cannot fail halfway
    size_t kept = 0;
    for (size_t at = 0; at < maps_.size(); ++at) {
      if (drop(*maps_[at])) {
        out.push_back(std::move(maps_[at]));
        continue;
      }
      attributes_[kept] = attributes_[at];
      if (kept != at) maps_[kept] = std::move(maps_[at]);
      ++kept;
    }
    attributes_.resize(kept);
    maps_.resize(kept);
  }

  // The attribute ids, ascending, and their maps at the same positions (never null).
  std::span<const uint32_t> attributes() const { return attributes_; }
  std::span<const std::shared_ptr<Map>> maps() const { return maps_; }
  size_t size() const { return maps_.size(); }

 private:
  std::vector<uint32_t> attributes_;
  std::vector<std::shared_ptr<Map>> maps_;
};

// An index's value maps, and the ids a reduce took out whose entries in them are not dropped yet (null when none):
// views listing such ids answer for them as for objects in no map, as they will once the maps are narrowed.
struct QueryMaps : BasicQueryMaps<QueryMap> {
  std::shared_ptr<const Bitmap> leaving;
};

}  // namespace vostrel
