// The Python map object, written once and instantiated for both families:
//
//   MapObject<F> { PyObject header; F::Map inner; modifications; borrow }
//
// `inner` is the generic map over (HashedAny, PyRef) entries. `modifications`
// advances on every change iterators must notice (their only signal). Every
// operation holds a shared (read) or exclusive (write) borrow for its whole
// duration, because key hashing and equality can run arbitrary Python code.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <utility>

#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/dealloc_guard.hpp"
#include "python/hashed_any.hpp"
#include "python/py_ref.hpp"

namespace quenlor::py {

template <class F>
struct MapObject {
  using Map = typename F::Map;

  PyObject_HEAD Map inner;
  uint64_t modifications;
  BorrowFlag borrow;

  static inline PyTypeObject* type = nullptr;  // created once per process

  void bump() noexcept { ++modifications; }

  static bool check(PyObject* o) noexcept { return type != nullptr && PyObject_TypeCheck(o, type); }

  // A new instance owning `inner`, counter 0.
  static PyObject* create(Map&& inner) {
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* o = alloc(type, 0);
    if (o == nullptr) throw_python_error();
    auto* self = reinterpret_cast<MapObject*>(o);
    ::new (&self->inner) Map(std::move(inner));
    self->modifications = 0;
    ::new (&self->borrow) BorrowFlag();
    return o;
  }

  static void dealloc(PyObject* o) { DeallocGuard::run(o, finish_dealloc); }
  static void finish_dealloc(PyObject* o) {
    auto* self = reinterpret_cast<MapObject*>(o);
    PyTypeObject* tp = Py_TYPE(o);
    self->inner.~Map();
    self->borrow.~BorrowFlag();
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
    free_fn(o);
    Py_DECREF(tp);
  }

  static MapObject* cast(PyObject* o) noexcept { return reinterpret_cast<MapObject*>(o); }
};

// Builds a generic map and wraps it in a new map object.
template <class F>
PyObject* new_map_object(const typename F::Options& options) {
  return MapObject<F>::create(F::Map::with_options(options));
}

// ----- the minimal protocol: len, m[k], k in m, m[k] = v, del m[k] -----

template <class F>
Py_ssize_t map_len(PyObject* o) {
  auto* self = MapObject<F>::cast(o);
  SharedBorrow b(self->borrow);
  if (refused(b)) return -1;
  return static_cast<Py_ssize_t>(self->inner.len());
}

// The read side of m[k], k in m and get: a shared borrow for the whole
// lookup (key equality may run Python code), the key hashed after it.
enum class Lookup { Error, Missing, Found };

template <class F>
Lookup lookup_value(PyObject* o, PyObject* key, PyObject** value) {
  auto* self = MapObject<F>::cast(o);
  SharedBorrow b(self->borrow);
  if (refused(b)) return Lookup::Error;
  Py_hash_t h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) return Lookup::Error;
  return guarded(Lookup::Error, [&] {
    ProbeKey probe(key, h);
    const PyRef* v = self->inner.get(probe.get());
    if (v == nullptr) return Lookup::Missing;
    if (value != nullptr) *value = v->new_ref().release();
    return Lookup::Found;
  });
}

template <class F>
PyObject* map_getitem(PyObject* o, PyObject* key) {
  PyObject* value = nullptr;
  Lookup r = lookup_value<F>(o, key, &value);
  if (r == Lookup::Missing) PyErr_SetObject(PyExc_KeyError, key);
  return value;
}

template <class F>
int map_contains(PyObject* o, PyObject* key) {
  Lookup r = lookup_value<F>(o, key, nullptr);
  return r == Lookup::Error ? -1 : r == Lookup::Found ? 1 : 0;
}

template <class F>
int map_ass_subscript(PyObject* o, PyObject* key, PyObject* value) {
  auto* self = MapObject<F>::cast(o);
  ExclusiveBorrow b(self->borrow);
  if (refused(b)) return -1;
  Py_hash_t h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) return -1;
  if (value != nullptr) {
    return guarded(-1, [&] {
      // The previous value (if any) is released when the optional goes.
      self->inner.insert(HashedAny::owning(key, h), PyRef::borrow(value));
      self->bump();
      return 0;
    });
  }
  return guarded(-1, [&] {
    ProbeKey probe(key, h);
    std::optional<PyRef> removed = self->inner.remove(probe.get());
    if (!removed) {
      PyErr_SetObject(PyExc_KeyError, key);
      return -1;
    }
    self->bump();
    return 0;
  });
}

// Sequence item slots forward to the mapping slots with the index as an int.
template <class F>
PyObject* map_sq_item(PyObject* o, Py_ssize_t i) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? map_getitem<F>(o, key.get()) : nullptr;
}

template <class F>
int map_sq_ass_item(PyObject* o, Py_ssize_t i, PyObject* value) {
  PyRef key = PyRef::steal(PyLong_FromSsize_t(i));
  return key ? map_ass_subscript<F>(o, key.get(), value) : -1;
}

template <class F>
PyObject* map_repr(PyObject* o) {
  auto* self = MapObject<F>::cast(o);
  SharedBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  return PyUnicode_FromFormat("%s(len=%llu, capacity=%llu)", F::kName,
                              static_cast<unsigned long long>(self->inner.len()),
                              static_cast<unsigned long long>(self->inner.capacity()));
}

template <class F>
PyObject* map_get_capacity(PyObject* o, void*) {
  auto* self = MapObject<F>::cast(o);
  SharedBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  return PyLong_FromUnsignedLongLong(self->inner.capacity());
}

}  // namespace quenlor::py
