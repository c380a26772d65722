// Indexable's attribute hooks: obj.name reads and obj.name = value writes, by interned name id.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "index/core/structures/fx_hash.hpp"
#include "index/object_record.hpp"

namespace vostrel {

// Names with double underscores at both ends belong to Python's own protocols (__class__, __dict__, __reduce_ex__):
// never stored as data. Precondition: `name` is a str.
bool is_dunder(PyObject* name);

// Name objects seen recently, by address, with their interned ids. Entries hold a strong reference to the name, so an
// address cannot be reused by another object while it is cached. Guarded by the interpreter lock; exact str only
// (a str subclass could change its text behind our back through __eq__ games).
struct NameCacheEntry {
  PyObject* name = nullptr;
  uint32_t id = 0;
  // Python's own protocol names (see is_dunder) are never data; queries may still intern one. Kept with the entry so
  // that a read or write of a cached name asks nothing of the name object.
  bool dunder = false;
  // Where the name was last found in an object's map: a loop reading it over objects of one class finds it at once.
  AttributeMap::Values::Place place;
};
inline constexpr size_t NAME_CACHE_BITS = 10;
inline std::array<NameCacheEntry, size_t{1} << NAME_CACHE_BITS> name_cache;

inline NameCacheEntry& name_cache_entry(PyObject* name) {
  return name_cache[fx_hash_u64(reinterpret_cast<uintptr_t>(name)) >> (64 - NAME_CACHE_BITS)];
}

// The cache's entry for a name object; null when it is not there (the name may still be known).
inline NameCacheEntry* cached_name(PyObject* name) {
  if (!PyUnicode_CheckExact(name)) return nullptr;
  NameCacheEntry& entry = name_cache_entry(name);
  return entry.name == name ? &entry : nullptr;
}

// data_attribute_name_id (below) for a name not in the cache.
std::optional<uint32_t> uncached_data_attribute_name_id(PyObject* name);

// Interpreter lock held, `name` a str: attribute_name_id of a data name, nullopt for a dunder name (never interned
// here). Inline: a keyword of a constructor call is usually a cached name, answered from its one entry.
inline std::optional<uint32_t> data_attribute_name_id(PyObject* name) {
  if (const NameCacheEntry* entry = cached_name(name)) {
    if (entry->dunder) return std::nullopt;
    return entry->id;
  }
  return uncached_data_attribute_name_id(name);
}

// The type's tp_getattro: a stored attribute, else the ordinary lookup; a missing attribute raises AttributeError
// with the name as its argument.
PyObject* indexable_getattro(PyObject* self, PyObject* name);

// The type's tp_setattro: the value captured, carried into every index that holds the object, then stored; deleting
// raises AttributeError. Dunder names take the ordinary handling.
int indexable_setattro(PyObject* self, PyObject* name, PyObject* value);

}  // namespace vostrel
