// Classification of a Python value into its native form, for capture (value.cpp). Interpreter lock held.
#pragma once

#include <Python.h>

#include "index/value.hpp"

namespace vostrel {

// A failure of Python itself while reading a value: its error stays set and reaches the caller as an exception.
[[noreturn]] void fail_type_checked();
// A type the caller checked turned out otherwise: an internal error.
[[noreturn]] void fail_type_checked(const char* reason);

// The native form of `obj`; a list, tuple or set has its members captured (may run Python code).
NativeValue classify(PyObject* obj);

}  // namespace vostrel
