// Classification of a Python value into its native form: which kind it is, and the members of a container.
#include "index/value_classify.hpp"

#include <memory>
#include <string_view>
#include <vector>

#include "index/errors.hpp"
#include "index/object_record.hpp"
#include "index/types.hpp"
#include "index/core/structures/internal_error.hpp"

namespace vostrel {

// A failure of Python itself while reading a value (no memory, a numpy scalar whose conversion raises): the
// interpreter's own error stays set and reaches the caller as an ordinary exception.
[[noreturn]] void fail_type_checked() { throw PythonErrorSet(); }

[[noreturn]] void fail_type_checked(const char* reason) { throw InternalError(std::string("type checked: ") + reason); }

namespace {

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

// Containers whose members this thread is capturing right now, innermost first, linked through the capturing
// frames: a member that is one of them would make the capture endless (a list that contains itself), so it is left
// out. A plain pointer: nothing to destroy when the thread ends.
struct CaptureFrame {
  PyObject* container;
  const CaptureFrame* outer;
};
thread_local const CaptureFrame* containers_in_capture = nullptr;

}  // namespace

void capture_members(PyObject* container, IterableKind kind, CapturedMembers& members) {
  if (Py_EnterRecursiveCall(" while capturing the members of a container") != 0) throw_python_error();
  struct LeaveRecursiveCall {
    ~LeaveRecursiveCall() { Py_LeaveRecursiveCall(); }
  } leave;
  const CaptureFrame frame{container, containers_in_capture};
  containers_in_capture = &frame;
  struct PopContainer {
    const CaptureFrame* outer;
    ~PopContainer() { containers_in_capture = outer; }
  } pop{frame.outer};
  auto capture = [&](PyObject* item) {
    for (const CaptureFrame* enclosing = containers_in_capture; enclosing != nullptr; enclosing = enclosing->outer) {
      if (enclosing->container == item) return;
    }
    try {
      members.push_back(PyValue::capture(PyRef::borrow(item)));
    } catch (const InternalError&) {
      PyErr_Clear();
    } catch (const PythonErrorSet&) {
      // A member that cannot be captured is left out; an interrupt (KeyboardInterrupt, SystemExit: no Exception)
      // and a failure of the process itself are not the member's and go on to the caller.
      if (!PyErr_ExceptionMatches(PyExc_Exception) || PyErr_ExceptionMatches(PyExc_RecursionError) ||
          PyErr_ExceptionMatches(PyExc_MemoryError)) {
        throw;
      }
      PyErr_Clear();
    }
  };
  if (kind == IterableKind::Set) {
    PyRef iterator = PyRef::steal(check_py(PyObject_GetIter(container)));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) capture(item.get());
    if (PyErr_Occurred()) throw_python_error();
  } else if (kind == IterableKind::List) {
    // Re-read the size each step: capturing a member can run Python code (__hash__, __index__) that changes the list.
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
}

NativeValue classify(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  if (INT_TYPES().contains(type)) {
    // Beyond 64 bits capture made a BigInt already: an int here fits.
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
  return NativeValue(std::in_place_type<UnknownValue>);
}

}  // namespace vostrel
