#include <Python.h>

static PyModuleDef_Slot quenlor_slots[] = {{0, nullptr}};
static PyModuleDef quenlor_def = {PyModuleDef_HEAD_INIT, "quenlor", "", 0, nullptr, quenlor_slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_quenlor(void) { return PyModuleDef_Init(&quenlor_def); }
