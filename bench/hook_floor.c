/* A type whose attribute hooks do nothing but hand out or replace one held object. CPython specializes attribute
 * access only for types that keep the generic hooks, so any type with its own (Indexable among them) pays at least
 * what this one pays: the object benchmark times it beside plain objects as the floor of the read and write rows. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>

typedef struct {
  PyObject_HEAD
  PyObject* value;
} Floor;

static PyObject* floor_getattro(PyObject* self, PyObject* name) {
  (void)name;
  return Py_NewRef(((Floor*)self)->value);
}

static int floor_setattro(PyObject* self, PyObject* name, PyObject* value) {
  (void)name;
  if (value == NULL) {
    PyErr_SetString(PyExc_AttributeError, "can't delete attribute");
    return -1;
  }
  PyObject* old = ((Floor*)self)->value;
  ((Floor*)self)->value = Py_NewRef(value);
  Py_DECREF(old);
  return 0;
}

static PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* value = Py_None;
  if (!PyArg_ParseTuple(args, "|O", &value)) return NULL;
  (void)kwargs;
  Floor* self = (Floor*)type->tp_alloc(type, 0);
  if (self != NULL) self->value = Py_NewRef(value);
  return (PyObject*)self;
}

static void floor_dealloc(PyObject* self) {
  Py_XDECREF(((Floor*)self)->value);
  Py_TYPE(self)->tp_free(self);
}

static PyTypeObject FloorType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "hook_floor.Floor",
    .tp_basicsize = sizeof(Floor),
    .tp_dealloc = floor_dealloc,
    .tp_getattro = floor_getattro,
    .tp_setattro = floor_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_new = floor_new,
};

static struct PyModuleDef floor_module = {
    .m_base = PyModuleDef_HEAD_INIT, .m_name = "hook_floor", .m_size = -1};

PyMODINIT_FUNC PyInit_hook_floor(void) {
  if (PyType_Ready(&FloorType) < 0) return NULL;
  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  if (PyModule_AddObjectRef(module, "Floor", (PyObject*)&FloorType) < 0) {
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
