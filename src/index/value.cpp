// Captured Python values: classification, hashing, equality, conversion back to Python and text form.
#include "index/value.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>

#include "index/fx_hash.hpp"
#include "index/indexable.hpp"
#include "index/internal_error.hpp"
#include "index/types.hpp"
#include "lib/errors.hpp"

namespace vostrel {

// ---- SmallString ----

// Header of a long string's buffer; the text bytes follow it.
struct SmallString::HeapBuffer {
  std::atomic<uint64_t> count;
  size_t size;
  const char* data() const noexcept { return reinterpret_cast<const char*>(this + 1); }
  char* data() noexcept { return reinterpret_cast<char*>(this + 1); }
};

SmallString::SmallString(std::string_view text) {
  if (text.size() <= INLINE_CAPACITY) {
    std::memcpy(bytes_, text.data(), text.size());
    bytes_[INLINE_CAPACITY] = static_cast<unsigned char>(text.size());
    return;
  }
  void* memory = ::operator new(sizeof(HeapBuffer) + text.size());
  HeapBuffer* buffer = ::new (memory) HeapBuffer{{1}, text.size()};
  std::memcpy(buffer->data(), text.data(), text.size());
  set_heap(buffer);
}

SmallString::HeapBuffer* SmallString::heap() const noexcept {
  HeapBuffer* buffer;
  std::memcpy(&buffer, bytes_, sizeof(buffer));
  return buffer;
}

void SmallString::set_heap(HeapBuffer* buffer) noexcept {
  std::memcpy(bytes_, &buffer, sizeof(buffer));
  bytes_[INLINE_CAPACITY] = HEAP_TAG;
}

void SmallString::release() noexcept {
  if (is_inline()) return;
  HeapBuffer* buffer = heap();
  if (buffer->count.fetch_sub(1, std::memory_order_acq_rel) == 1) {
    std::destroy_at(buffer);
    ::operator delete(buffer);
  }
  bytes_[INLINE_CAPACITY] = 0;
}

SmallString::SmallString(const SmallString& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  if (!is_inline()) heap()->count.fetch_add(1, std::memory_order_relaxed);
}

SmallString::SmallString(SmallString&& other) noexcept {
  std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
  other.bytes_[INLINE_CAPACITY] = 0;
}

SmallString& SmallString::operator=(const SmallString& other) noexcept {
  if (this != &other) {
    SmallString copy(other);
    *this = std::move(copy);
  }
  return *this;
}

SmallString& SmallString::operator=(SmallString&& other) noexcept {
  if (this != &other) {
    release();
    std::memcpy(bytes_, other.bytes_, sizeof(bytes_));
    other.bytes_[INLINE_CAPACITY] = 0;
  }
  return *this;
}

SmallString::~SmallString() { release(); }

std::string_view SmallString::view() const noexcept {
  if (is_inline()) return {reinterpret_cast<const char*>(bytes_), bytes_[INLINE_CAPACITY]};
  const HeapBuffer* buffer = heap();
  return {buffer->data(), buffer->size};
}

// ---- hashing ----

namespace {

std::atomic<uint64_t> ITERABLE_RECORD_COUNTER{1};

uint64_t payload_hash(uint64_t word, uint64_t code) noexcept {
  FxHasher hasher;
  hasher.add(word);
  hasher.add(code);
  return hasher.finish();
}

}  // namespace

uint64_t next_iterable_record() noexcept { return ITERABLE_RECORD_COUNTER.fetch_add(1, std::memory_order_relaxed); }

uint64_t native_hash(const NativeValue& value) noexcept {
  switch (static_cast<ValueKind>(value.index())) {
    case ValueKind::Int:
      return payload_hash(static_cast<uint64_t>(*std::get_if<int64_t>(&value)), 1);
    case ValueKind::Float:
      return payload_hash(std::bit_cast<uint64_t>(*std::get_if<double>(&value)), 2);
    case ValueKind::Str: {
      FxHasher hasher;
      hasher.add(byte_hash(std::get_if<SmallString>(&value)->view()));
      hasher.add(0xff);
      hasher.add(3);
      return hasher.finish();
    }
    case ValueKind::Bool:
      return payload_hash(*std::get_if<bool>(&value) ? 1 : 0, 4);
    case ValueKind::Iterable:
      return payload_hash(std::get_if<IterableValue>(&value)->record, 5);
    case ValueKind::Ind:
      return payload_hash(reinterpret_cast<uintptr_t>(std::get_if<StoredIndexable>(&value)->python_handle.get()), 6);
    case ValueKind::Unknown:
      break;
  }
  return 0;
}

// ---- classification ----

namespace {

// Bad input (an int beyond 64 bits, text with a lone surrogate, an unhashable object): the interpreter's own error
// (OverflowError, UnicodeEncodeError, TypeError, ...) stays set and reaches the caller as an ordinary exception.
[[noreturn]] void fail_type_checked() {
  if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
    PyErr_SetString(PyExc_OverflowError, "int out of range: values must fit in a signed 64-bit integer");
  }
  throw PythonErrorSet();
}

[[noreturn]] void fail_type_checked(const char* reason) { throw InternalError(std::string("type checked: ") + reason); }

// numpy's boolean scalar type, recognised by module and name.
bool is_numpy_bool_type(PyTypeObject* type) {
  std::string_view full_name = type->tp_name;
  size_t dot = full_name.rfind('.');
  std::string_view name = dot == std::string_view::npos ? full_name : full_name.substr(dot + 1);
  if (name != "bool_" && name != "bool") return false;
  if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0) {
    // A static type's module is the part of its name before the last dot.
    return dot != std::string_view::npos && full_name.substr(0, dot) == "numpy";
  }
  PyObject* module = type->tp_dict != nullptr ? PyDict_GetItemString(type->tp_dict, "__module__") : nullptr;
  return module != nullptr && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "numpy") == 0;
}

NativeValue classify(PyObject* obj);

// Containers whose members this thread is capturing right now: a member that is one of them would make the capture
// endless (a list that contains itself), so it is left out.
thread_local std::vector<PyObject*> containers_in_capture;

// Captures the members of a list, tuple or set. Python's recursion limit bounds the nesting (RecursionError).
// Members that cannot be captured (unhashable, out of range) are left out: the container itself is still a value.
std::shared_ptr<const std::vector<PyValue>> capture_members(PyObject* container, IterableKind kind) {
  if (Py_EnterRecursiveCall(" while capturing the members of a container") != 0) throw_python_error();
  struct LeaveRecursiveCall {
    ~LeaveRecursiveCall() { Py_LeaveRecursiveCall(); }
  } leave;
  containers_in_capture.push_back(container);
  struct PopContainer {
    ~PopContainer() { containers_in_capture.pop_back(); }
  } pop;
  auto members = std::make_shared<std::vector<PyValue>>();
  auto capture = [&](PyObject* item) {
    for (PyObject* enclosing : containers_in_capture) {
      if (enclosing == item) return;
    }
    try {
      members->push_back(PyValue::capture(PyRef::borrow(item)));
    } catch (const InternalError&) {
      PyErr_Clear();
    } catch (const PythonErrorSet&) {
      if (PyErr_ExceptionMatches(PyExc_RecursionError) || PyErr_ExceptionMatches(PyExc_MemoryError)) throw;
      PyErr_Clear();
    }
  };
  if (kind == IterableKind::Set) {
    PyRef iterator = PyRef::steal(check_py(PyObject_GetIter(container)));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) capture(item.get());
    if (PyErr_Occurred()) throw_python_error();
  } else if (kind == IterableKind::List) {
    // Re-read the size each step: capturing a member can run Python code (__hash__) that changes the list.
    for (Py_ssize_t pos = 0; pos < PyList_GET_SIZE(container); ++pos) {
      PyRef item = PyRef::borrow(PyList_GET_ITEM(container, pos));
      capture(item.get());
    }
  } else {
    for (Py_ssize_t pos = 0; pos < PyTuple_GET_SIZE(container); ++pos) {
      PyRef item = PyRef::borrow(PyTuple_GET_ITEM(container, pos));
      capture(item.get());
    }
  }
  members->shrink_to_fit();
  return members;
}

NativeValue classify(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (INT_TYPES().contains(type)) {
    long long value = PyLong_AsLongLong(obj);
    if (value == -1 && PyErr_Occurred()) fail_type_checked();
    return NativeValue(std::in_place_type<int64_t>, value);
  }
  if (FLOAT_TYPES().contains(type)) {
    if (type == &PyFloat_Type) return NativeValue(std::in_place_type<double>, PyFloat_AS_DOUBLE(obj));
    double value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) fail_type_checked();
    return NativeValue(std::in_place_type<double>, value);
  }
  if (STR_TYPES().contains(type)) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) fail_type_checked();
    return NativeValue(std::in_place_type<SmallString>, std::string_view(utf8, static_cast<size_t>(size)));
  }
  if (BOOL_TYPES().contains(type)) {
    if (type == &PyBool_Type) return NativeValue(std::in_place_type<bool>, obj == Py_True);
    if (!is_numpy_bool_type(type)) fail_type_checked("unrecognised boolean type");
    inquiry truth = type->tp_as_number != nullptr ? type->tp_as_number->nb_bool : nullptr;
    if (truth == nullptr) fail_type_checked("boolean type without a truth value");
    int value = truth(obj);
    if (value < 0) fail_type_checked();
    return NativeValue(std::in_place_type<bool>, value != 0);
  }
  PyTypeObject* indexable = INDEXABLE_TYPE();
  if (indexable != nullptr && PyType_IsSubtype(type, indexable)) {
    return NativeValue(std::in_place_type<StoredIndexable>, StoredIndexable::from_py_ref(obj));
  }
  IterableKind kind;
  if (type == &PyList_Type) {
    kind = IterableKind::List;
  } else if (type == &PyTuple_Type) {
    kind = IterableKind::Tuple;
  } else if (type == &PyDict_Type) {
    kind = IterableKind::Dict;
  } else if (type == &PySet_Type) {
    kind = IterableKind::Set;
  } else {
    return NativeValue(std::in_place_type<UnknownValue>);
  }
  std::shared_ptr<const std::vector<PyValue>> members;
  if (kind != IterableKind::Dict) members = capture_members(obj, kind);
  return NativeValue(std::in_place_type<IterableValue>,
                     IterableValue{kind, SharedPyRef::borrow(obj), next_iterable_record(), std::move(members)});
}

}  // namespace

StoredIndexable StoredIndexable::from_py_ref(PyObject* indexable) {
  if (!is_indexable(indexable)) throw InternalError("type checked: not an Indexable");
  StoredIndexable stored;
  stored.python_handle = SharedPyRef::borrow(indexable);
  stored.owned_handle = std::make_shared<const IndexableCore>(indexable_core(indexable).shared_copy());
  return stored;
}

PyValue PyValue::capture(PyRef obj) {
  PyValue value;
  value.primitave = classify(obj.get());
  if (value.kind() == ValueKind::Unknown) {
    Py_hash_t hash = PyObject_Hash(obj.get());
    if (hash == -1 && PyErr_Occurred()) fail_type_checked();
    value.hash = static_cast<uint64_t>(hash);
  } else {
    value.hash = native_hash(value.primitave);
  }
  value.obj = SharedPyRef(std::move(obj));
  return value;
}

// ---- equality ----

bool operator==(const PyValue& a, const PyValue& b) noexcept {
  if (a.hash != b.hash) return false;
  const NativeValue& x = a.primitave;
  const NativeValue& y = b.primitave;
  switch (a.kind()) {
    case ValueKind::Int: {
      int64_t i = *std::get_if<int64_t>(&x);
      if (const int64_t* j = std::get_if<int64_t>(&y)) return i == *j;
      if (const double* f = std::get_if<double>(&y)) return static_cast<double>(i) == *f;
      if (const bool* flag = std::get_if<bool>(&y)) return i == (*flag ? 1 : 0);
      return false;
    }
    case ValueKind::Float: {
      double f = *std::get_if<double>(&x);
      if (const double* g = std::get_if<double>(&y)) return f == *g;
      if (const int64_t* i = std::get_if<int64_t>(&y)) return f == static_cast<double>(*i);
      return false;
    }
    case ValueKind::Str: {
      const SmallString* t = std::get_if<SmallString>(&y);
      return t != nullptr && *std::get_if<SmallString>(&x) == *t;
    }
    case ValueKind::Bool: {
      bool flag = *std::get_if<bool>(&x);
      if (const bool* other = std::get_if<bool>(&y)) return flag == *other;
      if (const int64_t* i = std::get_if<int64_t>(&y)) return *i == (flag ? 1 : 0);
      return false;
    }
    case ValueKind::Iterable: {
      const IterableValue* other = std::get_if<IterableValue>(&y);
      return other != nullptr && std::get_if<IterableValue>(&x)->record == other->record;
    }
    case ValueKind::Ind: {
      const StoredIndexable* other = std::get_if<StoredIndexable>(&y);
      return other != nullptr && std::get_if<StoredIndexable>(&x)->python_handle.get() == other->python_handle.get();
    }
    case ValueKind::Unknown:
      return std::holds_alternative<UnknownValue>(y) && a.obj && b.obj && a.obj.get() == b.obj.get();
  }
  return false;
}

// ---- conversion back to Python ----

PyRef PyValue::to_python() const {
  PyObject* result = nullptr;
  switch (kind()) {
    case ValueKind::Int:
      result = PyLong_FromLongLong(as_int());
      break;
    case ValueKind::Float:
      result = PyFloat_FromDouble(as_float());
      break;
    case ValueKind::Str: {
      std::string_view text = as_str();
      result = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
      break;
    }
    case ValueKind::Bool:
      return PyRef::borrow(as_bool() ? Py_True : Py_False);
    case ValueKind::Iterable:
    case ValueKind::Ind:
    case ValueKind::Unknown:
      return PyRef::borrow(obj ? obj.get() : Py_None);
  }
  return PyRef::steal(check_py(result));
}

// ---- text form ----

namespace {

std::string address_text(const void* address) {
  char buffer[32];
  std::snprintf(buffer, sizeof(buffer), "Py(%p)", address);
  return buffer;
}

std::string float_text(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  char buffer[64];
  auto [end, error] = std::to_chars(buffer, buffer + sizeof(buffer), value);
  std::string text(buffer, end);
  // Integral values keep a fractional part so they read as floats.
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

std::string quoted_text(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
          char buffer[16];
          std::snprintf(buffer, sizeof(buffer), "\\u{%x}", static_cast<unsigned>(static_cast<unsigned char>(c)));
          out += buffer;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

const char* iterable_kind_name(IterableKind kind) {
  switch (kind) {
    case IterableKind::List: return "List";
    case IterableKind::Dict: return "Dict";
    case IterableKind::Tuple: return "Tuple";
    case IterableKind::Set: return "Set";
  }
  return "List";
}

std::string native_text(const NativeValue& value) {
  switch (static_cast<ValueKind>(value.index())) {
    case ValueKind::Int:
      return "Int(" + std::to_string(*std::get_if<int64_t>(&value)) + ")";
    case ValueKind::Float:
      return "Float(" + float_text(*std::get_if<double>(&value)) + ")";
    case ValueKind::Str:
      return "Str(" + quoted_text(std::get_if<SmallString>(&value)->view()) + ")";
    case ValueKind::Bool:
      return *std::get_if<bool>(&value) ? "Bool(true)" : "Bool(false)";
    case ValueKind::Iterable: {
      const IterableValue& iterable = *std::get_if<IterableValue>(&value);
      return std::string("Iterable(") + iterable_kind_name(iterable.kind) + "(" +
             address_text(iterable.container.get()) + "))";
    }
    case ValueKind::Ind: {
      const StoredIndexable& stored = *std::get_if<StoredIndexable>(&value);
      std::string core = "None";
      if (stored.owned_handle) {
        core = "IndexableCore { id: " + std::to_string(stored.owned_handle->id) +
               ", owns_id: " + (stored.owned_handle->owns_id ? "true" : "false") + " }";
      }
      return "Ind(StoredIndexable { python_handle: " + address_text(stored.python_handle.get()) +
             ", owned_handle: " + core + " })";
    }
    case ValueKind::Unknown:
      break;
  }
  return "Unknown";
}

}  // namespace

std::string PyValue::debug_text() const {
  std::string object = obj ? "Some(" + address_text(obj.get()) + ")" : "None";
  return "PyValue { obj: " + object + ", primitave: " + native_text(primitave) + ", hash: " + std::to_string(hash) +
         " }";
}

void count_index_copy(const PyValue& value, bool add) noexcept {
  auto count = [add](const SharedPyRef& handle) { add ? handle.add_index_copy() : handle.remove_index_copy(); };
  count(value.obj);
  if (const IterableValue* iterable = std::get_if<IterableValue>(&value.primitave)) {
    count(iterable->container);
  } else if (const StoredIndexable* stored = std::get_if<StoredIndexable>(&value.primitave)) {
    count(stored->python_handle);
  }
}

}  // namespace vostrel
