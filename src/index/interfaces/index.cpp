// The Python class Index: the object struct, its methods and its type object.
#include "index/interfaces/index.hpp"

#include <new>
#include <utility>

#include "index/core/filtered_index.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/indexable.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/query.hpp"
#include "lib/errors.hpp"

namespace vostrel {
namespace {

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject index_type_object{};

IndexAPI& engine_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->engine; }
const std::shared_ptr<StoreReporter>& reporter_of(PyObject* self) { return reinterpret_cast<IndexObject*>(self)->reporter; }

// Index() takes no arguments.
PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Index() takes no arguments");
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&] {
    PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
    auto* index = reinterpret_cast<IndexObject*>(object.get());
    new (&index->engine) std::shared_ptr<IndexAPI>(IndexAPI::create());
    new (&index->reporter) std::shared_ptr<StoreReporter>(std::make_shared<StoreReporter>());
    index->reporter->reporter = object.get();
    return object.release();
  });
}

void index_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* index = reinterpret_cast<IndexObject*>(self);
  if (index->reporter) index->reporter->resign(self);
  index->reporter.~shared_ptr<StoreReporter>();
  // Dropping the engine may release the last references to stored objects (and run their finalizers).
  index->engine.~shared_ptr<IndexAPI>();
  Py_TYPE(self)->tp_free(self);
}

// The stored objects are this index's references (an object holding its own index forms a cycle).
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* index = reinterpret_cast<IndexObject*>(self);
  if (!index->engine || !index->reporter || !index->reporter->claim(self)) return 0;
  return visit_store(*index->engine->items, visit, arg);
}

// Breaks a cycle: the index becomes empty (its objects are released once the old engine goes).
int index_clear(PyObject* self) {
  auto* index = reinterpret_cast<IndexObject*>(self);
  if (index->reporter) index->reporter->resign(self);
  std::shared_ptr<IndexAPI> dropped = std::exchange(index->engine, IndexAPI::create());
  dropped.reset();
  return 0;
}

PyObject* index_add_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"py_ref", nullptr};
  PyObject* object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_object", const_cast<char**>(names), &object)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    if (!is_indexable(object)) raise_argument_type("py_ref", "Indexable", object);
    const StoredIndexable stored = StoredIndexable::from_py_ref(object);
    without_gil([&] { engine_of(self).add_indexable(stored); });
    Py_RETURN_NONE;
  });
}

PyObject* index_collect(PyObject* self, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    return list_of_handles(without_gil([&] { return engine_of(self).with_stored(handles_of_stored); })).release();
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  const QueryExpr* expr = query_argument("reduced_query", args, kwargs);
  if (expr == nullptr) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    FilteredIndexCore view = without_gil([&] { return engine_of(self).reduced_query(*expr); });
    return make_filtered_index(std::move(view), reporter_of(self)).release();
  });
}

// The keyword selection of `reduced` and `get_by_attribute`, evaluated without the interpreter lock.
FilteredIndexCore keyword_selection(PyObject* self, PyObject* kwargs) {
  const std::vector<QueryExpr> equalities = kwargs_to_query(kwargs);
  return without_gil([&] { return engine_of(self).reduced(equalities); });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("reduced", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr,
                                      [&] { return make_filtered_index(keyword_selection(self, kwargs), reporter_of(self)).release(); });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("get_by_attribute", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    const FilteredIndexCore view = keyword_selection(self, kwargs);
    return list_of_handles(without_gil([&] { return view.with_stored(handles_of_stored); })).release();
  });
}

PyMethodDef index_methods[] = {
    {"add_object", as_py_cfunction(index_add_object), METH_VARARGS | METH_KEYWORDS,
     "add_object($self, py_ref)\n--\n\n"},
    {"collect", index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {"reduced", as_py_cfunction(index_reduced), METH_VARARGS | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", as_py_cfunction(index_reduced_query), METH_VARARGS | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"get_by_attribute", as_py_cfunction(index_get_by_attribute), METH_VARARGS | METH_KEYWORDS,
     "get_by_attribute($self, **kwargs)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* index_type() {
  static const FinalTypeSpec spec{
      "Vostrel.Index",
      sizeof(IndexObject),
      "Index()\n--\n\n",
      index_new,
      index_dealloc,
      index_methods,
      nullptr,
      index_traverse,
      index_clear,
  };
  return ready_final_type(index_type_object, spec);
}

}  // namespace vostrel
