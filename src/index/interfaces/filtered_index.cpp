// The Python class FilteredIndex: the object struct, its methods and its type object.
#include "index/interfaces/filtered_index.hpp"

#include <new>
#include <utility>

#include "index/core/query/query_ops.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/query.hpp"
#include "lib/errors.hpp"

namespace vostrel {
namespace {

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject filtered_index_type_object{};

const FilteredIndexCore& core_of(PyObject* self) { return reinterpret_cast<FilteredIndexObject*>(self)->core; }
const std::shared_ptr<StoreReporter>& reporter_of(PyObject* self) {
  return reinterpret_cast<FilteredIndexObject*>(self)->reporter;
}

FilteredIndexCore empty_view_core() {
  std::shared_ptr<IndexAPI> empty = IndexAPI::create();
  return FilteredIndexCore{empty->query_maps, empty->items, Bitmap()};
}

// Instances come only from Index / FilteredIndex methods.
PyObject* filtered_index_new(PyTypeObject*, PyObject*, PyObject*) {
  PyErr_SetString(PyExc_TypeError, "No constructor defined for FilteredIndex");
  return nullptr;
}

void filtered_index_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* view = reinterpret_cast<FilteredIndexObject*>(self);
  if (view->reporter) view->reporter->resign(self);
  view->reporter.~shared_ptr<StoreReporter>();
  view->core.~FilteredIndexCore();
  Py_TYPE(self)->tp_free(self);
}

// A view keeps the whole store of its index alive; it reports the stored objects once no index (or other view)
// does.
int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* view = reinterpret_cast<FilteredIndexObject*>(self);
  if (!view->core.items || !view->reporter || !view->reporter->claim(self)) return 0;
  return visit_store(*view->core.items, visit, arg);
}

int filtered_index_clear(PyObject* self) {
  auto* view = reinterpret_cast<FilteredIndexObject*>(self);
  if (view->reporter) view->reporter->resign(self);
  FilteredIndexCore dropped = std::exchange(view->core, empty_view_core());
  return 0;
}

PyObject* filtered_index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("reduced", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    const std::vector<QueryExpr> equalities = kwargs_to_query(kwargs);
    FilteredIndexCore narrowed = without_gil([&] { return core_of(self).reduced(equalities); });
    return make_filtered_index(std::move(narrowed), reporter_of(self)).release();
  });
}

// Evaluated with the interpreter lock released: nothing may wait for an engine lock while holding it.
PyObject* filtered_index_reduced_query(PyObject* self, PyObject* args, PyObject* kwargs) {
  const QueryExpr* expr = query_argument("reduced_query", args, kwargs);
  if (expr == nullptr) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    FilteredIndexCore narrowed = without_gil([&] { return core_of(self).reduced_query(*expr); });
    return make_filtered_index(std::move(narrowed), reporter_of(self)).release();
  });
}

// The handles are taken under the store's lock without the interpreter lock; Python references only once it is back.
PyObject* filtered_index_collect(PyObject* self, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    return list_of_handles(without_gil([&] { return core_of(self).with_stored(handles_of_stored); })).release();
  });
}

PyMethodDef filtered_index_methods[] = {
    {"reduced", as_py_cfunction(filtered_index_reduced), METH_VARARGS | METH_KEYWORDS,
     "reduced($self, **kwargs)\n--\n\n"},
    {"reduced_query", as_py_cfunction(filtered_index_reduced_query), METH_VARARGS | METH_KEYWORDS,
     "reduced_query($self, query)\n--\n\n"},
    {"collect", filtered_index_collect, METH_NOARGS, "collect($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* filtered_index_type() {
  static const FinalTypeSpec spec{
      "Vostrel.FilteredIndex",
      sizeof(FilteredIndexObject),
      "",
      filtered_index_new,
      filtered_index_dealloc,
      filtered_index_methods,
      nullptr,
      filtered_index_traverse,
      filtered_index_clear,
  };
  return ready_final_type(filtered_index_type_object, spec);
}

PyRef make_filtered_index(FilteredIndexCore core, std::shared_ptr<StoreReporter> reporter) {
  PyTypeObject* type = filtered_index_type();
  if (type == nullptr) throw_python_error();
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  auto* view = reinterpret_cast<FilteredIndexObject*>(object.get());
  new (&view->core) FilteredIndexCore(std::move(core));
  new (&view->reporter) std::shared_ptr<StoreReporter>(std::move(reporter));
  return object;
}

}  // namespace vostrel
