// Vostrel._debug: the test hooks, kept out of the public module namespace.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// Creates the hook module and records it in sys.modules as "Vostrel._debug" (not as an attribute of Vostrel).
// Interpreter lock held. Throws PythonErrorSet.
void register_debug_module();

}  // namespace vostrel
