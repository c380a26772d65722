// The answer methods Index and FilteredIndex share (see answers.hpp).
#include "index/interfaces/answers.hpp"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

#include "index/core/answers/aggregates.hpp"
#include "index/core/answers/answer_scope.hpp"
#include "index/core/answers/grouping.hpp"
#include "index/core/answers/ordering.hpp"
#include "index/interfaces/common.hpp"
#include "index/interfaces/filtered_index.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// Runs `body(scope)` over the source's scope, interpreter lock released; the scope's locks go before it is back.
template <class F>
auto over_scope(const AnswerSource& source, F&& body) {
  return without_gil([&] {
    if (source.view != nullptr) {
      const AnswerScope scope(*source.view);
      return body(scope);
    }
    const AnswerScope scope(*source.index);
    return body(scope);
  });
}

// The one positional-or-keyword argument `attr`, as text; a TypeError for anything but a str.
SmallString attribute_argument(const char* method, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attr", nullptr};
  PyObject* attr = nullptr;
  const std::string format = std::string("O:") + method;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), &attr)) {
    throw_python_error();
  }
  return text_argument("attr", attr);
}


// The handles of the objects stored at `ids`, in that order (ids the store does not hold are skipped). An order by
// value visits the objects' records in no memory order: each fetched some items ahead (visit_stored_ahead).
std::vector<SharedPyRef> handles_in_order(const ItemStore<StoredItem>& store, const std::vector<uint32_t>& ids) {
  std::vector<SharedPyRef> handles;
  handles.reserve(ids.size());
  for (size_t at = 0; at < ids.size(); at += STORED_BATCH) {
    const auto count = static_cast<uint32_t>(std::min<size_t>(STORED_BATCH, ids.size() - at));
    visit_stored_ahead(store, ids.data() + at, count, [&](const StoredItem* item) {
      if (item != nullptr) handles.push_back(item->python_handle);
    });
  }
  return handles;
}

// list_of_handles for objects in no memory order: each object's count is fetched some items ahead.
PyRef list_in_order(const std::vector<SharedPyRef>& handles) {
  constexpr size_t AHEAD = 8;
  PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(handles.size()))));
  for (size_t at = 0; at < handles.size(); ++at) {
    if (at + AHEAD < handles.size()) __builtin_prefetch(handles[at + AHEAD].get(), 1);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(at), Py_NewRef(handles[at].get()));
  }
  return list;
}

// A number read back from its key: an int while the attribute only ever held ints (and for an int a double cannot
// hold), else a float.
PyRef number_to_python(OrderedKey key, bool floats_held) {
  const DecodedNumber number = DecodedNumber::of(key);
  if (!number.integral() || (floats_held && number.fits_double())) {
    return PyRef::steal(check_py(PyFloat_FromDouble(number.to_double())));
  }
  if (number.kind == DecodedNumber::Kind::Zero) return PyRef::steal(check_py(PyLong_FromLong(0)));
  PyRef magnitude = PyRef::steal(check_py(PyLong_FromUnsignedLongLong(number.mantissa)));
  if (number.exponent > 0) {
    const PyRef shift = PyRef::steal(check_py(PyLong_FromLong(number.exponent)));
    magnitude = PyRef::steal(check_py(PyNumber_Lshift(magnitude.get(), shift.get())));
  }
  if (!number.negative) return magnitude;
  return PyRef::steal(check_py(PyNumber_Negative(magnitude.get())));
}

// Sum of value x count over ints no key holds, as an exact Python int; null when there are none.
PyRef unkeyed_total(const UnkeyedInts& unkeyed) {
  if (unkeyed.empty()) return PyRef();
  PyRef total = PyRef::steal(check_py(PyLong_FromLong(0)));
  for (const auto& [value, count] : unkeyed) {
    const PyRef number = value.to_python();
    const PyRef times = PyRef::steal(check_py(PyLong_FromUnsignedLongLong(count)));
    const PyRef product = PyRef::steal(check_py(PyNumber_Multiply(number.get(), times.get())));
    total = PyRef::steal(check_py(PyNumber_Add(total.get(), product.get())));
  }
  return total;
}

uint64_t count_of(const NumberTotal& total) {
  uint64_t count = total.sum.count();
  for (const auto& [value, held] : total.unkeyed) count += held;
  return count;
}

// An integral sum as an exact Python int.
PyRef exact_int(const ExactSum& sum) {
  int64_t small = 0;
  if (sum.to_int64(small)) return PyRef::steal(check_py(PyLong_FromLongLong(small)));
  const std::string hex = sum.integer_hex();
  return PyRef::steal(check_py(PyLong_FromString(hex.c_str(), nullptr, 16)));
}

// The total as Python reads it: an exact int for ints only, else the correctly rounded float; 0 for no numbers.
// Ints beyond what keys hold join the keyed sum as Python ints, exactly, before the one rounding of a float total;
// only a keyed sum with a fractional part is rounded before they join it.
PyRef total_to_python(const NumberTotal& total) {
  const PyRef unkeyed = unkeyed_total(total.unkeyed);
  if (!unkeyed && total.sum.count() == 0) return PyRef::steal(check_py(PyLong_FromLong(0)));
  if (!total.sum.integral()) {
    PyRef sum = PyRef::steal(check_py(PyFloat_FromDouble(total.sum.to_double())));
    if (!unkeyed) return sum;
    const PyRef rest = PyRef::steal(check_py(PyNumber_Float(unkeyed.get())));
    return PyRef::steal(check_py(PyNumber_Add(sum.get(), rest.get())));
  }
  PyRef whole = exact_int(total.sum);
  if (unkeyed) whole = PyRef::steal(check_py(PyNumber_Add(whole.get(), unkeyed.get())));
  if (!total.floats_held) return whole;
  return PyRef::steal(check_py(PyNumber_Float(whole.get())));
}

PyRef group_key(const ValueGroup& group, bool floats_held) {
  switch (group.kind) {
    case ValueGroup::Kind::Number: return number_to_python(group.number, floats_held);
    case ValueGroup::Kind::Bool: return PyRef::borrow(group.flag ? Py_True : Py_False);
    case ValueGroup::Kind::Text:
    case ValueGroup::Kind::Other: return group.value.to_python();
  }
  return PyRef::borrow(Py_None);
}

NumberTotal total_of(const AnswerSource& source, const SmallString& attribute) {
  return over_scope(source, [&](const AnswerScope& scope) { return number_total(scope, attribute.view()); });
}

PyObject* extreme(const char* method, const AnswerSource& source, PyObject* args, PyObject* kwargs, bool largest) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = attribute_argument(method, args, kwargs);
    const std::optional<NumberExtreme> found = over_scope(
        source, [&](const AnswerScope& scope) { return number_extreme(scope, attribute.view(), largest); });
    if (!found) Py_RETURN_NONE;
    // Ints no key holds are compared as Python compares them, with the keyed extreme (if any).
    PyRef best = found->key ? number_to_python(*found->key, found->floats_held) : PyRef();
    for (const auto& [value, count] : found->unkeyed) {
      PyRef candidate = value.to_python();
      if (!best) {
        best = std::move(candidate);
        continue;
      }
      const int better = PyObject_RichCompareBool(candidate.get(), best.get(), largest ? Py_GT : Py_LT);
      if (better < 0) throw_python_error();
      if (better == 1) best = std::move(candidate);
    }
    return best.release();
  });
}

}  // namespace

PyObject* answer_sorted_by(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attr", "reverse", "limit", "offset", nullptr};
  PyObject* attr = nullptr;
  int reverse = 0;
  PyObject* limit = nullptr;
  PyObject* offset = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$pOO:sorted_by", const_cast<char**>(names), &attr, &reverse,
                                   &limit, &offset)) {
    return nullptr;
  }
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = text_argument("attr", attr);
    OrderRequest request;
    request.descending = reverse != 0;
    request.limit = count_argument("limit", limit, true);
    request.offset = count_argument("offset", offset, false).value_or(0);
    const std::vector<SharedPyRef> handles = over_scope(source, [&](const AnswerScope& scope) {
      return handles_in_order(scope.store(), ordered_ids(scope, attribute.view(), request));
    });
    return list_in_order(handles).release();
  });
}

PyObject* answer_value_counts(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = attribute_argument("value_counts", args, kwargs);
    const ValueGroups answer = over_scope(
        source, [&](const AnswerScope& scope) { return value_groups(scope, attribute.view(), false); });
    PyRef counts = PyRef::steal(check_py(PyDict_New()));
    for (const ValueGroup& group : answer.groups) {
      const PyRef key = group_key(group, answer.floats_held);
      uint64_t count = group.count;
      // A value another kind already gave the same key (a Decimal equal to a number) adds to its count.
      if (PyObject* earlier = PyDict_GetItemWithError(counts.get(), key.get())) {
        count += PyLong_AsUnsignedLongLong(earlier);
      } else if (PyErr_Occurred()) {
        throw_python_error();
      }
      const PyRef value = PyRef::steal(check_py(PyLong_FromUnsignedLongLong(count)));
      if (PyDict_SetItem(counts.get(), key.get(), value.get()) < 0) throw_python_error();
    }
    return counts.release();
  });
}

PyObject* answer_group_by(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = attribute_argument("group_by", args, kwargs);
    struct Answer {
      ValueGroups groups;
      PutHistory::Mark mark;
    };
    Answer answer = over_scope(source, [&](const AnswerScope& scope) {
      return Answer{value_groups(scope, attribute.view(), true), scope.mark()};
    });
    const std::shared_ptr<RwLocked<QueryMaps>>& maps = source.view ? source.view->query_maps : source.index->query_maps;
    const std::shared_ptr<ItemList>& items = source.view ? source.view->items : source.index->items;
    PyRef groups = PyRef::steal(check_py(PyDict_New()));
    for (ValueGroup& group : answer.groups.groups) {
      const PyRef key = group_key(group, answer.groups.floats_held);
      const PyRef view =
          make_filtered_index(FilteredIndexCore{maps, items, std::move(group.ids), answer.mark}, source.store);
      if (PyDict_SetItem(groups.get(), key.get(), view.get()) < 0) throw_python_error();
    }
    return groups.release();
  });
}

PyObject* answer_sum(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = attribute_argument("sum", args, kwargs);
    return total_to_python(total_of(source, attribute)).release();
  });
}

PyObject* answer_mean(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const SmallString attribute = attribute_argument("mean", args, kwargs);
    const NumberTotal total = total_of(source, attribute);
    if (count_of(total) == 0) Py_RETURN_NONE;
    // Python's own division: an int total over the count rounds once, as statistics.fmean would.
    const PyRef sum = total_to_python(total);
    const PyRef count = PyRef::steal(check_py(PyLong_FromUnsignedLongLong(count_of(total))));
    return check_py(PyNumber_TrueDivide(sum.get(), count.get()));
  });
}

PyObject* answer_min(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return extreme("min", source, args, kwargs, false);
}

PyObject* answer_max(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return extreme("max", source, args, kwargs, true);
}

}  // namespace vostrel
