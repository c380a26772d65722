// The iterator behind iter(Index) and iter(FilteredIndex): yields stored objects in ascending id order, fetching
// them from the object store a chunk at a time, so no list of all objects is ever built.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <memory>

#include "index/core/index.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/interfaces/common.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

// The iterator type (created on first use; borrowed, lives for the process). Null with a Python error set if creation
// failed. Not exported from the module: reached only as type(iter(view)).
PyTypeObject* object_iterator_type();

// Interpreter lock held. A new iterator over the objects of `items` at the ids of `ids`, ascending.
// - `keep_alive` owns `*ids` when they belong to another object (a view); null when `ids` is null and `own_ids` is
//   iterated instead (a snapshot the iterator keeps).
// - `store`: the holder of the store (store_holder.hpp) of the Index whose ids were snapshotted; null over a view's
//   ids, whose view holds it.
// - `mark`: the store's mark of the moment the ids were taken: objects stored since are not iterated.
// - `skip_placeholders`: positions whose object left the index are skipped (an Index); a view yields whatever the store
//   holds at its ids, as collect() does.
// Throws PythonErrorSet.
PyRef make_object_iterator(PyRef keep_alive, const Bitmap* ids, Bitmap own_ids, std::shared_ptr<ItemList> items,
                           PyRef store, PutHistory::Mark mark,
                           bool skip_placeholders);

}  // namespace vostrel
