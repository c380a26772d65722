// Temporary module entry; replaced by the real registration.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

static PyModuleDef vostrel_module = {PyModuleDef_HEAD_INIT, "Vostrel", "Vostrel is a Python module.", -1, nullptr,
                                     nullptr, nullptr, nullptr, nullptr};

PyMODINIT_FUNC PyInit_Vostrel(void) { return PyModule_Create(&vostrel_module); }
