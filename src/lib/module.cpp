// The module's entry point: creates Vostrel, registers sum_as_string, the classes and InternalError.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <string>

#include "index/interfaces/collection_guard.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/indexable_state.hpp"
#include "index/interfaces/pickling.hpp"
#include "index/interfaces/query.hpp"
#include "index/core/fork_guard.hpp"
#include "index/core/index.hpp"
#include "index/core/structures/locks/lock_order.hpp"
#include "index/core/writer_gate.hpp"
#include "index/py_ref.hpp"
#include "index/types.hpp"
#ifdef VOSTREL_TEST_HOOKS
#include "test_hooks/debug_hooks.hpp"
#endif
#include "index/errors.hpp"
#include "lib/version.hpp"
#include "index/py_function.hpp"

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

PyMethodDef sum_as_string_def = {"sum_as_string", as_py_cfunction(sum_as_string), METH_FASTCALL | METH_KEYWORDS,
                                 "sum_as_string(a, b)\n--\n\nFormats the sum of two numbers as string."};

// ---- module ----

PyMethodDef asdict_def = {"asdict", indexable_asdict, METH_O, docs::ASDICT};
// What pickles of queries, indexes and views load through (their __reduce__ names them).
PyMethodDef query_from_parts_def = {"_query_from_parts", query_from_parts, METH_O, docs::QUERY_FROM_PARTS};
PyMethodDef index_from_objects_def = {"_index_from_objects", index_from_objects, METH_O, docs::INDEX_FROM_OBJECTS};

PyModuleDef vostrel_module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Vostrel",
    .m_doc = docs::MODULE,
    .m_size = 0,  // no per-module state; a size of -1 would let later interpreters copy the module without asking us
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
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

// At exit, before the interpreter goes: a reduce's deferred prune finishes on its worker thread, which must not
// outlive the interpreter it reports to. What it let go stays queued, as any release queued at exit does.
PyObject* wait_for_prunes_at_exit(PyObject*, PyObject*) {
  GilRelease released;
  wait_for_deferred_prunes();
  Py_RETURN_NONE;
}

PyMethodDef wait_at_exit_def = {"_wait_for_prunes_at_exit", wait_for_prunes_at_exit, METH_NOARGS, nullptr};

void register_exit_wait() {
  PyRef atexit = PyRef::steal(check_py(PyImport_ImportModule("atexit")));
  PyRef function = PyRef::steal(check_py(PyCFunction_NewEx(&wait_at_exit_def, nullptr, nullptr)));
  PyRef done = PyRef::steal(check_py(PyObject_CallMethod(atexit.get(), "register", "O", function.get())));
}

// The engine's fork wait, run from the interpreter's before-fork hooks: they run before the interpreter takes the
// locks it holds across fork(), which an engine call under way may need to finish.
PyObject* prepare_engine_for_fork(PyObject*, PyObject*) {
  prepare_for_fork();
  Py_RETURN_NONE;
}

PyMethodDef prepare_for_fork_def = {"_prepare_for_fork", prepare_engine_for_fork, METH_NOARGS, nullptr};

void register_fork_wait() {
  PyRef os = PyRef::steal(check_py(PyImport_ImportModule("os")));
  if (!PyObject_HasAttrString(os.get(), "register_at_fork")) return;  // no fork on this platform
  PyRef function = PyRef::steal(check_py(PyCFunction_NewEx(&prepare_for_fork_def, nullptr, nullptr)));
  PyRef register_at_fork = PyRef::steal(check_py(PyObject_GetAttrString(os.get(), "register_at_fork")));
  PyRef args = PyRef::steal(check_py(PyTuple_New(0)));
  PyRef kwargs = PyRef::steal(check_py(Py_BuildValue("{s:O}", "before", function.get())));
  PyRef done = PyRef::steal(check_py(PyObject_Call(register_at_fork.get(), args.get(), kwargs.get())));
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
  add_function(module.get(), &asdict_def);
  add_function(module.get(), &query_from_parts_def);
  add_function(module.get(), &index_from_objects_def);
  if (PyModule_AddStringConstant(module.get(), "__version__", VOSTREL_VERSION) < 0) throw_python_error();
#ifdef VOSTREL_TEST_HOOKS
  register_debug_module();
#endif
  create_default_indexables();
  // Made now, where a failed allocation is an ImportError: a write of an object in no index looks it up on a path
  // that cannot report one.
  DEFAULT_INDEX_ARC();
  // First: pthread runs the prepare steps in the reverse order, so a fork takes the queue's lock only after engine
  // calls have finished (they may queue releases on their way out).
  install_release_queue_fork_guard();
  install_fork_guard();
  register_fork_wait();
  register_exit_wait();
  install_collection_guard();
  return module.release();
}

}  // namespace
}  // namespace vostrel

// One-phase initialisation on purpose: the engine's state is process-wide and assumes one interpreter lock. From
// 3.12 CPython itself refuses such a module in an isolated sub-interpreter or one with its own interpreter lock (what
// a `Py_mod_multiple_interpreters` slot saying "not supported" would do); the check below refuses the ones that
// share the main interpreter's settings, which every version allows.
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
