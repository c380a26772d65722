// The Python class FilteredIndex: the object struct, its methods and its type object.
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/keyword_selection.hpp"

#include <new>
#include <utility>

#include "index/core/query/query_ops.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/answers.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/interfaces/pickling.hpp"
#include "index/interfaces/index.hpp"
#include "index/interfaces/object_iterator.hpp"
#include "index/interfaces/query.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject filtered_index_type_object{};

const FilteredIndexCore& core_of(PyObject* self) { return reinterpret_cast<FilteredIndexObject*>(self)->core; }
const PyRef& store_of(PyObject* self) { return reinterpret_cast<FilteredIndexObject*>(self)->store; }

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
  view->store.~PyRef();
  view->core.~FilteredIndexCore();
  Py_TYPE(self)->tp_free(self);
}

// A view keeps the whole store of its index alive, through the store's holder.
int filtered_index_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(store_of(self).get());
  return 0;
}

// Without memory for the empty view the cycle stays (the collector ignores the result).
int filtered_index_clear(PyObject* self) {
  auto* view = reinterpret_cast<FilteredIndexObject*>(self);
  try {
    const FilteredIndexCore dropped = std::exchange(view->core, empty_view_core());
    const PyRef holder = std::move(view->store);  // it holds the old store no more
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

PyObject* filtered_index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("reduced", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    const std::vector<QueryExpr> equalities = kwargs_to_query(kwargs);
    FilteredIndexCore narrowed = without_gil([&] { return core_of(self).reduced(equalities); });
    return make_filtered_index(std::move(narrowed), store_of(self)).release();
  });
}

// Evaluated with the interpreter lock released: nothing may wait for an engine lock while holding it.
PyObject* filtered_index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const QueryExpr* expr = query_argument("reduced_query", args, nargs, kwnames);
  if (expr == nullptr) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    FilteredIndexCore narrowed = without_gil([&] { return core_of(self).reduced_query(*expr); });
    return make_filtered_index(std::move(narrowed), store_of(self)).release();
  });
}

// The handles are taken under the store's lock without the interpreter lock; Python references only once it is back.
PyObject* filtered_index_collect(PyObject* self, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const FilteredIndexCore& view = core_of(self);
    if (PyRef fast = try_list_of_stored(view.ids, nullptr, *view.items, view.mark)) {
      return fast.release();
    }
    return list_of_handles(without_gil([&] { return view.with_stored(handles_of_stored); })).release();
  });
}

// A view's ids never change: counting needs no lock.
Py_ssize_t filtered_index_length(PyObject* self) { return static_cast<Py_ssize_t>(core_of(self).ids.cardinality()); }

// `obj in view`: the view holds the object's id and the store still holds the object there (an object that left the
// index, or a later object that reuses its id, is not in the view).
int filtered_index_contains(PyObject* self, PyObject* object) {
  if (!is_indexable(object)) return 0;
  const FilteredIndexCore& core = core_of(self);
  const uint32_t id = indexable_core(object).id;
  if (!core.ids.contains(id)) return 0;
  return guard_python_call<int>(-1, [&] {
    return without_gil([&] {
      return core.with_stored([&](const Bitmap&, const ItemStore<StoredItem>& store, const Bitmap* hidden) {
        if (hidden != nullptr && hidden->contains(id)) return 0;
        return store.find(id) != nullptr && store.find(id)->python_handle.get() == object ? 1 : 0;
      });
    });
  });
}

// Yields what collect() lists, one chunk of the store at a time; the iterator keeps the view (and its ids) alive.
PyObject* filtered_index_iter(PyObject* self) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const FilteredIndexCore& core = core_of(self);
    return make_object_iterator(PyRef::borrow(self), &core.ids, Bitmap(), core.items, PyRef(), core.mark, false)
        .release();
  });
}

PyObject* filtered_index_repr(PyObject* self) {
  const uint64_t count = core_of(self).ids.cardinality();
  return PyUnicode_FromFormat("<FilteredIndex with %llu object%s>", static_cast<unsigned long long>(count),
                              count == 1 ? "" : "s");
}

// A new independent Index over the view's objects; the view stays as it is.
PyObject* filtered_index_rebase(PyObject* self, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    std::shared_ptr<IndexAPI> rebased = without_gil([&] { return IndexAPI::rebase(core_of(self)); });
    return make_index(std::move(rebased)).release();
  });
}

PySequenceMethods filtered_index_as_sequence = {
    filtered_index_length,    // sq_length
    nullptr,                  // sq_concat
    nullptr,                  // sq_repeat
    nullptr,                  // sq_item
    nullptr,                  // was_sq_slice
    nullptr,                  // sq_ass_item
    nullptr,                  // was_sq_ass_slice
    filtered_index_contains,  // sq_contains
    nullptr,                  // sq_inplace_concat
    nullptr,                  // sq_inplace_repeat
};

AnswerSource view_answers(PyObject* self) { return AnswerSource{nullptr, &core_of(self), store_of(self)}; }
using ViewAnswer = AnswerMethods<view_answers>;

PyMethodDef filtered_index_methods[] = {
    {"reduced", as_py_cfunction(filtered_index_reduced), METH_VARARGS | METH_KEYWORDS,
     docs::FILTERED_INDEX_REDUCED},
    {"reduced_query", as_py_cfunction(filtered_index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     docs::FILTERED_INDEX_REDUCED_QUERY},
    {"collect", filtered_index_collect, METH_NOARGS, docs::FILTERED_INDEX_COLLECT},
    {"rebase", filtered_index_rebase, METH_NOARGS, docs::FILTERED_INDEX_REBASE},
    {"sorted_by", as_py_cfunction(ViewAnswer::call<answer_sorted_by>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_SORTED_BY},
    {"value_counts", as_py_cfunction(ViewAnswer::call<answer_value_counts>), METH_VARARGS | METH_KEYWORDS,
     docs::ANSWER_VALUE_COUNTS},
    {"group_by", as_py_cfunction(ViewAnswer::call<answer_group_by>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_GROUP_BY},
    {"sum", as_py_cfunction(ViewAnswer::call<answer_sum>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_SUM},
    {"min", as_py_cfunction(ViewAnswer::call<answer_min>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MIN},
    {"max", as_py_cfunction(ViewAnswer::call<answer_max>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MAX},
    {"mean", as_py_cfunction(ViewAnswer::call<answer_mean>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MEAN},
    {"to_numpy", as_py_cfunction(ViewAnswer::call<answer_to_numpy>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_NUMPY},
    {"to_arrow", as_py_cfunction(ViewAnswer::call<answer_to_arrow>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_ARROW},
    {"to_pandas", as_py_cfunction(ViewAnswer::call<answer_to_pandas>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_PANDAS},
    {"to_dicts", as_py_cfunction(ViewAnswer::call<answer_to_dicts>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_DICTS},
    {"__reduce__", collection_reduce, METH_NOARGS, docs::FILTERED_INDEX_REDUCE_PICKLE},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* filtered_index_type() {
  static const FinalTypeSpec spec{
      .name = "Vostrel.FilteredIndex",
      .basicsize = sizeof(FilteredIndexObject),
      .doc = docs::FILTERED_INDEX,
      .construct = filtered_index_new,
      .dealloc = filtered_index_dealloc,
      .methods = filtered_index_methods,
      .repr = filtered_index_repr,
      .as_sequence = &filtered_index_as_sequence,
      .iter = filtered_index_iter,
      .traverse = filtered_index_traverse,
      .clear = filtered_index_clear,
  };
  return ready_final_type(filtered_index_type_object, spec);
}

PyRef make_filtered_index(FilteredIndexCore core, PyRef store) {
  PyTypeObject* type = filtered_index_type();
  if (type == nullptr) throw_python_error();
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  auto* view = reinterpret_cast<FilteredIndexObject*>(object.get());
  new (&view->core) FilteredIndexCore(std::move(core));
  new (&view->store) PyRef(std::move(store));
  return object;
}

}  // namespace vostrel
