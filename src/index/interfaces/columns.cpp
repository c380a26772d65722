// The column methods Index and FilteredIndex share (see columns.hpp).
#include "index/interfaces/columns.hpp"

#include <bit>
#include <limits>
#include <memory>
#include <string>
#include <optional>
#include <unordered_set>
#include <utility>
#include <vector>

#include "index/core/answers/columns.hpp"
#include "index/core/structures/string_interner/interner.hpp"
#include "index/interfaces/indexable.hpp"
#include "index/interfaces/columns_helper.hpp"
#include "index/interfaces/common.hpp"
#include "index/errors.hpp"

namespace vostrel {
namespace {

// The helper module's namespace, run once per interpreter and kept in the interpreter's own dict (a function of
// one interpreter is never called from another). Borrowed.
PyObject* helper_namespace() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter state for the column helper");
    throw_python_error();
  }
  static const char* KEY = "Vostrel._columns";
  if (PyObject* kept = PyDict_GetItemString(state, KEY)) return kept;
  PyRef globals = PyRef::steal(check_py(PyDict_New()));
  if (PyDict_SetItemString(globals.get(), "__builtins__", PyEval_GetBuiltins()) < 0) throw_python_error();
  const PyRef name = PyRef::steal(check_py(PyUnicode_FromString(KEY)));
  if (PyDict_SetItemString(globals.get(), "__name__", name.get()) < 0) throw_python_error();
  const PyRef ran =
      PyRef::steal(check_py(PyRun_String(columns_helper::SOURCE, Py_file_input, globals.get(), globals.get())));
  if (PyDict_SetItemString(state, KEY, globals.get()) < 0) throw_python_error();
  return globals.get();  // the interpreter's dict holds it now
}

PyRef call_helper(const char* function, std::initializer_list<PyObject*> arguments) {
  PyObject* callable = PyDict_GetItemString(helper_namespace(), function);
  if (callable == nullptr) {
    PyErr_Format(PyExc_RuntimeError, "the column helper has no %s", function);
    throw_python_error();
  }
  PyRef tuple = PyRef::steal(check_py(PyTuple_New(static_cast<Py_ssize_t>(arguments.size()))));
  Py_ssize_t at = 0;
  for (PyObject* argument : arguments) PyTuple_SET_ITEM(tuple.get(), at++, Py_NewRef(argument));
  return PyRef::steal(check_py(PyObject_Call(callable, tuple.get(), nullptr)));
}


// What a column method was asked: the attributes (their str objects and name ids) and the rows.
struct ColumnQuery {
  std::vector<PyRef> names;
  std::vector<uint32_t> name_ids;
  bool every_name = true;
  RowChoice rows;
};

void parse_attributes(ColumnQuery& query, PyObject* attrs) {
  if (attrs == nullptr || attrs == Py_None) return;
  if (PyUnicode_Check(attrs)) raise_argument_type("attrs", "a list of str or None, not a str", attrs);
  const PyRef sequence = PyRef::steal(PySequence_Fast(attrs, ""));
  if (!sequence) {
    PyErr_Clear();
    raise_argument_type("attrs", "a list of str or None", attrs);
  }
  query.every_name = false;
  std::unordered_set<uint32_t> seen;
  const Py_ssize_t count = PySequence_Fast_GET_SIZE(sequence.get());
  for (Py_ssize_t at = 0; at < count; ++at) {
    PyObject* name = PySequence_Fast_GET_ITEM(sequence.get(), at);
    if (!PyUnicode_Check(name)) raise_argument_type("attrs", "a list of str", name);
    const uint32_t id = attribute_name_id(name);
    if (!seen.insert(id).second) {
      PyErr_Format(PyExc_ValueError, "argument 'attrs': %R appears twice", name);
      throw_python_error();
    }
    query.names.push_back(PyRef::borrow(name));
    query.name_ids.push_back(id);
  }
}

void parse_rows(ColumnQuery& query, PyObject* order_by, int reverse, PyObject* limit, PyObject* offset) {
  if (order_by != nullptr && order_by != Py_None) query.rows.order_by = text_argument("order_by", order_by);
  query.rows.order.descending = reverse != 0;
  query.rows.order.limit = count_argument("limit", limit, true);
  query.rows.order.offset = count_argument("offset", offset, false).value_or(0);
  if (query.rows.order.descending && !query.rows.order_by) {
    PyErr_SetString(PyExc_ValueError, "argument 'reverse' needs 'order_by'");
    throw_python_error();
  }
}

// The rows read: the objects (kept until the interpreter lock is back) and the columns.
struct ReadRows {
  size_t rows = 0;
  ChosenObjects objects;
  std::vector<ColumnBuilder> columns;
  std::vector<TypedColumn> typed;
  std::vector<bool> as_objects;  // per column: handed over as a list of objects rather than buffers
};

// How a column is handed to Python.
enum class Target { Numpy, Arrow, PandasArrow, PandasNumpy, Dicts };

// Whether the column goes as buffers (else as a list of objects), and as which kind.
std::optional<ColumnKind> buffer_kind(ColumnKind kind, uint64_t missing, Target target, bool fill_given) {
  switch (target) {
    case Target::Numpy:
      if (kind == ColumnKind::Int || kind == ColumnKind::Float || kind == ColumnKind::Bool) {
        if (missing == 0 || fill_given) return kind;
      }
      return std::nullopt;
    case Target::Arrow:
    case Target::PandasArrow:
      if (kind == ColumnKind::Nested || kind == ColumnKind::Other) return std::nullopt;
      if (kind == ColumnKind::Missing && target == Target::PandasArrow) return std::nullopt;
      return kind;
    case Target::PandasNumpy:
      // pandas reads a number column with gaps as floats with NaN, as it does for dicts with missing keys.
      if (kind == ColumnKind::Int || kind == ColumnKind::Float) return missing == 0 ? kind : ColumnKind::Float;
      if (kind == ColumnKind::Bool && missing == 0) return kind;
      return std::nullopt;
    case Target::Dicts: return std::nullopt;
  }
  return std::nullopt;
}

ReadRows read_rows(const AnswerSource& source, const ColumnQuery& query, Target target, bool fill_given) {
  return without_gil([&] {
    ReadRows read;
    // One number column over every object may come from the value map alone, without visiting the objects.
    const bool whole_scope = !query.rows.order_by && query.rows.order.offset == 0 && !query.rows.order.limit;
    const bool from_map = target == Target::Numpy && whole_scope && query.name_ids.size() == 1;
    const auto choose = [&](const AnswerScope& scope) {
      if (from_map) {
        const std::shared_ptr<const ImmutableInterner> names = INTERNER().load();
        if (std::optional<TypedColumn> numbers = numbers_from_map(scope, names->name(query.name_ids[0]))) {
          read.rows = scope.ids().cardinality();
          read.columns.emplace_back(query.name_ids[0], 0, false);
          read.typed.push_back(std::move(*numbers));
          read.as_objects.push_back(false);
          return true;
        }
      }
      read.objects = chosen_objects(scope, query.rows);
      read.rows = read.objects.cores.size();
      return false;
    };
    bool done = false;
    if (source.view != nullptr) {
      const AnswerScope scope(*source.view);
      done = choose(scope);
    } else {
      const AnswerScope scope(*source.index);
      done = choose(scope);
    }
    if (done) return read;
    // The scope's locks are gone: each object's map is locked on its own.
    const bool bits = target == Target::Arrow || target == Target::PandasArrow;
    read.columns = read_columns(read.objects, query.name_ids, query.every_name, bits);
    // The values read hold their own references: the objects are no longer needed.
    release_handles(read.objects);
    if (target != Target::Dicts) {
      for (ColumnBuilder& column : read.columns) {
        uint64_t missing = 0;
        const ColumnKind kind = column.kind(missing);
        const std::optional<ColumnKind> typed = buffer_kind(kind, missing, target, fill_given);
        TypedColumn described = typed ? column.typed(*typed, missing, bits) : TypedColumn{};
        if (!typed) {
          described.kind = kind;
          described.missing = missing;
        }
        read.typed.push_back(std::move(described));
        read.as_objects.push_back(!typed);
      }
    }
    return read;
  });
}

PyRef name_of(uint32_t id, const ImmutableInterner& names) {
  const std::string_view text = names.name(id);
  return PyRef::steal(check_py(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr)));
}

// The column names: the asked str objects, or every name found, decoded once.
std::vector<PyRef> column_names(const ColumnQuery& query, const ReadRows& read) {
  if (!query.every_name) return query.names;
  std::vector<PyRef> names;
  // Loaded after the rows were read, so every name id found is in the snapshot.
  const std::shared_ptr<const ImmutableInterner> interner = INTERNER().load();
  for (const ColumnBuilder& column : read.columns) names.push_back(name_of(column.name_id(), *interner));
  return names;
}

const char* kind_name(ColumnKind kind) {
  switch (kind) {
    case ColumnKind::Missing: return "missing";
    case ColumnKind::Int: return "int";
    case ColumnKind::Float: return "float";
    case ColumnKind::Bool: return "bool";
    case ColumnKind::Text: return "text";
    case ColumnKind::Nested: return "nested";
    case ColumnKind::Other: return "other";
  }
  return "other";
}

// A column buffer handed to Python without a copy: an object that owns the bytes and exports them, writable, by
// the buffer protocol (numpy.frombuffer and pyarrow.py_buffer keep it alive while they use them).
struct OwnedBuffer {
  PyObject_HEAD
  std::string bytes;
};

int owned_buffer_get(PyObject* self, Py_buffer* view, int flags) {
  std::string& bytes = reinterpret_cast<OwnedBuffer*>(self)->bytes;
  return PyBuffer_FillInfo(view, self, bytes.data(), static_cast<Py_ssize_t>(bytes.size()), 0, flags);
}

void owned_buffer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&reinterpret_cast<OwnedBuffer*>(self)->bytes);
  type->tp_free(self);
  Py_DECREF(type);
}

// The buffer type, made once per interpreter and kept in its dict beside the helper. Borrowed.
PyTypeObject* owned_buffer_type() {
  PyObject* state = PyInterpreterState_GetDict(PyInterpreterState_Get());
  if (state == nullptr) {
    PyErr_SetString(PyExc_RuntimeError, "no interpreter state for the column buffers");
    throw_python_error();
  }
  static const char* KEY = "Vostrel._ColumnBuffer";
  if (PyObject* kept = PyDict_GetItemString(state, KEY)) return reinterpret_cast<PyTypeObject*>(kept);
  static PyType_Slot slots[] = {
      {Py_bf_getbuffer, reinterpret_cast<void*>(owned_buffer_get)},
      {Py_tp_dealloc, reinterpret_cast<void*>(owned_buffer_dealloc)},
      {Py_tp_doc, const_cast<char*>("The bytes of one column buffer, exported without a copy.")},
      {0, nullptr},
  };
  static PyType_Spec spec = {
      .name = "Vostrel._ColumnBuffer",
      .basicsize = sizeof(OwnedBuffer),
      .itemsize = 0,
      .flags = Py_TPFLAGS_DEFAULT,
      .slots = slots,
  };
  const PyRef type = PyRef::steal(check_py(PyType_FromSpec(&spec)));
  if (PyDict_SetItemString(state, KEY, type.get()) < 0) throw_python_error();
  return reinterpret_cast<PyTypeObject*>(type.get());  // the interpreter's dict holds it now
}

// Takes the bytes of `buffer` (left empty) into a new buffer object.
PyRef bytes_of(std::string& buffer) {
  PyTypeObject* type = owned_buffer_type();
  PyRef owned = PyRef::steal(check_py(type->tp_alloc(type, 0)));
  std::construct_at(&reinterpret_cast<OwnedBuffer*>(owned.get())->bytes, std::move(buffer));
  return owned;
}

// A column's values as Python objects, row after row (ascending): ints, floats and bools made from their slots,
// text from its bytes, the values kept beside as their objects.
class RowObjects {
 public:
  explicit RowObjects(const ColumnBuilder& column) : column_(column) {}
  // Row `row`'s value (rows asked in ascending order, each once), or null for a missing one.
  PyRef next(size_t row) {
    const uint64_t slot = column_.slot(row);
    switch (column_.held(row)) {
      case ColumnBuilder::MISSING: return PyRef();
      case ColumnBuilder::INT: return PyRef::steal(check_py(PyLong_FromLongLong(static_cast<int64_t>(slot))));
      case ColumnBuilder::FLOAT: return PyRef::steal(check_py(PyFloat_FromDouble(std::bit_cast<double>(slot))));
      case ColumnBuilder::BOOL: return PyRef::borrow(slot != 0 ? Py_True : Py_False);
      case ColumnBuilder::TEXT:
        if (column_.text_as_bytes()) {
          const char* start = column_.text_bytes().data() + text_end_;
          const auto length = static_cast<Py_ssize_t>(slot - text_end_);
          text_end_ = slot;
          return PyRef::steal(check_py(PyUnicode_DecodeUTF8(start, length, nullptr)));
        }
        [[fallthrough]];
      default: return column_.kept()[kept_at_++].second.to_python();
    }
  }

 private:
  const ColumnBuilder& column_;
  size_t kept_at_ = 0;
  uint64_t text_end_ = 0;
};

// The values as a list of Python objects; a missing one as `fill`.
PyRef objects_of(const ColumnBuilder& column, size_t rows, PyObject* fill) {
  PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(rows))));
  RowObjects values(column);
  for (size_t row = 0; row < rows; ++row) {
    PyRef item = values.next(row);
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), item ? item.release() : Py_NewRef(fill));
  }
  return list;
}

// The helper's column tuple (see columns_helper.hpp). `as_objects`: the values go as a list, missing as `fill`.
PyRef column_tuple(PyObject* name, size_t row_count, const ColumnBuilder& values, TypedColumn& typed,
                   bool as_objects, PyObject* fill) {
  const PyRef rows = PyRef::steal(check_py(PyLong_FromSize_t(row_count)));
  const PyRef missing = PyRef::steal(check_py(PyLong_FromUnsignedLongLong(typed.missing)));
  PyRef buffers[4];
  PyRef objects = PyRef::borrow(Py_None);
  if (as_objects) {
    for (PyRef& buffer : buffers) buffer = PyRef::borrow(Py_None);
    objects = objects_of(values, row_count, fill);
  } else {
    buffers[0] = bytes_of(typed.values);
    buffers[1] = typed.missing > 0 ? bytes_of(typed.valid) : PyRef::borrow(Py_None);
    buffers[2] = bytes_of(typed.offsets);
    buffers[3] = bytes_of(typed.data);
  }
  const PyRef kind = PyRef::steal(check_py(PyUnicode_FromString(kind_name(typed.kind))));
  return PyRef::steal(check_py(PyTuple_Pack(10, name, kind.get(), rows.get(), missing.get(), buffers[0].get(),
                                            buffers[1].get(), buffers[2].get(), buffers[3].get(), objects.get(),
                                            !as_objects && typed.large ? Py_True : Py_False)));
}

// The tuples of every column read, for `target`.
PyRef column_tuples(const ColumnQuery& query, ReadRows& read, PyObject* fill = Py_None) {
  const std::vector<PyRef> names = column_names(query, read);
  PyRef list = PyRef::steal(check_py(PyList_New(0)));
  for (size_t c = 0; c < read.columns.size(); ++c) {
    TypedColumn& typed = read.typed[c];
    const PyRef tuple = column_tuple(names[c].get(), read.rows, read.columns[c], typed, read.as_objects[c], fill);
    if (PyList_Append(list.get(), tuple.get()) < 0) throw_python_error();
  }
  return list;
}

// The arguments every column method shares after its own: order_by, reverse, limit, offset.
struct RowArguments {
  PyObject* order_by = nullptr;
  int reverse = 0;
  PyObject* limit = nullptr;
  PyObject* offset = nullptr;
};

// Parses (attrs=None, *, order_by, reverse, limit, offset).
ColumnQuery table_query(const char* method, PyObject* args, PyObject* kwargs) {
  static const char* names[] = {"attrs", "order_by", "reverse", "limit", "offset", nullptr};
  PyObject* attrs = nullptr;
  RowArguments rows;
  const std::string format = std::string("|O$OpOO:") + method;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, format.c_str(), const_cast<char**>(names), &attrs, &rows.order_by,
                                   &rows.reverse, &rows.limit, &rows.offset)) {
    throw_python_error();
  }
  ColumnQuery query;
  parse_attributes(query, attrs);
  parse_rows(query, rows.order_by, rows.reverse, rows.limit, rows.offset);
  return query;
}

}  // namespace

PyObject* answer_to_numpy(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    static const char* names[] = {"attr", "dtype", "fill", "order_by", "reverse", "limit", "offset", nullptr};
    PyObject* attr = nullptr;
    PyObject* dtype = Py_None;
    PyObject* fill = nullptr;
    RowArguments rows;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|$OOOpOO:to_numpy", const_cast<char**>(names), &attr, &dtype,
                                     &fill, &rows.order_by, &rows.reverse, &rows.limit, &rows.offset)) {
      throw_python_error();
    }
    if (!PyUnicode_Check(attr)) raise_argument_type("attr", "str", attr);
    ColumnQuery query;
    const PyRef one = PyRef::steal(check_py(PyList_New(1)));
    PyList_SET_ITEM(one.get(), 0, Py_NewRef(attr));
    parse_attributes(query, one.get());
    parse_rows(query, rows.order_by, rows.reverse, rows.limit, rows.offset);
    // numpy is wanted before any row is read: a missing package raises at once.
    call_helper("need", {PyRef::steal(check_py(PyUnicode_FromString("numpy"))).get(),
                         PyRef::steal(check_py(PyUnicode_FromString("to_numpy"))).get()});
    // fill=None is the default: a missing value reads as None.
    const bool fill_given = fill != nullptr && fill != Py_None;
    ReadRows read = read_rows(source, query, Target::Numpy, fill_given);
    const TypedColumn& typed = read.typed[0];
    if (typed.missing > 0 && !fill_given && dtype != Py_None) {
      PyErr_Format(PyExc_ValueError, "to_numpy(): %llu of the objects have no %R: pass fill= for them",
                   static_cast<unsigned long long>(typed.missing), attr);
      throw_python_error();
    }
    const PyRef tuples = column_tuples(query, read, fill_given ? fill : Py_None);
    return call_helper("numpy_column",
                       {PyList_GET_ITEM(tuples.get(), 0), dtype, fill_given ? fill : Py_None,
                        fill_given ? Py_True : Py_False})
        .release();
  });
}

PyObject* answer_to_arrow(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const ColumnQuery query = table_query("to_arrow", args, kwargs);
    call_helper("need", {PyRef::steal(check_py(PyUnicode_FromString("pyarrow"))).get(),
                         PyRef::steal(check_py(PyUnicode_FromString("to_arrow"))).get()});
    ReadRows read = read_rows(source, query, Target::Arrow, false);
    const PyRef tuples = column_tuples(query, read);
    return call_helper("arrow_table", {tuples.get(), query.every_name ? Py_False : Py_True}).release();
  });
}

PyObject* answer_to_pandas(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const ColumnQuery query = table_query("to_pandas", args, kwargs);
    call_helper("need", {PyRef::steal(check_py(PyUnicode_FromString("pandas"))).get(),
                         PyRef::steal(check_py(PyUnicode_FromString("to_pandas"))).get()});
    const PyRef arrow = call_helper("has", {PyRef::steal(check_py(PyUnicode_FromString("pyarrow"))).get()});
    const bool through_arrow = arrow.get() == Py_True;
    ReadRows read = read_rows(source, query, through_arrow ? Target::PandasArrow : Target::PandasNumpy, false);
    const PyRef tuples = column_tuples(query, read);
    const PyRef rows = PyRef::steal(check_py(PyLong_FromSize_t(read.rows)));
    return call_helper("pandas_frame", {tuples.get(), rows.get(), through_arrow ? Py_True : Py_False}).release();
  });
}

PyObject* answer_to_dicts(const AnswerSource& source, PyObject* args, PyObject* kwargs) {
  return guard_python_call<PyObject*>(nullptr, [&] {
    const ColumnQuery query = table_query("to_dicts", args, kwargs);
    ReadRows read = read_rows(source, query, Target::Dicts, false);
    const std::vector<PyRef> names = column_names(query, read);
    const size_t rows = read.rows;
    std::vector<RowObjects> columns;
    columns.reserve(read.columns.size());
    for (const ColumnBuilder& column : read.columns) columns.emplace_back(column);
    PyRef list = PyRef::steal(check_py(PyList_New(static_cast<Py_ssize_t>(rows))));
    for (size_t row = 0; row < rows; ++row) {
      PyRef dict = PyRef::steal(check_py(PyDict_New()));
      for (size_t c = 0; c < columns.size(); ++c) {
        const PyRef item = columns[c].next(row);
        if (!item) continue;  // the object has none
        if (PyDict_SetItem(dict.get(), names[c].get(), item.get()) < 0) throw_python_error();
      }
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(row), dict.release());
    }
    return list.release();
  });
}

}  // namespace vostrel
