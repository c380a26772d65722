// The module's InternalError exception type and the translation of C++ exceptions at the Python boundary.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cxxabi.h>

#include <exception>
#include <string>

namespace vostrel {

// Vostrel.InternalError: derived directly from BaseException, so `except Exception` does not swallow it. Created on
// first use (module import); a borrowed reference kept for the life of the process. Null only if creation failed
// (a Python error is then set).
PyObject* internal_error_type();

// Thrown by C++ code right after a Python API call failed: the Python error is already set and must stay set.
struct PythonErrorSet : std::exception {
  const char* what() const noexcept override { return "a Python exception is set"; }
};

// Throws PythonErrorSet. For use right after a failed Python API call.
[[noreturn]] void throw_python_error();

// Returns `obj` unchanged, or throws PythonErrorSet when it is null (a failed Python API call).
inline PyObject* check_py(PyObject* obj) {
  if (obj == nullptr) throw_python_error();
  return obj;
}

// Sets the Python error that stands for a caught exception. Interpreter lock held. vostrel::InternalError ->
// InternalError(message); NotYetImplemented -> NotImplementedError(message); std::bad_alloc -> MemoryError;
// PythonErrorSet -> the pending error is left as is (an InternalError if none is pending); any other exception ->
// InternalError(what()).
void set_python_error_from_exception(std::exception_ptr error) noexcept;

// Runs `body` at a Python boundary: returns its result, or sets the Python error for whatever it threw and returns
// `on_error` (nullptr, -1, ...). Nothing unwinds into the interpreter, except the forced unwind that ends a thread
// which tried to take the interpreter lock back during finalisation: it must pass (catching it aborts the process).
template <class R, class F>
R guard_python_call(R on_error, F&& body) {
  try {
    return body();
  } catch (abi::__forced_unwind&) {
    throw;
  } catch (...) {
    set_python_error_from_exception(std::current_exception());
    return on_error;
  }
}

// Interpreter lock held, a Python error pending: returns "TypeName: message" of the pending error and clears it.
std::string take_python_error_text();

}  // namespace vostrel
