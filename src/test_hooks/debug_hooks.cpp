// Vostrel._debug: test hooks into captured values, ids, deferred releases and object locks. Registered only in
// sys.modules (never as an attribute of Vostrel), so the module's namespace holds the public surface alone;
// `from Vostrel import _debug` reaches it.
#include "test_hooks/debug_hooks.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "index/core/structures/ids/id_alloc.hpp"
#include "index/core/index.hpp"
#include "index/core/delayed_query.hpp"
#include "index/core/query/query.hpp"
#include "index/core/writer_gate.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/py_ref.hpp"
#include "index/value.hpp"
#include "index/errors.hpp"
#include "index/core/structures/test_points.hpp"
#include "index/py_function.hpp"

namespace vostrel {
namespace {

// Native threads started by the hooks below; joined by join_threads.
std::mutex debug_threads_mutex;
std::vector<std::thread> debug_threads;  // guarded by debug_threads_mutex

PyObject* debug_value(PyObject*, PyObject* obj) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::string text = PyValue::capture(PyRef::borrow(obj)).debug_text();
    return check_py(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
  });
}

PyObject* debug_hash(PyObject*, PyObject* obj) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    uint64_t hash = PyValue::capture(PyRef::borrow(obj)).hash();
    return check_py(PyLong_FromUnsignedLongLong(hash));
  });
}

// Whether two objects captured separately are equal PyValues (the equality used by the value maps).
PyObject* debug_values_equal(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_SetString(PyExc_TypeError, "values_equal(a, b) takes 2 arguments");
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    PyValue a = PyValue::capture(PyRef::borrow(args[0]));
    PyValue b = PyValue::capture(PyRef::borrow(args[1]));
    return PyBool_FromLong(a == b);
  });
}

// Whether a copy of the captured value of obj equals the original (copies share everything, records included).
PyObject* debug_copy_equal(PyObject*, PyObject* obj) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    PyValue original = PyValue::capture(PyRef::borrow(obj));
    PyValue copy = original;
    return PyBool_FromLong(copy == original && copy.hash() == original.hash());
  });
}

PyObject* debug_object_id(PyObject*, PyObject* obj) {
  if (!is_indexable(obj)) {
    PyErr_SetString(PyExc_TypeError, "object_id() expects an Indexable");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(indexable_core(obj).id);
}

// Number of membership records of obj whose index is still alive (the indexes its writes reach).
PyObject* debug_membership_count(PyObject*, PyObject* obj) {
  if (!is_indexable(obj)) {
    PyErr_SetString(PyExc_TypeError, "membership_count() expects an Indexable");
    return nullptr;
  }
  MembershipList& members = *indexable_core(obj).indexes;
  size_t live = 0;
  {
    std::unique_lock lock = lock_releasing_gil(members.mutex);
    for (const IndexMeta& record : members.records) live += record.index.expired() ? 0 : 1;
  }
  return PyLong_FromSize_t(live);
}

PyObject* debug_next_fresh_id(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(id_alloc_testing::next_fresh_id());
}

PyObject* debug_fail_bulk_stage_after(PyObject*, PyObject* count) {
  const long long left = PyLong_AsLongLong(count);
  if (left == -1 && PyErr_Occurred()) return nullptr;
  fail_test_point_after(TestPoint::BulkStage, left);
  Py_RETURN_NONE;
}

PyObject* debug_fail_map_merge_after(PyObject*, PyObject* count) {
  const long long left = PyLong_AsLongLong(count);
  if (left == -1 && PyErr_Occurred()) return nullptr;
  fail_test_point_after(TestPoint::MapMerge, left);
  Py_RETURN_NONE;
}

PyObject* debug_defer_prunes_from(PyObject*, PyObject* count) {
  const unsigned long long objects = PyLong_AsUnsignedLongLong(count);
  if (objects == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  return PyLong_FromUnsignedLongLong(set_defer_prunes_from(objects));
}

PyObject* debug_hold_prune_worker(PyObject*, PyObject* held) {
  const int truth = PyObject_IsTrue(held);
  if (truth < 0) return nullptr;
  hold_test_point(TestPoint::DeferredPruneWorker, truth != 0);
  Py_RETURN_NONE;
}

PyObject* debug_hold_changes_midway(PyObject*, PyObject* held) {
  const int truth = PyObject_IsTrue(held);
  if (truth < 0) return nullptr;
  hold_test_point(TestPoint::ChangeMidway, truth != 0);
  Py_RETURN_NONE;
}

PyObject* debug_changes_waiting(PyObject*, PyObject*) {
  return PyLong_FromLongLong(waiting_at(TestPoint::ChangeMidway));
}

PyObject* debug_fail_next_prune(PyObject*, PyObject*) {
  fail_test_point_after(TestPoint::DeferredPruneFinish, 0);
  Py_RETURN_NONE;
}

// Finishes a deferred prune on this thread, as the next writer would.
PyObject* debug_finish_prunes(PyObject*, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [] {
    without_gil([] { WriterGate gate; });
    Py_RETURN_NONE;
  });
}

PyObject* debug_wait_for_prunes(PyObject*, PyObject*) {
  {
    GilRelease released;
    wait_for_deferred_prunes();
  }
  apply_deferred_releases();
  Py_RETURN_NONE;
}

PyObject* debug_pending_releases(PyObject*, PyObject*) { return PyLong_FromSize_t(pending_release_count()); }

PyObject* debug_apply_deferred_releases(PyObject*, PyObject*) {
  apply_deferred_releases();
  Py_RETURN_NONE;
}

PyObject* debug_hold_release_queue(PyObject*, PyObject* milliseconds) {
  const long held_for = PyLong_AsLong(milliseconds);
  if (held_for == -1 && PyErr_Occurred()) return nullptr;
  {
    GilRelease released;
    release_queue_testing::hold_lock(static_cast<int>(held_for));
  }
  Py_RETURN_NONE;
}

// release_on_threads(obj, threads, copies, hold_gil): shares one reference to obj among `threads` native
// threads that copy and drop it `copies` times each, all without the interpreter lock (or, with hold_gil, each
// thread dropping its copies inside a GilAcquire scope). The last drop is never on a thread free to release, so the
// reference ends up in the deferred queue; it is not applied here.
PyObject* debug_release_on_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "release_on_threads(obj, threads, copies, hold_gil) takes 4 arguments");
    return nullptr;
  }
  long threads = PyLong_AsLong(args[1]);
  long copies = PyLong_AsLong(args[2]);
  int hold_gil = PyObject_IsTrue(args[3]);
  if (PyErr_Occurred()) return nullptr;
  if (threads < 1 || threads > 64 || copies < 0) {
    PyErr_SetString(PyExc_ValueError, "threads must be in 1..64 and copies >= 0");
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    SharedPyRef base = SharedPyRef::borrow(args[0]);
    {
      GilRelease released;
      std::vector<std::thread> workers;
      std::atomic<long> ready{0};
      for (long t = 0; t < threads; ++t) {
        workers.emplace_back([base, copies, hold_gil, threads, &ready]() mutable {
          ready.fetch_add(1);
          while (ready.load() < threads) std::this_thread::yield();
          std::vector<SharedPyRef> held;
          for (long i = 0; i < copies; ++i) {
            held.push_back(base);
            if (i % 3 == 2) held.erase(held.begin());
          }
          if (hold_gil) {
            GilAcquire gil;
            held.clear();
            base.reset();
          }
        });
      }
      base.reset();  // dropped without the interpreter lock
      for (std::thread& worker : workers) worker.join();
    }
    Py_RETURN_NONE;
  });
}

// hold_attribute_lock(obj, millis, take_gil): a native thread locks obj's attribute map, keeps it for `millis`
// ms, then (with take_gil) takes the interpreter lock while still holding the map, as engine code registering an
// iterable does. Returns once the map is locked. Join with join_threads.
PyObject* debug_hold_attribute_lock(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !is_indexable(args[0])) {
    PyErr_SetString(PyExc_TypeError, "hold_attribute_lock(indexable, millis, take_gil)");
    return nullptr;
  }
  long millis = PyLong_AsLong(args[1]);
  int take_gil = PyObject_IsTrue(args[2]);
  if (PyErr_Occurred()) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    // The handle keeps the object (and so its attribute map) alive until the thread is done with it.
    SharedPyRef keep = SharedPyRef::borrow(args[0]);
    indexable_core(args[0]).hand_to_engine();
    AttributeMap* attributes = &*indexable_core(args[0]).attributes;
    std::atomic<bool> locked{false};
    std::thread holder([keep = std::move(keep), attributes, millis, take_gil, &locked] {
      std::lock_guard lock(attributes->mutex);
      locked.store(true);
      std::this_thread::sleep_for(std::chrono::milliseconds(millis));
      if (take_gil) {
        GilAcquire gil;
        PyRef probe = PyRef::steal(PyLong_FromLong(millis));
      }
    });
    {
      GilRelease released;
      while (!locked.load()) std::this_thread::yield();
    }
    std::lock_guard threads_lock(debug_threads_mutex);
    debug_threads.push_back(std::move(holder));
    Py_RETURN_NONE;
  });
}

PyObject* debug_join_threads(PyObject*, PyObject*) {
  std::vector<std::thread> joining;
  {
    std::lock_guard lock(debug_threads_mutex);
    joining.swap(debug_threads);
  }
  {
    GilRelease released;
    for (std::thread& thread : joining) thread.join();
  }
  apply_deferred_releases();
  Py_RETURN_NONE;
}

// internal_error(message): raises the module's InternalError, as the engine does for its own inconsistencies.
PyObject* debug_internal_error(PyObject*, PyObject* message) {
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    const char* text = PyUnicode_AsUTF8(message);
    if (text == nullptr) throw_python_error();
    throw InternalError(text);
  });
}

PyMethodDef debug_methods[] = {
    {"value", debug_value, METH_O, "Text form of the captured value of obj."},
    {"hash", debug_hash, METH_O, "Hash of the captured value of obj."},
    {"values_equal", as_py_cfunction(debug_values_equal), METH_FASTCALL,
     "Whether the captured values of a and b are equal."},
    {"copy_equal", debug_copy_equal, METH_O, "Whether a copy of the captured value equals the original."},
    {"object_id", debug_object_id, METH_O, "Process-wide id of an Indexable."},
    {"membership_count", debug_membership_count, METH_O, "Live membership records of an Indexable."},
    {"next_fresh_id", debug_next_fresh_id, METH_NOARGS, "The next never-used id the allocator would hand out."},
    {"fail_bulk_stage_after", debug_fail_bulk_stage_after, METH_O,
     "Fails the bulk stage of the object that many stages from now with MemoryError (negative: never)."},
    {"fail_map_merge_after", debug_fail_map_merge_after, METH_O,
     "Fails the value-map merge that many merges from now with MemoryError (negative: never)."},
    {"defer_prunes_from", debug_defer_prunes_from, METH_O,
     "A reduce dropping at least this many objects leaves the rest of its prune to later; returns the former number."},
    {"hold_prune_worker", debug_hold_prune_worker, METH_O,
     "While true, a deferred prune waits for the next writer (or finish_prunes) instead of a worker."},
    {"hold_changes_midway", debug_hold_changes_midway, METH_O,
     "While true, a union or batch into a top-level index waits before publishing its ids, a removal before its values "
     "go."},
    {"changes_waiting", debug_changes_waiting, METH_NOARGS, "How many changes wait where hold_changes_midway holds them."},
    {"fail_next_prune", debug_fail_next_prune, METH_NOARGS,
     "The next deferred prune fails with MemoryError once done, and stays pending to run again."},
    {"finish_prunes", debug_finish_prunes, METH_NOARGS, "Finishes a deferred prune on this thread."},
    {"wait_for_prunes", debug_wait_for_prunes, METH_NOARGS,
     "Waits for the deferred-prune worker to stop, then applies the queued releases."},
    {"pending_releases", debug_pending_releases, METH_NOARGS, "Length of the deferred release queue."},
    {"apply_deferred_releases", debug_apply_deferred_releases, METH_NOARGS, "Applies the queued releases."},
    {"hold_release_queue", debug_hold_release_queue, METH_O,
     "Holds the release queue's lock on a thread of its own for the given milliseconds."},
    {"release_on_threads", as_py_cfunction(debug_release_on_threads), METH_FASTCALL,
     "Shares and drops a reference on native threads."},
    {"hold_attribute_lock", as_py_cfunction(debug_hold_attribute_lock), METH_FASTCALL,
     "Holds an object's attribute-map lock on a native thread."},
    {"join_threads", debug_join_threads, METH_NOARGS, "Joins the threads of the hooks."},
    {"internal_error", debug_internal_error, METH_O, "Raises InternalError(message)."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef debug_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Vostrel._debug",
    .m_doc = "Test hooks of Vostrel; not part of its public interface.",
    .m_size = 0,
    .m_methods = debug_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

void register_debug_module() {
  PyRef module = PyRef::steal(check_py(PyModule_Create2(&debug_module_def, 1013)));
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  if (PyDict_SetItemString(modules, "Vostrel._debug", module.get()) < 0) throw_python_error();
}

}  // namespace vostrel
