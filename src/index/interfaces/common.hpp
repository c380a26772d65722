// Helpers shared by the Python classes: engine calls without the interpreter lock, argument and result conversion.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string_view>
#include <vector>

#include "index/core/item_store.hpp"
#include "index/core/stored_item.hpp"
#include "index/core/structures/bitmap.hpp"
#include "index/py_ref.hpp"
#include "index/value.hpp"

namespace vostrel {

// Runs `work` with the interpreter lock released and returns its result. The lock is taken back before returning,
// also when `work` throws; then the reference releases queued meanwhile are applied (no engine lock is held by then).
template <class F>
auto without_gil(F&& work) {
  struct ApplyQueuedReleases {
    ~ApplyQueuedReleases() { apply_deferred_releases(); }
  } apply_on_return;
  GilRelease released;
  return work();
}

// A method table entry for a function taking (self, args, kwargs) or (self, args).
template <class Function>
PyCFunction as_py_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// What differs between the module's final (not subclassable), dict-less, weakref-less classes.
struct FinalTypeSpec {
  const char* name;
  Py_ssize_t basicsize;
  const char* doc;
  newfunc construct;
  destructor dealloc;
  PyMethodDef* methods;
  reprfunc repr = nullptr;
};

// Readies `type` from `spec` on first call and returns it (a static type, living for the process); null with a Python
// error set if readying failed (a later call tries again). Interpreter lock held.
PyTypeObject* ready_final_type(PyTypeObject& type, const FinalTypeSpec& spec);

// A new Python list of the objects stored at `ids`, ascending. Call it with the store read-locked and the interpreter
// lock released: it takes the interpreter lock itself (innermost) only to build the list, so no handle is copied.
// Throws PythonErrorSet.
PyRef list_of_stored(const Bitmap& ids, const ItemStore<StoredItem>& store);

// Keyword-only methods: a positional argument raises TypeError as the argument parser would. Returns false then.
bool reject_positional(const char* method, PyObject* args);

// A str argument as a small string; anything else raises TypeError naming `argument`. Throws PythonErrorSet.
SmallString text_argument(const char* argument, PyObject* value);

// TypeError "argument '<argument>': expected <expected>, got <type>". Throws PythonErrorSet.
[[noreturn]] void raise_argument_type(const char* argument, const char* expected, PyObject* value);

}  // namespace vostrel
