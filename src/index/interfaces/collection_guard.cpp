// The references engine containers first reported in the running collection, and the gc callback that bounds it.
#include "index/interfaces/collection_guard.hpp"

#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <new>
#include <vector>

#include "index/core/structures/fx_hash.hpp"
#include "index/py_ref.hpp"
#include "index/errors.hpp"
#include "index/py_function.hpp"

namespace vostrel {
namespace {

// Owners visited in this collection, in the order they were first visited, with the references they reported then.
// Objects that reported nothing are left out (FirstReport::MayGain), so a collection over objects that hold no
// collectable values records nothing. Guarded by the interpreter lock; emptied when a collection starts or ends.
//
// Lookups: the collector's later passes mostly visit objects in the order of the first, so the entry after the last
// one found is tried first; otherwise an open-addressing index of entry positions (+ 1, 0 = empty), at most half full.
class FirstReports {
 public:
  struct Entry {
    PyObject* owner;  // null once forgotten
    uint32_t start;
    uint32_t count;
  };

  std::vector<PyObject*> references;

  Entry* find(PyObject* owner) noexcept {
    if (entries_.empty()) return nullptr;
    if (next_ < entries_.size() && entries_[next_].owner == owner) return &entries_[next_++];
    for (size_t slot = home(owner);; slot = (slot + 1) & (index_.size() - 1)) {
      const uint32_t position = index_[slot];
      if (position == 0) return nullptr;
      if (entries_[position - 1].owner == owner) {
        next_ = position;
        return &entries_[position - 1];
      }
    }
  }

  // Records references[start, end) as what `owner` (not on record) reported. Throws std::bad_alloc, changing
  // nothing.
  void record(PyObject* owner, size_t start, size_t end) {
    if (end > UINT32_MAX) throw std::bad_alloc();
    if ((entries_.size() + 1) * 2 > index_.size()) grow();
    entries_.push_back({owner, static_cast<uint32_t>(start), static_cast<uint32_t>(end - start)});
    place(entries_.size());
  }

  void forget(PyObject* owner) noexcept {
    if (entries_.empty()) return;
    const size_t keep = next_;
    if (Entry* entry = find(owner)) entry->owner = nullptr;
    next_ = keep;
  }

  // Lets go of everything, memory included: most collections record nothing. A large record (a full collection
  // over many objects holding lists or nested objects) was grown in the malloc heap, which keeps freed memory
  // resident; it is handed back to the system, so no collection leaves the process bigger.
  void clear() noexcept {
    const size_t bytes = entries_.capacity() * sizeof(Entry) + index_.capacity() * sizeof(uint32_t) +
                         references.capacity() * sizeof(PyObject*);
    std::vector<Entry>().swap(entries_);
    std::vector<uint32_t>().swap(index_);
    std::vector<PyObject*>().swap(references);
    next_ = 0;
    constexpr size_t TRIM_FROM = size_t{1} << 20;
    if (bytes >= TRIM_FROM) malloc_trim(0);
  }

 private:
  size_t home(PyObject* owner) const noexcept {
    return fx_hash_u64(reinterpret_cast<uintptr_t>(owner)) & (index_.size() - 1);
  }

  void place(size_t position) noexcept {
    size_t slot = home(entries_[position - 1].owner);
    while (index_[slot] != 0) slot = (slot + 1) & (index_.size() - 1);
    index_[slot] = static_cast<uint32_t>(position);
  }

  // Doubles the index (64 slots at first) and places every entry again; the entries vector grows ahead of it.
  void grow() {
    std::vector<uint32_t> bigger(std::max<size_t>(64, index_.size() * 2));
    entries_.reserve(bigger.size() / 2);
    index_.swap(bigger);
    for (size_t position = 1; position <= entries_.size(); ++position) place(position);
  }

  std::vector<Entry> entries_;
  std::vector<uint32_t> index_;
  size_t next_ = 0;  // the entry after the last one found
};

FirstReports first_reports;
bool gather_failed = false;
// The thread that runs the current collection and the number of collections finished before it (both set at its
// start), and the callback, the list it is found in and gc.get_stats.
unsigned long collecting_thread = 0;
long long finished_before = -1;
PyObject* guard_callback = nullptr;  // strong, for the process
PyObject* callback_list = nullptr;   // gc.callbacks; strong, for the process
PyObject* get_stats = nullptr;       // gc.get_stats; strong, for the process

// Collections the interpreter has finished (gc.get_stats), or -1 when it cannot tell. An exception the caller has
// pending (a failed write releasing what it captured) is kept as it was.
long long finished_collections() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  long long total = -1;
  {
    const PyRef stats = PyRef::steal(PyObject_CallNoArgs(get_stats));
    if (stats && PyList_Check(stats.get())) {
      total = 0;
      for (Py_ssize_t pos = 0; pos < PyList_GET_SIZE(stats.get()) && total >= 0; ++pos) {
        PyObject* generation = PyList_GET_ITEM(stats.get(), pos);
        PyObject* count = PyDict_Check(generation) ? PyDict_GetItemString(generation, "collections") : nullptr;
        const long long collections = count != nullptr ? PyLong_AsLongLong(count) : -1;
        total = collections >= 0 ? total + collections : -1;
      }
    }
  }
  PyErr_Clear();
  PyErr_Restore(type, value, traceback);
  return total;
}

// A release is about to be left queued. The hold stands while the collection it was taken for still runs: the
// guard's callback may miss that collection's end (a callback placed ahead of it removed itself, or gc.callbacks was
// cleared), and every release would then wait for ever. Once the hold ends, what is left of the collection goes on
// unguarded: nothing recorded is reported again, since nothing keeps what the record names alive any longer.
bool hold_still_stands() {
  bool listed = false;
  for (Py_ssize_t pos = 0; pos < PyList_GET_SIZE(callback_list) && !listed; ++pos) {
    listed = PyList_GET_ITEM(callback_list, pos) == guard_callback;
  }
  if (listed && finished_before >= 0 && finished_collections() == finished_before) return true;
  hold_releases(false);
  first_reports.clear();
  return false;
}

// A visit that appends to the record's references.
int gather(PyObject* object, void*) {
  try {
    first_reports.references.push_back(object);
    return 0;
  } catch (const std::bad_alloc&) {
    gather_failed = true;
    return -1;
  }
}

// The gc callback: a collection starts or stops. Errors cannot arise here; a failing callback would only be reported
// as unraisable.
PyObject* on_collection(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 1 || !PyUnicode_Check(args[0])) Py_RETURN_NONE;
  const bool starting = PyUnicode_CompareWithASCIIString(args[0], "start") == 0;
  first_reports.clear();  // also after a stop that never came (the callback removed meanwhile)
  if (starting) {
    collecting_thread = PyThread_get_thread_ident();
    finished_before = finished_collections();
    hold_releases(true);
    Py_RETURN_NONE;
  }
  hold_releases(false);
  // What the collection let go of (a collected object's values among them) is released now.
  return guard_python_call<PyObject*>(nullptr, [] {
    apply_deferred_releases();
    Py_RETURN_NONE;
  });
}

PyMethodDef on_collection_def = {"_on_collection", as_py_cfunction(on_collection), METH_FASTCALL, nullptr};

}  // namespace

void install_collection_guard() {
  if (guard_callback != nullptr) return;
  PyRef gc = PyRef::steal(check_py(PyImport_ImportModule("gc")));
  PyRef callbacks = PyRef::steal(check_py(PyObject_GetAttrString(gc.get(), "callbacks")));
  PyRef callback = PyRef::steal(check_py(PyCFunction_NewEx(&on_collection_def, nullptr, nullptr)));
  // First in the list: CPython runs the callbacks by position, so one that removes itself (a one-shot callback)
  // would make a later callback miss that phase.
  if (!PyList_Check(callbacks.get()) || PyList_Insert(callbacks.get(), 0, callback.get()) < 0) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "gc.callbacks is not a list");
    throw_python_error();
  }
  get_stats = check_py(PyObject_GetAttrString(gc.get(), "get_stats"));
  callback_list = callbacks.release();
  guard_callback = callback.release();
  set_release_hold_check(hold_still_stands);
  // A child forked by another thread while a collection waits in a finalizer never sees that collection end (its
  // thread is gone): the child holds nothing back. Forked by the collecting thread, it finishes the collection.
  pthread_atfork(nullptr, nullptr, [] {
    if (releases_held() && collecting_thread != PyThread_get_thread_ident()) {
      hold_releases(false);
      first_reports.clear();
    }
  });
}

int traverse_as_first_seen(PyObject* owner, visitproc visit, void* arg, CurrentReferences current,
                           FirstReport first_report) {
  if (!releases_held()) return current(owner, visit, arg);
  std::vector<PyObject*>& references = first_reports.references;
  if (const FirstReports::Entry* first = first_reports.find(owner)) {
    for (size_t pos = first->start; pos < size_t{first->start} + first->count; ++pos) Py_VISIT(references[pos]);
    return 0;
  }
  const size_t start = references.size();
  gather_failed = false;
  current(owner, gather, nullptr);
  const size_t end = references.size();
  if (end == start && !gather_failed && first_report == FirstReport::MayGain) return 0;  // nothing to record
  try {
    if (gather_failed) throw std::bad_alloc();
    first_reports.record(owner, start, end);
  } catch (const std::bad_alloc&) {
    // Out of memory: reported as they are now, as without the guard.
    references.resize(start);
    return current(owner, visit, arg);
  }
  // By position: the collector's visits never traverse, but the vector would move if one did.
  for (size_t pos = start; pos < end; ++pos) Py_VISIT(references[pos]);
  return 0;
}

void forget_traversed(PyObject* owner) noexcept { first_reports.forget(owner); }

}  // namespace vostrel
