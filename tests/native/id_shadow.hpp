// The std::map shadow of a value -> id-set map that the structures' model tests compare against.
#pragma once

#include <cstdint>
#include <map>
#include <set>

namespace vostrel::testing {

// Takes id out of key's set; the key goes with its last id, as in the maps under test. Absent keys and ids change
// nothing.
template <class Key>
void shadow_remove(std::map<Key, std::set<uint32_t>>& shadow, const Key& key, uint32_t id) {
  auto found = shadow.find(key);
  if (found != shadow.end() && found->second.erase(id) != 0 && found->second.empty()) shadow.erase(found);
}

}  // namespace vostrel::testing
