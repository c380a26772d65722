// The Python class Index: the object struct, its methods and its type object.
#include "index/interfaces/index.hpp"
#include "index/interfaces/keyword_selection.hpp"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "index/core/filtered_index.hpp"
#include "index/core/query/query_ops.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/answers.hpp"
#include "index/interfaces/columns.hpp"
#include "index/interfaces/docstrings.hpp"
#include "index/interfaces/pickling.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/interfaces/object_iterator.hpp"
#include "index/interfaces/query.hpp"
#include "index/interfaces/store_holder.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// Filled in by the type getter below (a static type: lives for the process).
PyTypeObject index_type_object{};

IndexAPI& engine_of(PyObject* self) { return *reinterpret_cast<IndexObject*>(self)->engine; }
const PyRef& store_of(PyObject* self) { return reinterpret_cast<IndexObject*>(self)->store; }

// Index() takes no arguments.
// A new Python Index of `type` around `engine`, with a holder of its store.
PyRef wrap_engine(PyTypeObject* type, std::shared_ptr<IndexAPI> engine) {
  PyRef store = make_store_holder(engine->items);
  PyRef object = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  auto* index = reinterpret_cast<IndexObject*>(object.get());
  new (&index->engine) std::shared_ptr<IndexAPI>(std::move(engine));
  new (&index->store) PyRef(std::move(store));
  return object;
}

PyObject* index_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  if (PyTuple_GET_SIZE(args) != 0 || (kwargs != nullptr && PyDict_GET_SIZE(kwargs) != 0)) {
    PyErr_SetString(PyExc_TypeError, "Index() takes no arguments");
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&] { return wrap_engine(type, IndexAPI::create()).release(); });
}

void index_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  auto* index = reinterpret_cast<IndexObject*>(self);
  index->store.~PyRef();
  // Dropping the engine may release the last references to stored objects (and run their finalizers).
  index->engine.~shared_ptr<IndexAPI>();
  Py_TYPE(self)->tp_free(self);
}

// The stored objects are this index's references (an object holding its own index forms a cycle).
int index_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* index = reinterpret_cast<IndexObject*>(self);
  Py_VISIT(index->store.get());
  return 0;
}

// Breaks a cycle: the index becomes empty (its objects are released once the old engine goes).
// Without memory for the new engine the cycle stays (the collector ignores the result).
int index_clear(PyObject* self) {
  auto* index = reinterpret_cast<IndexObject*>(self);
  try {
    const std::shared_ptr<IndexAPI> dropped = std::exchange(index->engine, IndexAPI::create());
    // The new store has no holder: only an index its own finalizers revived could store objects in it, and those
    // then stay alive rather than be collected.
    const PyRef holder = std::move(index->store);
  } catch (const std::bad_alloc&) {
  }
  return 0;
}

PyObject* index_add_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"py_ref", nullptr};
  PyObject* object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_object", const_cast<char**>(names), &object)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    check_storable("py_ref", "Indexable", object);
    const StoredIndexable stored = StoredIndexable::from_py_ref(object);
    without_gil([&] { engine_of(self).add_indexable(stored); });
    Py_RETURN_NONE;
  });
}

// Any iterable of Indexables but a str. Every item is captured and checked before the engine is called, so a bad item
// (or an iterable that fails) inserts nothing; a known length only sizes the capture.
PyObject* index_add_object_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"objs", nullptr};
  PyObject* objs = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:add_object_many", const_cast<char**>(names), &objs)) {
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&] {
    if (PyUnicode_Check(objs)) raise_argument_type("objs", "an iterable of Indexable, not str", objs);
    PyRef iterator = PyRef::steal(PyObject_GetIter(objs));
    if (!iterator) {
      // An __iter__ that raised its own error keeps it; only "not iterable" is reworded.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw_python_error();
      PyErr_Clear();
      raise_argument_type("objs", "an iterable of Indexable", objs);
    }
    const Py_ssize_t hint = PyObject_LengthHint(objs, 0);
    if (hint < 0) throw_python_error();
    std::vector<StoredIndexable> batch;
    batch.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, Py_ssize_t{1} << 24)));
    const auto capture = [&](PyObject* item) {
      check_storable("objs", "an iterable of Indexable", item);
      batch.push_back(StoredIndexable::from_py_ref(item));
    };
    if (PyList_CheckExact(objs) || PyTuple_CheckExact(objs)) {
      // Read in place: capturing runs no Python code, so the sequence cannot change meanwhile; the objects some
      // places ahead are fetched while one is captured (a large batch's objects are mostly out of the cache).
      PyObject** items = PySequence_Fast_ITEMS(objs);
      const Py_ssize_t count = PySequence_Fast_GET_SIZE(objs);
      constexpr Py_ssize_t OBJECT_AHEAD = 16;
      constexpr Py_ssize_t PARTS_AHEAD = 8;
      for (Py_ssize_t pos = 0; pos < count; ++pos) {
        if (pos + OBJECT_AHEAD < count) {
          // The object spans two cache lines: its header, then the records kept in it.
          __builtin_prefetch(items[pos + OBJECT_AHEAD], 1);
          __builtin_prefetch(reinterpret_cast<const char*>(items[pos + OBJECT_AHEAD]) + 64, 1);
        }
        if (pos + PARTS_AHEAD < count && is_indexable(items[pos + PARTS_AHEAD])) {
          __builtin_prefetch(indexable_core(items[pos + PARTS_AHEAD]).attributes->map.storage());
        }
        capture(items[pos]);
      }
    } else {
      while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) capture(item.get());
      if (PyErr_Occurred()) throw_python_error();
    }
    without_gil([&] { engine_of(self).add_indexables(batch); });
    Py_RETURN_NONE;
  });
}

PyObject* index_remove_object(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"py_ref", nullptr};
  PyObject* object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:remove_object", const_cast<char**>(names), &object)) {
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!is_indexable(object)) raise_argument_type("py_ref", "Indexable", object);
    // The caller's reference keeps the object (and so its core) alive while the interpreter lock is given up.
    const IndexableCore& core = indexable_core(object);
    core.hand_to_engine();
    if (!without_gil([&] { return engine_of(self).remove_object(core); })) {
      PyErr_SetString(PyExc_ValueError, "Index.remove_object(py_ref): the object is not in this index");
      throw_python_error();
    }
    Py_RETURN_NONE;
  });
}

// Number of objects held: the cardinality of the id set, read under its lock with the interpreter lock released.
size_t object_count(PyObject* self) {
  return without_gil([&] {
    return engine_of(self).with_stored(
        [](const Bitmap& ids, const ItemStore<StoredItem>&) { return static_cast<size_t>(ids.cardinality()); });
  });
}

Py_ssize_t index_length(PyObject* self) {
  return guard_python_call<Py_ssize_t>(-1, [&] { return static_cast<Py_ssize_t>(object_count(self)); });
}

// `obj in index`: the object itself is stored here (ids are reused once an object is gone, so the id alone is not
// enough). Anything that is not an Indexable is simply not in it.
int index_contains(PyObject* self, PyObject* object) {
  if (!is_indexable(object)) return 0;
  return guard_python_call<int>(-1, [&] {
    const uint32_t id = indexable_core(object).id;
    return without_gil([&] {
      return engine_of(self).with_stored([&](const Bitmap& ids, const ItemStore<StoredItem>& store) {
        return ids.contains(id) && store.find(id) != nullptr && store.find(id)->python_handle.get() == object ? 1 : 0;
      });
    });
  });
}

// Iterates a snapshot of the ids taken now: objects removed meanwhile are skipped, objects added meanwhile not seen.
PyObject* index_iter(PyObject* self) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    IndexAPI& engine = engine_of(self);
    // The mark is taken with the ids still locked: an object stored after the snapshot is one added meanwhile, even
    // at the id of one removed meanwhile.
    PutHistory::Mark mark;
    Bitmap snapshot = without_gil([&] {
      return engine.with_stored([&](const Bitmap& ids, const ItemStore<StoredItem>&) {
        mark = engine.items->history.mark();
        return Bitmap(ids);
      });
    });
    return make_object_iterator(PyRef(), nullptr, std::move(snapshot), engine.items, store_of(self),
                                std::move(mark), true)
        .release();
  });
}

PyObject* index_repr(PyObject* self) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const size_t count = object_count(self);
    return check_py(PyUnicode_FromFormat("<Index with %zu object%s>", count, count == 1 ? "" : "s"));
  });
}

PySequenceMethods index_as_sequence = {
    index_length,    // sq_length
    nullptr,         // sq_concat
    nullptr,         // sq_repeat
    nullptr,         // sq_item
    nullptr,         // was_sq_slice
    nullptr,         // sq_ass_item
    nullptr,         // was_sq_ass_slice
    index_contains,  // sq_contains
    nullptr,         // sq_inplace_concat
    nullptr,         // sq_inplace_repeat
};

PyObject* index_collect(PyObject* self, PyObject*) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    IndexAPI& engine = engine_of(self);
    if (PyRef fast = try_list_of_stored(engine.item_ids->value, &engine.item_ids->mutex, *engine.items)) {
      return fast.release();
    }
    return list_of_handles(without_gil([&] {
             return engine.with_stored([](const Bitmap& ids, const ItemStore<StoredItem>& store) {
               return handles_of_stored(ids, store);
             });
           })).release();
  });
}

PyObject* index_reduced_query(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  const QueryExpr* expr = query_argument("reduced_query", args, nargs, kwnames);
  if (expr == nullptr) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    FilteredIndexCore view = without_gil([&] { return engine_of(self).reduced_query(*expr); });
    return make_filtered_index(std::move(view), store_of(self)).release();
  });
}

// The keyword selection of `reduced` and `get_by_attribute`, evaluated without the interpreter lock.
FilteredIndexCore keyword_selection(PyObject* self, PyObject* kwargs) {
  const std::vector<QueryExpr> equalities = kwargs_to_query(kwargs);
  return without_gil([&] { return engine_of(self).reduced(equalities); });
}

PyObject* index_reduced(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("reduced", args)) return nullptr;
  return guard_python_call<PyObject*>(
      nullptr, [&] { return make_filtered_index(keyword_selection(self, kwargs), store_of(self)).release(); });
}

PyObject* index_get_by_attribute(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("get_by_attribute", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    const FilteredIndexCore view = keyword_selection(self, kwargs);
    if (PyRef fast = try_list_of_stored(view.ids, nullptr, *view.items, view.mark)) {
      return fast.release();
    }
    return list_of_handles(without_gil([&] { return view.with_stored(handles_of_stored); })).release();
  });
}

PyObject* index_reduce(PyObject* self, PyObject* args, PyObject* kwargs) {
  if (!reject_positional("reduce", args)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    const std::vector<QueryExpr> equalities = kwargs_to_query(kwargs);
    without_gil([&] { engine_of(self).reduce(equalities); });
    Py_RETURN_NONE;
  });
}

PyObject* index_union_with(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"other", nullptr};
  PyObject* other = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:union_with", const_cast<char**>(names), &other)) return nullptr;
  return guard_python_call<PyObject*>(nullptr, [&] {
    if (Py_TYPE(other) != index_type()) raise_argument_type("other", "Index", other);
    // New shares: the collector may clear either index while the interpreter lock is given up.
    std::shared_ptr<IndexAPI> target = reinterpret_cast<IndexObject*>(self)->engine;
    std::shared_ptr<IndexAPI> source = reinterpret_cast<IndexObject*>(other)->engine;
    without_gil([&] { target->union_with(*source); });
    Py_RETURN_NONE;
  });
}

// Answers over every object held; the index's own share of its engine, as the collector may clear it meanwhile.
AnswerSource index_answers(PyObject* self) {
  return AnswerSource{reinterpret_cast<IndexObject*>(self)->engine, nullptr, store_of(self)};
}
using IndexAnswer = AnswerMethods<index_answers>;

PyMethodDef index_methods[] = {
    {"add_object", as_py_cfunction(index_add_object), METH_VARARGS | METH_KEYWORDS,
     docs::INDEX_ADD_OBJECT},
    {"add_object_many", as_py_cfunction(index_add_object_many), METH_VARARGS | METH_KEYWORDS,
     docs::INDEX_ADD_OBJECT_MANY},
    {"remove_object", as_py_cfunction(index_remove_object), METH_VARARGS | METH_KEYWORDS,
     docs::INDEX_REMOVE_OBJECT},
    {"collect", index_collect, METH_NOARGS, docs::INDEX_COLLECT},
    {"reduced", as_py_cfunction(index_reduced), METH_VARARGS | METH_KEYWORDS,
     docs::INDEX_REDUCED},
    {"reduced_query", as_py_cfunction(index_reduced_query), METH_FASTCALL | METH_KEYWORDS,
     docs::INDEX_REDUCED_QUERY},
    {"get_by_attribute", as_py_cfunction(index_get_by_attribute), METH_VARARGS | METH_KEYWORDS,
     docs::INDEX_GET_BY_ATTRIBUTE},
    {"reduce", as_py_cfunction(index_reduce), METH_VARARGS | METH_KEYWORDS, docs::INDEX_REDUCE},
    {"union_with", as_py_cfunction(index_union_with), METH_VARARGS | METH_KEYWORDS, docs::INDEX_UNION_WITH},
    {"sorted_by", as_py_cfunction(IndexAnswer::call<answer_sorted_by>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_SORTED_BY},
    {"value_counts", as_py_cfunction(IndexAnswer::call<answer_value_counts>), METH_VARARGS | METH_KEYWORDS,
     docs::ANSWER_VALUE_COUNTS},
    {"group_by", as_py_cfunction(IndexAnswer::call<answer_group_by>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_GROUP_BY},
    {"sum", as_py_cfunction(IndexAnswer::call<answer_sum>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_SUM},
    {"min", as_py_cfunction(IndexAnswer::call<answer_min>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MIN},
    {"max", as_py_cfunction(IndexAnswer::call<answer_max>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MAX},
    {"mean", as_py_cfunction(IndexAnswer::call<answer_mean>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_MEAN},
    {"to_numpy", as_py_cfunction(IndexAnswer::call<answer_to_numpy>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_NUMPY},
    {"to_arrow", as_py_cfunction(IndexAnswer::call<answer_to_arrow>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_ARROW},
    {"to_pandas", as_py_cfunction(IndexAnswer::call<answer_to_pandas>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_PANDAS},
    {"to_dicts", as_py_cfunction(IndexAnswer::call<answer_to_dicts>), METH_VARARGS | METH_KEYWORDS, docs::ANSWER_TO_DICTS},
    {"__reduce__", collection_reduce, METH_NOARGS, docs::INDEX_REDUCE_PICKLE},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* index_type() {
  static const FinalTypeSpec spec{
      .name = "Vostrel.Index",
      .basicsize = sizeof(IndexObject),
      .doc = docs::INDEX,
      .construct = index_new,
      .dealloc = index_dealloc,
      .methods = index_methods,
      .repr = index_repr,
      .as_sequence = &index_as_sequence,
      .iter = index_iter,
      .traverse = index_traverse,
      .clear = index_clear,
  };
  return ready_final_type(index_type_object, spec);
}

PyRef make_index(std::shared_ptr<IndexAPI> engine) {
  PyTypeObject* type = index_type();
  if (type == nullptr) throw_python_error();
  return wrap_engine(type, std::move(engine));
}

}  // namespace vostrel
