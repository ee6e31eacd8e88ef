// The dict methods that are thin layers over the generic map: get, pop,
// popitem, setdefault, clear, and equality.
#pragma once

#include <Python.h>

#include <optional>

#include "python/args.hpp"
#include "python/map_object.hpp"

namespace quenlor::py {

// `(key, default=None)`; `dflt` stays null when the default is omitted.
inline bool parse_key_default(PyObject* args, PyObject* kwargs, const char* format, PyObject*& key,
                              PyObject*& dflt) {
  static const char* kwlist[] = {"key", "default", nullptr};
  return PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &key,
                                     &dflt) != 0;
}

template <class F>
PyObject* map_get(PyObject* o, PyObject* args, PyObject* kwargs) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, kwargs, "O|O:get", key, dflt)) return nullptr;
  PyObject* value = nullptr;
  if (lookup_value<F>(o, key, &value) != Lookup::Missing) return value;
  return PyRef::borrow(dflt != nullptr ? dflt : Py_None).release();
}

template <class F>
PyObject* map_pop(PyObject* o, PyObject* args, PyObject* kwargs) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, kwargs, "O|O:pop", key, dflt)) return nullptr;
  auto* self = MapObject<F>::cast(o);
  ExclusiveBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  Py_hash_t h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) return nullptr;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ProbeKey probe(key, h);
    if (std::optional<PyRef> v = self->inner.remove(probe.get())) {
      self->bump();
      return v->release();
    }
    // Like dict.pop, an explicit default (None included) is returned.
    if (dflt != nullptr) return PyRef::borrow(dflt).release();
    PyErr_SetObject(PyExc_KeyError, key);
    return nullptr;
  });
}

template <class F>
PyObject* map_popitem(PyObject* o, PyObject*) {
  auto* self = MapObject<F>::cast(o);
  ExclusiveBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  if (self->inner.len() == 0) {
    PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [&] {
    auto it = self->inner.iter();
    const auto* first = it.next();
    if (first == nullptr) fatal("len > 0");
    // The result tuple exists before the entry leaves the map, so a failure
    // to build it loses nothing.
    PyRef item = PyRef::steal(PyTuple_Pack(2, first->key.object(), first->value.get()));
    if (!item) throw_python_error();
    {
      auto drain = self->inner.extract_if([](const HashedAny&, const PyRef&) { return true; });
      if (!drain.next()) fatal("len > 0");
    }
    self->bump();
    return item.release();
  });
}

template <class F>
PyObject* map_setdefault(PyObject* o, PyObject* args, PyObject* kwargs) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, kwargs, "O|O:setdefault", key, dflt)) return nullptr;
  if (dflt == nullptr) dflt = Py_None;
  auto* self = MapObject<F>::cast(o);
  ExclusiveBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  Py_hash_t h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) return nullptr;
  PyObject* present = nullptr;
  Lookup r = guarded(Lookup::Error, [&] {
    ProbeKey probe(key, h);
    const PyRef* v = self->inner.get(probe.get());
    if (v == nullptr) return Lookup::Missing;
    present = v->new_ref().release();
    return Lookup::Found;
  });
  if (r != Lookup::Missing) return present;
  // A missing key is hashed again for its stored wrapper.
  h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) return nullptr;
  return guarded<PyObject*>(nullptr, [&] {
    self->inner.insert(HashedAny::owning(key, h), PyRef::borrow(dflt));
    self->bump();
    return PyRef::borrow(dflt).release();
  });
}

template <class F>
PyObject* map_clear(PyObject* o, PyObject*) {
  auto* self = MapObject<F>::cast(o);
  ExclusiveBorrow b(self->borrow);
  if (refused(b)) return nullptr;
  self->inner.clear();
  self->bump();
  Py_RETURN_NONE;
}

// Truth value of `a == b` with no identity short cut (a NaN is not equal to
// itself); -1 with the error set when the comparison or its truth test fails.
inline int rich_equal_truth(PyObject* a, PyObject* b) {
  PyRef r = PyRef::steal(PyObject_RichCompare(a, b, Py_EQ));
  return r ? PyObject_IsTrue(r.get()) : -1;
}

// Looks every entry of `map` up with `find(key)` (an owning reference, null
// when missing) and compares values; any error but a stop request means
// "not equal".
template <class Map, class Find>
bool all_entries_found(const Map& map, Find&& find) {
  auto it = map.iter();
  while (const auto* e = it.next()) {
    PyRef found = find(e->key);
    if (!found || rich_equal_truth(e->value.get(), found.get()) != 1) {
      discard_error_unless_stop();
      return false;
    }
  }
  return true;
}

template <class F>
PyObject* map_equals(MapObject<F>* self, PyObject* other) {
  const auto& map = self->inner;
  uint64_t n = map.len();
  bool equal = false;
  if (MapObject<F>::check(other)) {
    auto* that = MapObject<F>::cast(other);
    SharedBorrow b = shared_or_panic(that->borrow);
    equal = that->inner.len() == n && all_entries_found(map, [&](const HashedAny& k) {
              const PyRef* v = that->inner.get(k);
              return v != nullptr ? v->new_ref() : PyRef();
            });
  } else if (PyDict_Check(other)) {
    equal = static_cast<uint64_t>(PyDict_Size(other)) == n &&
            all_entries_found(map, [&](const HashedAny& k) {
              return PyRef::borrow(PyDict_GetItemWithError(other, k.object()));
            });
  } else {
    PyRef keys = PyRef::steal(PyObject_GetAttrString(other, "keys"));
    if (!keys) discard_error_unless_stop();
    if (keys) {
      Py_ssize_t len = PyObject_Size(other);
      if (len < 0) discard_error_unless_stop();
      equal = len >= 0 && static_cast<uint64_t>(len) == n &&
              all_entries_found(map, [&](const HashedAny& k) {
                return PyRef::steal(PyObject_GetItem(other, k.object()));
              });
    }
  }
  return PyBool_FromLong(equal);
}

template <class F>
PyObject* map_richcompare(PyObject* o, PyObject* other, int op) {
  if (op == Py_NE) {
    int t = rich_equal_truth(o, other);
    if (t < 0) return nullptr;
    return PyBool_FromLong(!t);
  }
  if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
  if (!MapObject<F>::check(o)) Py_RETURN_NOTIMPLEMENTED;
  auto* self = MapObject<F>::cast(o);
  SharedBorrow b(self->borrow);
  if (!b) Py_RETURN_NOTIMPLEMENTED;
  return guarded<PyObject*>(nullptr, [&] { return map_equals<F>(self, other); });
}

}  // namespace quenlor::py
