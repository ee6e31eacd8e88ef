// Allocation and freeing of the fourteen classes' instances, in one place.
// Each object struct T provides `release_fields()`, which destroys what its
// constructor-like `create` placed in the object; the rest (the type's own
// allocator and deallocator, the heap type's reference, the bounded-depth
// freeing of DeallocGuard) is the same for every class.
#pragma once

#include <Python.h>

#include "python/boundary.hpp"
#include "python/dealloc_guard.hpp"

namespace quenlor::py {

// Raw memory for a new instance of `type` through its tp_alloc; throws with
// the Python error set when there is none. The caller constructs the fields.
// Each T has one type, made once per process, so its slot is looked up once.
template <class T>
T* allocate_instance(PyTypeObject* type) {
  static const auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* o = alloc(type, 0);
  if (o == nullptr) throw_python_error();
  return reinterpret_cast<T*>(o);
}

// Frees a new instance of T none of whose fields were constructed.
template <class T>
void free_unconstructed_instance(PyObject* o) noexcept {
  PyTypeObject* tp = Py_TYPE(o);
  static const auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(o);
  Py_DECREF(tp);
}

// tp_dealloc for instances of T.
template <class T>
void dealloc_instance(PyObject* o) noexcept {
  DeallocGuard::run(o, [](PyObject* dead) noexcept {
    PyTypeObject* tp = Py_TYPE(dead);
    reinterpret_cast<T*>(dead)->release_fields();
    static const auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(dead);
    Py_DECREF(tp);  // instances of heap types own a reference to their type
  });
}

}  // namespace quenlor::py
