/* The cheapest possible mapping: every operation hashes its key and does
 * nothing else. Its instruction count per operation is the interpreter's own
 * share (the loop, the call through the slot, the hash), which a real map
 * cannot go below. */
#define Py_LIMITED_API 0x030a0000
#include <Python.h>

static PyObject* floor_subscript(PyObject* self, PyObject* key) {
  (void)self;
  if (PyObject_Hash(key) == -1) return NULL;
  Py_RETURN_NONE;
}

static int floor_ass_subscript(PyObject* self, PyObject* key, PyObject* value) {
  (void)self, (void)value;
  return PyObject_Hash(key) == -1 ? -1 : 0;
}

static int floor_contains(PyObject* self, PyObject* key) {
  (void)self;
  return PyObject_Hash(key) == -1 ? -1 : 0;
}

static PyObject* floor_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
  (void)self;
  if (nargs < 1 || nargs > 2) {
    PyErr_SetString(PyExc_TypeError, "get expected 1 or 2 arguments");
    return NULL;
  }
  if (PyObject_Hash(args[0]) == -1) return NULL;
  Py_RETURN_NONE;
}

/* Walks a dict through the stable ABI and hashes each key: all that
 * building a map from the dict must do before it places anything. */
static int floor_hash_keys(PyObject* d) {
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(d, &pos, &k, &v))
    if (PyObject_Hash(k) == -1) return -1;
  return 0;
}

/* Construction: a bare object; the keys of a dict given as the one
 * positional argument, and every keyword name, are hashed, as a map built
 * from them would. */
static PyObject* floor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject* d = PyTuple_Size(args) == 1 ? PyTuple_GetItem(args, 0) : NULL;
  if (d != NULL && PyDict_Check(d) && floor_hash_keys(d) < 0) return NULL;
  if (kwargs != NULL && floor_hash_keys(kwargs) < 0) return NULL;
  allocfunc alloc = (allocfunc)PyType_GetSlot(type, Py_tp_alloc);
  return alloc(type, 0);
}

static Py_ssize_t floor_len(PyObject* self) {
  (void)self;
  return 0;
}

static PyMethodDef floor_methods[] = {
    {"get", (PyCFunction)(void (*)(void))floor_get, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static PyType_Slot floor_slots[] = {
    {Py_mp_subscript, floor_subscript},
    {Py_mp_ass_subscript, floor_ass_subscript},
    {Py_mp_length, floor_len},
    {Py_sq_contains, floor_contains},
    {Py_tp_methods, floor_methods},
    {Py_tp_new, floor_new},
    {0, NULL},
};

static PyType_Spec floor_spec = {"floormap.FloorMap", sizeof(PyObject), 0, Py_TPFLAGS_DEFAULT,
                                 floor_slots};

static int floor_exec(PyObject* module) {
  PyObject* type = PyType_FromSpec(&floor_spec);
  if (type == NULL) return -1;
  if (PyModule_AddObject(module, "FloorMap", type) < 0) {
    Py_DECREF(type);
    return -1;
  }
  return 0;
}

static PyModuleDef_Slot floor_module_slots[] = {{Py_mod_exec, floor_exec}, {0, NULL}};

static struct PyModuleDef floor_module = {PyModuleDef_HEAD_INIT, "floormap", NULL, 0,   NULL,
                                          floor_module_slots,    NULL,       NULL, NULL};

PyMODINIT_FUNC PyInit_floormap(void) { return PyModuleDef_Init(&floor_module); }
