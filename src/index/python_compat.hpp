#pragma once
// The few interpreter calls whose spelling differs between the Python versions the module supports (3.11 to 3.13).
// Each is public API where the version has it; an internal name is used only for versions that have no public one.

#include <Python.h>

#include <cstdint>

namespace vostrel {

// Whether the interpreter has begun shutting down. Public from 3.13; earlier versions have only the internal name.
inline bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// The thread state holding the interpreter lock, or null, without the fatal error PyThreadState_Get raises for none.
// Public from 3.13; earlier versions have only the internal name.
inline PyThreadState* thread_state_unchecked() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
  return PyThreadState_GetUnchecked();
#else
  return _PyThreadState_UncheckedGet();
#endif
}

// The value of an exact int that fits in a signed 64-bit word, false for a larger one; raises nothing. The common
// small int is read in place, with no call, from the layout each version has: the unstable compact-int API from 3.12,
// the digits themselves on 3.11 (two 30-bit digits hold 60 bits). Anything longer takes the public call.
[[gnu::always_inline]] inline bool exact_int_value(PyObject* obj, long long& value) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  auto* number = reinterpret_cast<PyLongObject*>(obj);
  if (PyUnstable_Long_IsCompact(number)) {
    value = static_cast<long long>(PyUnstable_Long_CompactValue(number));
    return true;
  }
#elif PYLONG_BITS_IN_DIGIT == 30
  const Py_ssize_t size = Py_SIZE(obj);
  if (size >= -2 && size <= 2) {
    const digit* digits = reinterpret_cast<const PyLongObject*>(obj)->ob_digit;
    uint64_t magnitude = size == 0 ? 0 : digits[0];
    if (size == 2 || size == -2) magnitude |= static_cast<uint64_t>(digits[1]) << PyLong_SHIFT;
    value = size < 0 ? -static_cast<long long>(magnitude) : static_cast<long long>(magnitude);
    return true;
  }
#endif
  int overflow = 0;
  value = PyLong_AsLongLongAndOverflow(obj, &overflow);  // an exact int raises nothing
  return overflow == 0;
}

}  // namespace vostrel
