// QueryScope: the ids a query answers within, and whether the value maps can hold any id outside them.
#pragma once

#include "index/core/structures/bitmap.hpp"

namespace vostrel {

// The ids a query answers within: a view's, a conjunction's running set, or an index's own. Every answer is a subset
// of `ids`. `covers_maps`: no value map holds an id outside `ids` (an index's own ids while no change of it is
// unsettled, see IndexAPI::unsettled_changes). A leaf on a map with no list member stored then answers with its
// matches as found: cutting them to `ids` would read a line of the id set per match and change nothing.
struct QueryScope {
  const Bitmap& ids;
  bool covers_maps = false;

  // Any set but a settled index's own: its maps may hold ids outside it, so answers are cut to it.
  QueryScope(const Bitmap& within) : ids(within) {}  // NOLINT(google-explicit-constructor): the safe default
  QueryScope(const Bitmap& within, bool covers) : ids(within), covers_maps(covers) {}

  // What a lookup that keeps to a set while it builds its answer keeps to: nothing when the scope covers the maps.
  const Bitmap* within() const { return covers_maps ? nullptr : &ids; }
};

}  // namespace vostrel
