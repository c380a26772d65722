// Helpers shared by the Python classes: engine calls without the interpreter lock, argument and result conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "index/core/structures/locks/lock_order.hpp"
#include "index/core/index.hpp"
#include "index/core/item_store.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/py_function.hpp"
#include "index/py_ref.hpp"
#include "index/value.hpp"

namespace vostrel {

// What differs between the module's final (not subclassable), dict-less, weakref-less classes.
struct FinalTypeSpec {
  const char* name;
  Py_ssize_t basicsize;
  const char* doc;
  newfunc construct;
  destructor dealloc;
  PyMethodDef* methods = nullptr;
  reprfunc repr = nullptr;
  PySequenceMethods* as_sequence = nullptr;  // len(), `in`
  PyNumberMethods* as_number = nullptr;      // operators
  getiterfunc iter = nullptr;
  iternextfunc iternext = nullptr;
  // With a traverse function the type takes part in cyclic garbage collection.
  traverseproc traverse = nullptr;
  inquiry clear = nullptr;
};

// Visits the Python objects a store holds on its own (handles no other native holder shares). Interpreter lock held:
// a busy store is skipped rather than waited for, which only keeps objects alive longer.
int visit_store(const ItemList& store, visitproc visit, void* arg);

// Readies `type` from `spec` on first call and returns it (a static type, living for the process); null with a Python
// error set if readying failed (a later call tries again). Interpreter lock held.
PyTypeObject* ready_final_type(PyTypeObject& type, const FinalTypeSpec& spec);

// Copies the handles of the objects stored at `ids`, ascending (the placeholder's for an id whose object the
// index dropped since the view was made, or one in `hidden`, if given: stored since). Call it with the store
// read-locked and the interpreter lock released: it touches only atomic counts. The Python list is built afterwards,
// without any engine lock (allocating it may run the collector, and so finalizers that use the index).
std::vector<SharedPyRef> handles_of_stored(const Bitmap& ids, const ItemStore<StoredItem>& store,
                                           const Bitmap* hidden = nullptr);

// Interpreter lock held, no engine lock held: a new list of the objects behind `handles`. Throws PythonErrorSet.
PyRef list_of_handles(const std::vector<SharedPyRef>& handles);

// Interpreter lock held, no engine lock held: the objects stored at `ids` as a new list, built in one pass when the
// store is free, without copying handles. The list is allocated before the store is locked (allocating may run the
// collector and so finalizers), the store is only try-locked (nothing is waited for with the interpreter lock held),
// and filling the list runs no Python code. `id_lock`, when given, guards `ids` (an index's own id set) and is
// try-locked too. Returns an empty PyRef when a lock is busy or `ids` changed meanwhile; the caller then copies the
// handles with the interpreter lock released (handles_of_stored). Ids the store took in after `mark` (a view's; none
// when null) list as ones the store does not hold. Throws PythonErrorSet.
PyRef try_list_of_stored(const Bitmap& ids, RankedSharedMutex* id_lock, const ItemList& store,
                         const PutHistory::Mark& mark = {});

// Keyword-only methods: a positional argument raises TypeError as the argument parser would. Returns false then.
bool reject_positional(const char* method, PyObject* args);

// A str argument as a small string; anything else raises TypeError naming `argument`. Throws PythonErrorSet.
SmallString text_argument(const char* argument, PyObject* value);

// A count argument (limit, offset): a non-negative int, or None too when `none_allowed` (read as nullopt); an int
// past 64 bits reads as the largest count. TypeError or ValueError otherwise. Throws PythonErrorSet.
std::optional<uint64_t> count_argument(const char* name, PyObject* value, bool none_allowed);

// TypeError "argument '<argument>': expected <expected>, got <type>". Throws PythonErrorSet.
[[noreturn]] void raise_argument_type(const char* argument, const char* expected, PyObject* value);
// An Indexable to be stored: raises TypeError for anything else, and ValueError for the placeholder collect() lists
// where an object left its index (it is one object shared by every view, so it is never stored).
void check_storable(const char* argument, const char* expected, PyObject* value);

}  // namespace vostrel
