// QueryMap: registration and removal of attribute values by kind, and element-id translation.
#include "index/core/query/query.hpp"

#include <mutex>
#include <utility>

#include "index/core/id_alloc.hpp"
#include "index/internal_error.hpp"
#include "lib/errors.hpp"
#include "index/py_ref.hpp"
#include "index/write_propagation.hpp"

namespace vostrel {
namespace {

constexpr size_t TRANSLATE_BATCH = 1024;
// Element chains are as deep as the nesting of iterables inside iterables; anything deeper is a corrupted map.
constexpr int MAX_ELEMENT_DEPTH = 1 << 16;
constexpr int MAX_ANCESTOR_LEVELS = 1 << 16;

}  // namespace

std::shared_ptr<QueryMap> QueryMap::create(std::weak_ptr<IndexAPI> owner) {
  auto map = std::make_shared<QueryMap>(std::move(owner));
  map->nested->owner_map = map;
  return map;
}

QueryMap::QueryMap(std::weak_ptr<IndexAPI> owner)
    : parent(owner),
      nested(IndexAPI::create(owner)),
      items([&]() -> std::shared_ptr<ItemList> {
        if (std::shared_ptr<IndexAPI> live = owner.lock()) return live->items;
        return std::make_shared<ItemList>();
      }()) {}

QueryMap::~QueryMap() {
  // Element ids belong to the map that registered them.
  for (const auto& entry : element_values) free_id(entry.first);
}

OrderedKey QueryMap::key_of(const PyValue& value) {
  return value.kind() == ValueKind::Int ? OrderedKey::from_int(value.as_int())
                                        : OrderedKey::from_float(value.as_float());
}

void QueryMap::insert_value(uint32_t id, const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      insert_num_ordered(key_of(value), id);
      break;
    case ValueKind::Str:
      insert_str(value.as_str(), id);
      break;
    case ValueKind::Bool:
      insert_bool(value.as_bool(), id);
      break;
    case ValueKind::Iterable:
      insert_iterable(value, id);
      break;
    case ValueKind::Ind:
      insert_exact(value, id);
      insert_indexable(value.as_indexable(), id);
      break;
    case ValueKind::Unknown:
      insert_exact(value, id);
      break;
  }
}

void QueryMap::remove_value(uint32_t id, const PyValue& value) {
  switch (value.kind()) {
    case ValueKind::Int:
    case ValueKind::Float:
      remove_num_ordered(key_of(value), id);
      break;
    case ValueKind::Str:
      remove_str(value.as_str(), id);
      break;
    case ValueKind::Bool:
      remove_bool(value.as_bool(), id);
      break;
    case ValueKind::Iterable:
      remove_iterable(id);
      break;
    case ValueKind::Ind:
      remove_exact(value, id);
      remove_indexable(value.as_indexable(), id);
      break;
    case ValueKind::Unknown:
      remove_exact(value, id);
      break;
  }
}

void QueryMap::insert_num_ordered(OrderedKey key, uint32_t id) {
  std::unique_lock lock(numeric_mutex);
  numeric.insert(key, id);
}

void QueryMap::remove_num_ordered(OrderedKey key, uint32_t id) {
  std::unique_lock lock(numeric_mutex);
  numeric.remove(key, id);
}

void QueryMap::insert_str(std::string_view text, uint32_t id) {
  std::unique_lock lock(positional_mutex);
  positional.insert(text, id);
}

void QueryMap::remove_str(std::string_view text, uint32_t id) {
  std::unique_lock lock(positional_mutex);
  positional.remove(text, id);
}

void QueryMap::insert_bool(bool flag, uint32_t id) {
  std::unique_lock lock(bool_mutex);
  (flag ? trues : falses).add(id);
}

void QueryMap::remove_bool(bool flag, uint32_t id) {
  std::unique_lock lock(bool_mutex);
  (flag ? trues : falses).remove(id);
}

void QueryMap::insert_exact(const PyValue& value, uint32_t id) {
  auto shard = exact.get_shard(value.hash());
  auto found = shard.map.find(value);
  if (found != shard.map.end()) {
    found->second.add(id);
    return;
  }
  HybridSet ids;
  ids.add(id);
  shard.map.emplace(value, std::move(ids));
}

void QueryMap::remove_exact(const PyValue& value, uint32_t id) {
  auto shard = exact.get_shard(value.hash());
  auto found = shard.map.find(value);
  if (found == shard.map.end()) return;
  found->second.remove(id);
  // An emptied entry goes at once, so an empty exact map means no Ind/Unknown value is left.
  if (found->second.is_empty()) shard.map.erase(found);
}

void QueryMap::insert_iterable(const PyValue& value, uint32_t owner) {
  const IterableValue& iterable = value.as_iterable();
  if (iterable.kind == IterableKind::Dict) return;  // a dict value stores nothing
  std::vector<PyValue> members;
  {
    // The interpreter lock is taken only to read the container (innermost: our caller holds engine locks).
    GilAcquire gil;
    PyObject* container = iterable.container.get();
    auto capture = [&](PyObject* item) {
      try {
        members.push_back(PyValue::capture(PyRef::borrow(item)));
      } catch (const InternalError&) {
        // A member that cannot be captured (unhashable, integer out of range) is simply not indexed: the write of
        // the container itself has succeeded and must not fail halfway through the indexes.
        PyErr_Clear();
      } catch (const PythonErrorSet&) {
        PyErr_Clear();
      }
    };
    if (iterable.kind == IterableKind::Set) {
      PyRef iterator = PyRef::steal(PyObject_GetIter(container));
      if (!iterator) {
        PyErr_Clear();
        return;
      }
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) capture(item.get());
      PyErr_Clear();
    } else if (iterable.kind == IterableKind::List) {
      // Re-read the size each step: capturing a member can run Python code that changes the list.
      for (Py_ssize_t pos = 0; pos < PyList_GET_SIZE(container); ++pos) {
        PyRef item = PyRef::borrow(PyList_GET_ITEM(container, pos));
        capture(item.get());
      }
    } else {
      for (Py_ssize_t pos = 0; pos < PyTuple_GET_SIZE(container); ++pos) capture(PyTuple_GET_ITEM(container, pos));
    }
  }
  // Members are routed with the interpreter lock released: a nested Indexable member takes that object's locks.
  for (PyValue& member : members) {
    const uint32_t element = allocate_id();
    {
      std::unique_lock lock(translation_mutex);
      translation.set(element, owner);
      element_values.insert_or_assign(element, member);
      owner_elements[owner].push_back(element);
    }
    {
      std::unique_lock lock(mask_mutex);
      mask.add(element);
    }
    insert_value(element, member);
  }
}

void QueryMap::remove_iterable(uint32_t owner) {
  std::vector<uint32_t> elements;
  std::vector<PyValue> values;
  {
    std::unique_lock lock(translation_mutex);
    auto found = owner_elements.find(owner);
    if (found == owner_elements.end()) return;
    elements = std::move(found->second);
    owner_elements.erase(found);
    values.reserve(elements.size());
    for (uint32_t element : elements) {
      auto record = element_values.find(element);
      values.push_back(std::move(record->second));
      element_values.erase(record);
      translation.erase(element);
    }
  }
  {
    std::unique_lock lock(mask_mutex);
    roaring_bitmap_remove_many(&mask.roaring, elements.size(), elements.data());
  }
  for (size_t pos = 0; pos < elements.size(); ++pos) {
    remove_value(elements[pos], values[pos]);  // nested iterables release their own elements here
    free_id(elements[pos]);
  }
}

void QueryMap::unmask_ids(Bitmap& result) const {
  Bitmap masked;
  {
    std::shared_lock lock(mask_mutex);
    if (mask.isEmpty()) return;
    masked = result & mask;
  }
  if (masked.isEmpty()) return;
  roaring_bitmap_andnot_inplace(&result.roaring, &masked.roaring);
  Bitmap owners;
  std::vector<uint32_t> batch;
  batch.reserve(TRANSLATE_BATCH);
  {
    std::shared_lock lock(translation_mutex);
    for (uint32_t element : masked) {
      // Follow the chain to an object: members of an iterable nested in an iterable are owned by element ids.
      uint32_t owner = translation.get(element);
      if (owner == PagedU32Map::ABSENT) continue;
      int depth = 0;
      for (uint32_t next = translation.get(owner); next != PagedU32Map::ABSENT; next = translation.get(owner)) {
        owner = next;
        if (++depth > MAX_ELEMENT_DEPTH) throw InternalError("element translation does not terminate");
      }
      batch.push_back(owner);
      if (batch.size() == TRANSLATE_BATCH) {
        owners.addMany(batch.size(), batch.data());
        batch.clear();
      }
    }
  }
  owners.addMany(batch.size(), batch.data());
  result |= owners;
}

void QueryMap::insert_indexable(const StoredIndexable& object, uint32_t holder) {
  const IndexableCore& core = *object.owned_handle;
  const uint32_t child = core.id;

  // Cycle check: walk from the holding object up through every outer index. If the child is the holder or any
  // object above it, registering it would close a cycle (and would wait on locks this thread already holds, since
  // the objects above are the ones being registered or written): it is not indexed here.
  {
    Bitmap holders;
    holders.add(holder);
    unmask_ids(holders);
    std::shared_ptr<IndexAPI> level = parent.lock();
    for (int steps = 0; level && !holders.isEmpty(); ++steps) {
      if (holders.contains(child)) return;
      if (steps > MAX_ANCESTOR_LEVELS) throw InternalError("nested index chain does not terminate");
      std::shared_ptr<IndexAPI> outer = level->parent.lock();
      if (!outer) break;
      holders = level->get_parent_from_ids(holders);
      if (std::shared_ptr<const QueryMap> outer_map = level->owner_map.lock()) outer_map->unmask_ids(holders);
      level = std::move(outer);
    }
    if (holders.contains(child)) return;
  }

  append_membership(core, nested);
  // Lock order: the child's attribute map, then the nested index's links; unregistration takes them in the same
  // order, so a child is never registered and purged at the same time.
  std::unique_lock attributes(core.attributes->mutex);
  bool already_indexed = false;
  {
    std::unique_lock links(nested->parent_links->mutex);
    already_indexed = nested->parent_links->value.has_right(child);
    nested->parent_links->value.register_path(holder, child);
  }
  if (already_indexed) return;  // only a new holder
  nested->add_object(child, object.python_handle, object.owned_handle, std::move(attributes));
}

void QueryMap::remove_indexable(const StoredIndexable& object, uint32_t holder) {
  const IndexableCore& core = *object.owned_handle;
  const uint32_t child = core.id;
  {
    // A pair that was never recorded was cut as a cycle: the child may then be an object whose locks this thread
    // holds, so stop before taking any of them.
    std::shared_lock links(nested->parent_links->mutex);
    if (!nested->parent_links->value.lefts_of(child).contains(holder)) return;
  }
  std::unique_lock attributes(core.attributes->mutex);
  {
    std::unique_lock links(nested->parent_links->mutex);
    M2MU32& pairs = nested->parent_links->value;
    if (!pairs.remove_pair(holder, child)) return;
    if (pairs.has_right(child)) return;  // other holders keep it
  }
  // Still under the child's attribute-map lock, so no holder can register it again until it is gone.
  nested->purge_object(child);
}

}  // namespace vostrel
