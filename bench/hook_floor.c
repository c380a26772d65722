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

/* The other way round: a type that keeps the generic read, so that the interpreter specializes reads of its
 * instances' attributes as it does a plain object's (values in the instance's own dict), and whose write hook only
 * hands the write on to the generic store. Every write of an indexed object must reach a hook of ours, so this is
 * what such a layout pays per write before any work of its own, beside keeping each value a second time for the
 * engine. The Python subclass GenericReadFloor (made in the benchmark) has the instance dict. */
typedef struct {
  PyObject_HEAD
} GenericRead;

static int generic_read_setattro(PyObject* self, PyObject* name, PyObject* value) {
  return PyObject_GenericSetAttr(self, name, value);
}

static PyTypeObject GenericReadType = {
    PyVarObject_HEAD_INIT(NULL, 0).tp_name = "hook_floor.GenericRead",
    .tp_basicsize = sizeof(GenericRead),
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_setattro = generic_read_setattro,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE,
};

static struct PyModuleDef floor_module = {
    .m_base = PyModuleDef_HEAD_INIT, .m_name = "hook_floor", .m_size = -1};

PyMODINIT_FUNC PyInit_hook_floor(void) {
  if (PyType_Ready(&FloorType) < 0) return NULL;
  GenericReadType.tp_new = PyBaseObject_Type.tp_new;  // object's own: it sets up the instance dict's inline values
  if (PyType_Ready(&GenericReadType) < 0) return NULL;
  PyObject* module = PyModule_Create(&floor_module);
  if (module == NULL) return NULL;
  if (PyModule_AddObjectRef(module, "Floor", (PyObject*)&FloorType) < 0 ||
      PyModule_AddObjectRef(module, "GenericRead", (PyObject*)&GenericReadType) < 0) {
    Py_DECREF(module);
    return NULL;
  }
  return module;
}
