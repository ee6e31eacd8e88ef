// The truth of `a == b`, for map and view equality and for value and item
// membership of views. Callers put the stored object on the left. There is no
// general identity short cut, so a NaN never matches itself.
#pragma once

#include <Python.h>

#include "python/boundary.hpp"

namespace quenlor::py {

// Objects of these exact types equal themselves, and comparing them runs no
// Python code, so for them identity gives the comparison's answer without the
// call. (A float does not: NaN.)
inline bool equals_itself(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyBytes_Type || o == Py_None ||
         t == &PyBool_Type;
}

// Keys whose hashing and comparison with one another are the interpreter's
// own C code: no Python code runs for them.
inline bool plain_key(PyObject* k) noexcept {
  PyTypeObject* t = Py_TYPE(k);
  return t == &PyUnicode_Type || t == &PyLong_Type || t == &PyFloat_Type;
}

// Values whose comparison with one another is the interpreter's own C code.
// (Not bytes: compared with str under `python -b` it issues a warning, which
// can run Python code.)
inline bool plain_value(PyObject* o) noexcept {
  PyTypeObject* t = Py_TYPE(o);
  return t == &PyLong_Type || t == &PyUnicode_Type || t == &PyFloat_Type || o == Py_None ||
         t == &PyBool_Type;
}

// 1, 0, or -1 with the error set when __eq__ or the truth test of its result
// fails.
inline int equal_truth(PyObject* a, PyObject* b) noexcept {
  if (a == b && equals_itself(a)) return 1;
  PyObject* r = PyObject_RichCompare(a, b, Py_EQ);
  if (r == nullptr) return -1;
  int t = r == Py_True ? 1 : r == Py_False ? 0 : PyObject_IsTrue(r);
  Py_DECREF(r);
  return t;
}

// As `equal_truth`, with an error counted as "not equal" and cleared, except a
// stop request (KeyboardInterrupt, SystemExit), which unwinds as PythonError.
inline bool equal_or_false(PyObject* a, PyObject* b) {
  int t = equal_truth(a, b);
  if (t < 0) discard_error_unless_stop();
  return t == 1;
}

}  // namespace quenlor::py
