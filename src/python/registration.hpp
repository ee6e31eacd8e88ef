// Class registration: each class is created once per process from its type
// spec, then appended to the module's __all__ and set as a module attribute,
// in a fixed order.
#pragma once

#include <Python.h>

#include "python/py_ref.hpp"

namespace quenlor::py {

// Returns the cached type, creating it from `spec` on first use (null with an
// error set when that fails).
inline PyTypeObject* type_from_spec(PyTypeObject*& cache, PyType_Spec* spec) {
  if (cache == nullptr) cache = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(spec));
  return cache;
}

// The type slot of the class call's vectorcall (Py_tp_vectorcall, 82 in the
// stable ABI). Heap types may set it from 3.14 on; earlier interpreters
// refuse the slot, and 3.10's limited API, which this build targets, does not
// name it.
inline constexpr int kTypeVectorcallSlot = 82;

// Whether the running interpreter takes that slot. When its version cannot
// be read, it is treated as one that does not.
inline bool takes_type_vectorcall() noexcept {
  PyObject* version = PySys_GetObject("hexversion");  // borrowed
  if (version == nullptr) return false;
  const unsigned long hex = PyLong_AsUnsignedLong(version);
  if (hex == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  return hex >= 0x030E0000UL;
}

// Appends `name` to __all__ (creating the list if needed) and sets the attribute.
inline int add_class(PyObject* module, const char* name, PyTypeObject* type) {
  if (type == nullptr) return -1;
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  PyRef py_name = PyRef::steal(PyUnicode_FromString(name));
  if (!py_name || PyList_Append(all.get(), py_name.get()) < 0) return -1;
  return PyObject_SetAttrString(module, name, reinterpret_cast<PyObject*>(type));
}

}  // namespace quenlor::py
