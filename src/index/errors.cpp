// The module's InternalError exception type and the translation of C++ exceptions at the Python boundary.
#include "index/errors.hpp"

#include <new>

#include "index/core/structures/internal_error.hpp"
#include "index/py_ref.hpp"

namespace vostrel {

PyObject* internal_error_type() {
  // Created under the interpreter lock at module import and kept for the process (never released: the type must
  // outlive every object that might still raise it).
  static PyObject* type = nullptr;
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("Vostrel.InternalError",
                                     "Raised when the module meets a state its own logic does not handle.",
                                     PyExc_BaseException, nullptr);
  }
  return type;
}

void throw_python_error() { throw PythonErrorSet(); }

namespace {

void set_internal_error(const char* message) noexcept {
  PyObject* type = internal_error_type();
  if (type == nullptr) return;  // the creation failure is the pending error
  PyErr_SetString(type, message);
}

}  // namespace

void set_python_error_from_exception(std::exception_ptr error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) set_internal_error("a Python error was reported but none is set");
  } catch (const InternalError& e) {
    set_internal_error(e.what());
  } catch (const NotYetImplemented& e) {
    PyErr_SetString(PyExc_NotImplementedError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    set_internal_error(e.what());
  } catch (...) {
    set_internal_error("unknown C++ exception");
  }
}

std::string take_python_error_text() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_value = PyRef::steal(value);
  PyRef owned_traceback = PyRef::steal(traceback);
  std::string text = type != nullptr ? reinterpret_cast<PyTypeObject*>(type)->tp_name : "unknown error";
  if (owned_value) {
    PyRef message = PyRef::steal(PyObject_Str(owned_value.get()));
    const char* utf8 = message ? PyUnicode_AsUTF8(message.get()) : nullptr;
    if (utf8 != nullptr && *utf8 != '\0') {
      text += ": ";
      text += utf8;
    }
  }
  // Formatting the message may itself fail; that error says nothing about the original one.
  PyErr_Clear();
  return text;
}

}  // namespace vostrel
