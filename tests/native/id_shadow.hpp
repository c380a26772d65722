// The std::map shadow of a value -> id-set map that the structures' model tests compare against, and the ids of a
// set under test as a vector.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <vector>

#include "index/core/structures/bitmap.hpp"

namespace vostrel::testing {

// Takes id out of key's set; the key goes with its last id, as in the maps under test. Absent keys and ids change
// nothing.
template <class Key>
void shadow_remove(std::map<Key, std::set<uint32_t>>& shadow, const Key& key, uint32_t id) {
  auto found = shadow.find(key);
  if (found != shadow.end() && found->second.erase(id) != 0 && found->second.empty()) shadow.erase(found);
}

// Adds id under key, or removes it, in the map under test and in its shadow alike.
template <class Map, class Key>
void add_or_remove(Map& map, std::map<Key, std::set<uint32_t>>& shadow, const Key& key, uint32_t id, bool add) {
  if (add) {
    map.add(key, id);
    shadow[key].insert(id);
  } else {
    map.remove(key, id);
    shadow_remove(shadow, key, id);
  }
}

// The ids of a set with for_each(f(id)), in its own order (ascending for the id sets).
template <class Set>
std::vector<uint32_t> ids(const Set& set) {
  std::vector<uint32_t> out;
  set.for_each([&](uint32_t id) { out.push_back(id); });
  return out;
}

inline std::vector<uint32_t> ids(const Bitmap& bitmap) {
  std::vector<uint32_t> out(bitmap.cardinality());
  bitmap.toUint32Array(out.data());
  return out;
}

}  // namespace vostrel::testing
