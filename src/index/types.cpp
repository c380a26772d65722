// Process-wide cached types that drive value classification, and the shared placeholder Indexable.
#include "index/types.hpp"

#include <atomic>
#include <initializer_list>
#include <thread>

#include "index/object_record.hpp"
#include "index/core/structures/internal_error.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// One-time initialisation that may run Python code (an import). A C++ static guard would be wrong here: a thread
// blocked on it while holding the interpreter lock would wait for ever for the initialising thread, which needs that
// lock to finish the import. Waiters therefore give the lock up while they wait (lock_releasing_gil). A re-entry from
// the initialising thread itself (e.g. a __del__ run during the import) returns at once and sees the state so far.
class GilOnce {
 public:
  // Interpreter lock held.
  template <class F>
  void call(F&& init) {
    if (done_.load(std::memory_order_acquire)) return;
    if (initialiser_.load(std::memory_order_relaxed) == std::this_thread::get_id()) return;
    std::unique_lock lock = lock_releasing_gil(mutex_);
    if (done_.load(std::memory_order_relaxed)) return;
    initialiser_.store(std::this_thread::get_id(), std::memory_order_relaxed);
    init();
    initialiser_.store(std::thread::id(), std::memory_order_relaxed);
    done_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> done_{false};
  std::atomic<std::thread::id> initialiser_{};
  std::mutex mutex_;
};

// numpy.<name> if it is a type; every failure is swallowed. The reference is kept for the process.
PyTypeObject* load_numpy_type(const char* name) noexcept {
  PyObject* numpy = PyImport_ImportModule("numpy");
  if (numpy == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  PyObject* attribute = PyObject_GetAttrString(numpy, name);
  Py_DECREF(numpy);
  if (attribute == nullptr) {
    PyErr_Clear();
    return nullptr;
  }
  if (!PyType_Check(attribute)) {
    Py_DECREF(attribute);
    return nullptr;
  }
  return reinterpret_cast<PyTypeObject*>(attribute);
}

struct NumpyCell {
  GilOnce once;
  PyTypeObject* type = nullptr;  // written once inside `once`
};

PyTypeObject* numpy_cell(NumpyCell& cell, const char* name) {
  cell.once.call([&] { cell.type = load_numpy_type(name); });
  return cell.type;
}

struct NumpyListCell {
  GilOnce once;
  std::vector<PyTypeObject*> types;  // written once inside `once`
};

const std::vector<PyTypeObject*>& numpy_list_cell(NumpyListCell& cell, std::initializer_list<const char*> names) {
  cell.once.call([&] {
    for (const char* name : names) {
      if (PyTypeObject* type = load_numpy_type(name)) cell.types.push_back(type);
    }
  });
  return cell.types;
}

struct TableCell {
  explicit TableCell(PyTypeObject* builtin) { table.builtin = builtin; }
  GilOnce once;
  TypeTable table;  // numpy entries written once inside `once`
};

// Fills the numpy part of a table: the main counterpart first, then `others` (duplicates skipped: on some platforms
// two of numpy's names are one type).
const TypeTable& table_cell(TableCell& cell, PyTypeObject* (*numpy)(),
                            const std::vector<PyTypeObject*>& (*others)() = nullptr) {
  cell.once.call([&] {
    TypeTable& table = cell.table;
    auto add = [&table](PyTypeObject* type) {
      if (type == nullptr || table.contains(type) || table.numpy_count == TypeTable::MAX_NUMPY_TYPES) return;
      table.numpy[table.numpy_count++] = type;
    };
    add(numpy());
    if (others != nullptr) {
      for (PyTypeObject* type : others()) add(type);
    }
  });
  return cell.table;
}

// Process-wide placeholders; never destroyed (their release would need the interpreter after it is gone).
std::atomic<const SharedPyRef*> default_py_indexable{nullptr};

}  // namespace

PyTypeObject* PY_INT_TYPE_CELL() noexcept { return &PyLong_Type; }
PyTypeObject* PY_FLOAT_TYPE_CELL() noexcept { return &PyFloat_Type; }
PyTypeObject* PY_STR_TYPE_CELL() noexcept { return &PyUnicode_Type; }
PyTypeObject* PY_BOOL_TYPE_CELL() noexcept { return &PyBool_Type; }

PyTypeObject* NP_INT64_CELL() {
  static NumpyCell cell;
  return numpy_cell(cell, "int64");
}
PyTypeObject* NP_FLOAT64_CELL() {
  static NumpyCell cell;
  return numpy_cell(cell, "float64");
}
PyTypeObject* NP_STR_CELL() {
  static NumpyCell cell;
  return numpy_cell(cell, "str_");
}
PyTypeObject* NP_BOOL_CELL() {
  static NumpyCell cell;
  return numpy_cell(cell, "bool");
}

const std::vector<PyTypeObject*>& NP_OTHER_INT_CELLS() {
  static NumpyListCell cell;
  return numpy_list_cell(cell,
                         {"int8", "int16", "int32", "uint8", "uint16", "uint32", "uint64", "longlong", "ulonglong"});
}
const std::vector<PyTypeObject*>& NP_OTHER_FLOAT_CELLS() {
  static NumpyListCell cell;
  return numpy_list_cell(cell, {"float16", "float32"});
}

// Every numpy integer and float width is a number: its value converts exactly through __index__ / __float__.
const TypeTable& INT_TYPES() {
  static TableCell cell(PY_INT_TYPE_CELL());
  return table_cell(cell, NP_INT64_CELL, NP_OTHER_INT_CELLS);
}
const TypeTable& FLOAT_TYPES() {
  static TableCell cell(PY_FLOAT_TYPE_CELL());
  return table_cell(cell, NP_FLOAT64_CELL, NP_OTHER_FLOAT_CELLS);
}
const TypeTable& STR_TYPES() {
  static TableCell cell(PY_STR_TYPE_CELL());
  return table_cell(cell, NP_STR_CELL);
}
const TypeTable& BOOL_TYPES() {
  static TableCell cell(PY_BOOL_TYPE_CELL());
  return table_cell(cell, NP_BOOL_CELL);
}

namespace {
std::atomic<PyTypeObject*> indexable_type_registered{nullptr};
}  // namespace

PyTypeObject* INDEXABLE_TYPE() noexcept { return indexable_type_registered.load(std::memory_order_acquire); }
void register_indexable_type(PyTypeObject* type) noexcept {
  indexable_type_registered.store(type, std::memory_order_release);
}

const std::shared_ptr<const IndexableCore>& DEFAULT_INDEXABLE_ARC() {
  // Needs no interpreter: a plain thread-safe static, never destroyed.
  static const std::shared_ptr<const IndexableCore>* arc =
      std::make_unique<std::shared_ptr<const IndexableCore>>(
          std::make_shared<const IndexableCore>(IndexableCore::create()))
          .release();
  return *arc;
}

const SharedPyRef& DEFAULT_PY_INDEXABLE_ARC() {
  const SharedPyRef* arc = default_py_indexable.load(std::memory_order_acquire);
  if (arc == nullptr) throw InternalError("the placeholder Indexable is made at module import");
  return *arc;
}

bool is_placeholder(PyObject* obj) noexcept {
  const SharedPyRef* arc = default_py_indexable.load(std::memory_order_acquire);
  return arc != nullptr && arc->get() == obj;
}

void create_default_indexables() {
  DEFAULT_INDEXABLE_ARC();
  if (default_py_indexable.load(std::memory_order_acquire) != nullptr) return;
  PyTypeObject* type = INDEXABLE_TYPE();
  if (type == nullptr) throw InternalError("the Indexable type is registered before the placeholder is made");
  // An Indexable without attributes: a fresh record with an id of its own, like any new object.
  PyRef object = PyRef::steal(check_py(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(type))));
  indexable_core(object.get()).hand_to_engine();  // the engine hands it out in place of objects it no longer holds
  auto arc = std::make_unique<SharedPyRef>(SharedPyRef(std::move(object)));
  default_py_indexable.store(arc.release(), std::memory_order_release);
}

}  // namespace vostrel
