// The module's entry point: creates Vostrel, registers sum_as_string, the classes and InternalError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "index/core/id_alloc.hpp"
#include "index/indexable.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/query.hpp"
#include "index/py_ref.hpp"
#include "index/types.hpp"
#include "index/value.hpp"
#include "lib/errors.hpp"

namespace vostrel {
namespace {

// ---- sum_as_string ----

// Rewrites the pending conversion error so that its message names the argument; the exception type is kept.
void name_argument_in_error(const char* argument) {
  PyObject* type = PyErr_Occurred();
  if (type == nullptr) return;
  PyRef exception_type = PyRef::borrow(type);
  std::string message = take_python_error_text();
  // take_python_error_text gives "TypeName: message"; keep only the message.
  std::string prefix = std::string(reinterpret_cast<PyTypeObject*>(exception_type.get())->tp_name) + ": ";
  if (message.rfind(prefix, 0) == 0) message.erase(0, prefix.size());
  PyErr_Format(exception_type.get(), "argument '%s': %s", argument, message.c_str());
}

// The argument as an unsigned 64-bit integer through __index__. False with the error set (naming the argument).
bool argument_as_u64(PyObject* value, const char* argument, uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(value));
  if (index) {
    unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
    if (!(converted == static_cast<unsigned long long>(-1) && PyErr_Occurred())) {
      out = converted;
      return true;
    }
  }
  name_argument_in_error(argument);
  return false;
}

// sum_as_string(a, b): decimal text of a + b in wrapping unsigned 64-bit arithmetic.
PyObject* sum_as_string(PyObject* /*module*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  constexpr const char* NAMES[2] = {"a", "b"};
  PyObject* values[2] = {nullptr, nullptr};
  if (nargs > 2) {
    PyErr_Format(PyExc_TypeError, "sum_as_string() takes 2 positional arguments but %zd were given", nargs);
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
  Py_ssize_t keyword_count = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keyword_count; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    int slot = -1;
    for (int i = 0; i < 2; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, NAMES[i]) == 0) slot = i;
    }
    if (slot < 0) {
      PyErr_Format(PyExc_TypeError, "sum_as_string() got an unexpected keyword argument '%U'", key);
      return nullptr;
    }
    if (values[slot] != nullptr) {
      PyErr_Format(PyExc_TypeError, "sum_as_string() got multiple values for argument '%s'", NAMES[slot]);
      return nullptr;
    }
    values[slot] = args[nargs + k];
  }
  if (values[0] == nullptr && values[1] == nullptr) {
    PyErr_SetString(PyExc_TypeError, "sum_as_string() missing 2 required positional arguments: 'a' and 'b'");
    return nullptr;
  }
  for (int i = 0; i < 2; ++i) {
    if (values[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "sum_as_string() missing 1 required positional argument: '%s'", NAMES[i]);
      return nullptr;
    }
  }
  uint64_t a = 0;
  uint64_t b = 0;
  if (!argument_as_u64(values[0], NAMES[0], a) || !argument_as_u64(values[1], NAMES[1], b)) return nullptr;
  std::string text = std::to_string(a + b);  // unsigned: wraps modulo 2^64
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

// A METH_FASTCALL function travels through the PyCFunction slot of the method table.
template <class F>
PyCFunction as_method(F* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

PyMethodDef sum_as_string_def = {"sum_as_string", as_method(sum_as_string), METH_FASTCALL | METH_KEYWORDS,
                                 "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// ---- test hooks (leading underscore: not part of the public surface) ----

// Native threads started by the hooks below; joined by _debug_join_threads.
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
    PyErr_SetString(PyExc_TypeError, "_debug_values_equal(a, b) takes 2 arguments");
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
    PyErr_SetString(PyExc_TypeError, "_debug_object_id() expects an Indexable");
    return nullptr;
  }
  return PyLong_FromUnsignedLong(indexable_core(obj).id);
}

PyObject* debug_next_fresh_id(PyObject*, PyObject*) {
  return PyLong_FromUnsignedLongLong(id_alloc_testing::next_fresh_id());
}

PyObject* debug_pending_releases(PyObject*, PyObject*) { return PyLong_FromSize_t(pending_release_count()); }

PyObject* debug_apply_deferred_releases(PyObject*, PyObject*) {
  apply_deferred_releases();
  Py_RETURN_NONE;
}

// _debug_release_on_threads(obj, threads, copies, hold_gil): shares one reference to obj among `threads` native
// threads that copy and drop it `copies` times each, all without the interpreter lock (or, with hold_gil, each
// thread dropping its copies inside a GilAcquire scope). The last drop is never on a thread free to release, so the
// reference ends up in the deferred queue; it is not applied here.
PyObject* debug_release_on_threads(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "_debug_release_on_threads(obj, threads, copies, hold_gil) takes 4 arguments");
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

// _debug_hold_attribute_lock(obj, millis, take_gil): a native thread locks obj's attribute map, keeps it for `millis`
// ms, then (with take_gil) takes the interpreter lock while still holding the map, as engine code registering an
// iterable does. Returns once the map is locked. Join with _debug_join_threads.
PyObject* debug_hold_attribute_lock(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3 || !is_indexable(args[0])) {
    PyErr_SetString(PyExc_TypeError, "_debug_hold_attribute_lock(indexable, millis, take_gil)");
    return nullptr;
  }
  long millis = PyLong_AsLong(args[1]);
  int take_gil = PyObject_IsTrue(args[2]);
  if (PyErr_Occurred()) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    std::shared_ptr<AttributeMap> attributes = indexable_core(args[0]).attributes;
    std::atomic<bool> locked{false};
    std::thread holder([attributes, millis, take_gil, &locked] {
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

PyMethodDef debug_methods[] = {
    {"_debug_value", debug_value, METH_O, "Text form of the captured value of obj."},
    {"_debug_hash", debug_hash, METH_O, "Hash of the captured value of obj."},
    {"_debug_values_equal", as_method(debug_values_equal), METH_FASTCALL,
     "Whether the captured values of a and b are equal."},
    {"_debug_copy_equal", debug_copy_equal, METH_O, "Whether a copy of the captured value equals the original."},
    {"_debug_object_id", debug_object_id, METH_O, "Process-wide id of an Indexable."},
    {"_debug_next_fresh_id", debug_next_fresh_id, METH_NOARGS, "The next never-used id the allocator would hand out."},
    {"_debug_pending_releases", debug_pending_releases, METH_NOARGS, "Length of the deferred release queue."},
    {"_debug_apply_deferred_releases", debug_apply_deferred_releases, METH_NOARGS, "Applies the queued releases."},
    {"_debug_release_on_threads", as_method(debug_release_on_threads), METH_FASTCALL,
     "Shares and drops a reference on native threads."},
    {"_debug_hold_attribute_lock", as_method(debug_hold_attribute_lock), METH_FASTCALL,
     "Holds an object's attribute-map lock on a native thread."},
    {"_debug_join_threads", debug_join_threads, METH_NOARGS, "Joins the threads of the hooks."},
    {nullptr, nullptr, 0, nullptr},
};

// ---- module ----

PyModuleDef vostrel_module_def = {
    PyModuleDef_HEAD_INIT,
    "Vostrel",
    "Vostrel is a Python module of in-memory attribute indexes over live Python objects.",
    0,  // no per-module state; a size of -1 would let later interpreters copy the module without asking us
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

// The interpreter that first initialised the module; -1 until then.
std::atomic<int64_t> owner_interpreter{-1};
// The module, once fully built; handed out again to later initialisations (interpreter lock held).
PyObject* module_object = nullptr;

// Adds the built-in function under its own __name__.
void add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(check_py(PyUnicode_FromString("Vostrel")));
  PyRef function = PyRef::steal(check_py(PyCFunction_NewEx(def, module, module_name.get())));
  PyRef name = PyRef::steal(check_py(PyObject_GetAttrString(function.get(), "__name__")));
  if (!PyUnicode_Check(name.get())) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be a str");
    throw_python_error();
  }
  if (PyModule_AddObjectRef(module, PyUnicode_AsUTF8(name.get()), function.get()) < 0) throw_python_error();
}

void add_type(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) throw_python_error();
  if (PyModule_AddObjectRef(module, name, reinterpret_cast<PyObject*>(type)) < 0) throw_python_error();
}

PyObject* build_module() {
  PyRef module = PyRef::steal(check_py(PyModule_Create2(&vostrel_module_def, 1013)));
  add_function(module.get(), &sum_as_string_def);
  add_type(module.get(), "Index", index_type());
  add_type(module.get(), "Indexable", indexable_type());
  add_type(module.get(), "FilteredIndex", filtered_index_type());
  add_type(module.get(), "PyQueryExpr", query_expr_type());
  PyObject* internal_error = internal_error_type();
  if (internal_error == nullptr) throw_python_error();
  if (PyModule_AddObjectRef(module.get(), "InternalError", internal_error) < 0) throw_python_error();
  for (PyMethodDef* def = debug_methods; def->ml_name != nullptr; ++def) add_function(module.get(), def);
  create_default_indexables();
  return module.release();
}

}  // namespace
}  // namespace vostrel

PyMODINIT_FUNC PyInit_Vostrel(void) {
  using namespace vostrel;
  int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (interpreter == -1) return nullptr;
  int64_t expected = -1;
  if (!owner_interpreter.compare_exchange_strong(expected, interpreter) && expected != interpreter) {
    PyErr_SetString(PyExc_ImportError,
                    "Vostrel does not support sub-interpreters: it can only be imported in one interpreter per "
                    "process");
    return nullptr;
  }
  if (module_object != nullptr) return Py_NewRef(module_object);
  PyObject* module = guard_python_call<PyObject*>(nullptr, [] { return build_module(); });
  if (module == nullptr) return nullptr;
  module_object = module;
  return Py_NewRef(module_object);
}
