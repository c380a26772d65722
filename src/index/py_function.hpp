// Functions of every signature the method tables take travel through their one PyCFunction slot.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vostrel {

// A method table entry for a function taking (self, args), (self, args, kwargs) or the fast-call arguments: the
// interpreter calls it with the signature its METH_ flags name.
template <class Function>
PyCFunction as_py_cfunction(Function* function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace vostrel
