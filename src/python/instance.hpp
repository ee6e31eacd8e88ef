// Allocation and freeing of the fourteen classes' instances, in one place.
// Each object struct T provides `release_fields()`, which destroys what its
// constructor-like `create` placed in the object (unless `kept_for_reuse()`,
// where T has it, keeps the dead object whole); the rest (the type's own
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

// As allocate_instance, without the zero-filling of the default tp_alloc, for
// a class whose instances are exactly a T (it cannot be subclassed: its
// basicsize is sizeof(T)), uses the default tp_free, and whose creation sets
// every field. Freed like any other instance.
template <class T>
T* allocate_unzeroed_instance(PyTypeObject* type) {
  void* mem = PyObject_Malloc(sizeof(T));
  if (mem == nullptr) {
    PyErr_NoMemory();
    throw_python_error();
  }
  // Sets the header and takes the reference a heap type's instance holds.
  return reinterpret_cast<T*>(PyObject_Init(static_cast<PyObject*>(mem), type));
}

// Gives the memory of an instance of T, whose class is `tp`, back through the
// class's tp_free; the reference to the class is the caller's to drop.
template <class T>
void free_instance_memory(PyObject* o, PyTypeObject* tp) noexcept {
  static const auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  free_fn(o);
}

// Frees a new instance of T none of whose fields were constructed.
template <class T>
void free_unconstructed_instance(PyObject* o) noexcept {
  PyTypeObject* tp = Py_TYPE(o);
  free_instance_memory<T>(o, tp);
  Py_DECREF(tp);
}

// tp_dealloc for instances of T.
template <class T>
void dealloc_instance(PyObject* o) noexcept {
  DeallocGuard::run(o, [](PyObject* dead) noexcept {
    PyTypeObject* tp = Py_TYPE(dead);
    T* self = reinterpret_cast<T*>(dead);
    if constexpr (requires { self->kept_for_reuse(); }) {
      if (self->kept_for_reuse()) {  // its memory stays with its class
        Py_DECREF(tp);
        return;
      }
    }
    self->release_fields();
    free_instance_memory<T>(dead, tp);
    Py_DECREF(tp);  // instances of heap types own a reference to their type
  });
}

}  // namespace quenlor::py
