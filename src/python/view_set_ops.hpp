// Set behaviour of the key and item views, written over a view class `View`
// (providing `type`, `Family`, `kKind`, `cast(o)->target()`).
//
// A view contributes, entry by entry in traversal order, the stored key object
// (key views) or a fresh (key, value) tuple (item views). Every pass over the
// map runs under a shared borrow, so Python code of `other`, keys or values
// can read the map but never change it mid-pass. Results are new plain
// `set`s; only a left operand of the view's own class is served (there is no
// reflected form). Equality answers for any sized container and never raises
// on behalf of `other`.
#pragma once

#include <Python.h>

#include <cstdint>

#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/equality.hpp"
#include "python/hashed_any.hpp"
#include "python/iterators.hpp"
#include "python/py_ref.hpp"

namespace quenlor::py {

namespace view_ops {

inline PyRef new_set() {
  PyRef s = PyRef::steal(PySet_New(nullptr));
  if (!s) throw_python_error();
  return s;
}

inline void add_to(PyObject* set, PyObject* item) {
  if (PySet_Add(set, item) < 0) throw_python_error();
}

inline bool contains_or_throw(PyObject* container, PyObject* item) {
  int r = PySequence_Contains(container, item);
  if (r < 0) throw_python_error();
  return r == 1;
}

template <class View>
bool is_left_operand(PyObject* a) noexcept {
  return View::type != nullptr && PyObject_TypeCheck(a, View::type);
}

// `view == other`: same size and every element `in other`. Errors raised on
// behalf of `other` (its len, its membership, a tuple that cannot be built)
// mean "not equal"; a stop request and a refused borrow of the map still
// propagate.
template <class View>
bool equals(PyObject* self, PyObject* other) {
  auto* m = View::cast(self)->target();
  SharedBorrow b = shared_or_panic(m->borrow);
  Py_ssize_t n = PyObject_Size(other);
  if (n < 0) {
    discard_error_unless_stop();
    return false;
  }
  if (static_cast<uint64_t>(n) != m->inner.len()) return false;
  auto it = m->inner.iter();
  while (const auto* e = it.next()) {
    PyRef element = make_element<View::kKind>(*e);
    int r = element ? PySequence_Contains(other, element.get()) : -1;
    if (r < 0) {
      discard_error_unless_stop();
      return false;
    }
    if (r == 0) return false;
  }
  return true;
}

// Under a shared borrow of the map, adds to `result` each element of the
// view (in traversal order) that `keep` accepts.
template <class View, class Keep>
void add_elements(PyObject* view, PyObject* result, Keep&& keep) {
  auto* m = View::cast(view)->target();
  SharedBorrow b = shared_or_panic(m->borrow);
  auto it = m->inner.iter();
  while (const auto* e = it.next()) {
    PyRef element = make_element<View::kKind>(*e);
    if (!element) throw_python_error();
    if (keep(element.get())) add_to(result, element.get());
  }
}

// `-` keeps the elements not in `other`, `&` those in it.
template <class View, bool kKeepMembers>
PyObject* filter_by_membership(PyObject* a, PyObject* other) {
  if (!is_left_operand<View>(a)) Py_RETURN_NOTIMPLEMENTED;
  return guarded<PyObject*>(nullptr, [&] {
    PyRef result = new_set();
    add_elements<View>(a, result.get(), [&](PyObject* element) {
      return contains_or_throw(other, element) == kKeepMembers;
    });
    return result.release();
  });
}

}  // namespace view_ops

template <class View>
PyObject* view_richcompare(PyObject* self, PyObject* other, int op) {
  switch (op) {
    case Py_EQ:
      return guarded<PyObject*>(
          nullptr, [&] { return PyBool_FromLong(view_ops::equals<View>(self, other)); });
    case Py_NE: {
      // Through the full protocol, so `!=` always agrees with `==`.
      int t = equal_truth(self, other);
      return t < 0 ? nullptr : PyBool_FromLong(!t);
    }
    case Py_LT:
    case Py_LE:
    case Py_GT:
    case Py_GE:
      Py_RETURN_NOTIMPLEMENTED;
    default:
      raise_panic("invalid compareop");
      return nullptr;
  }
}

template <class View>
PyObject* view_subtract(PyObject* a, PyObject* other) {
  return view_ops::filter_by_membership<View, false>(a, other);
}

template <class View>
PyObject* view_and(PyObject* a, PyObject* other) {
  return view_ops::filter_by_membership<View, true>(a, other);
}

// Every element of the view, then every object `other` yields; the map is not
// borrowed while `other` is iterated.
template <class View>
PyObject* view_or(PyObject* a, PyObject* other) {
  if (!view_ops::is_left_operand<View>(a)) Py_RETURN_NOTIMPLEMENTED;
  return guarded<PyObject*>(nullptr, [&] {
    PyRef result = view_ops::new_set();
    view_ops::add_elements<View>(a, result.get(), [](PyObject*) { return true; });
    PyRef iter = PyRef::steal(PyObject_GetIter(other));
    if (!iter) throw_python_error();
    while (PyRef x = PyRef::steal(PyIter_Next(iter.get()))) view_ops::add_to(result.get(), x.get());
    if (PyErr_Occurred()) throw_python_error();
    return result.release();
  });
}

// Key views only. The keys not `in other`, then the objects `other` yields
// that the map does not hold (looked up exactly as `m[x]` would). `other` is
// consulted twice, so a one-shot iterator is used up by the first pass.
template <class View>
PyObject* keys_view_xor(PyObject* a, PyObject* other) {
  if (!view_ops::is_left_operand<View>(a)) Py_RETURN_NOTIMPLEMENTED;
  return guarded<PyObject*>(nullptr, [&] {
    PyRef result = view_ops::new_set();
    view_ops::add_elements<View>(
        a, result.get(), [&](PyObject* key) { return !view_ops::contains_or_throw(other, key); });
    auto* m = View::cast(a)->target();
    SharedBorrow b = shared_or_panic(m->borrow);
    PyRef iter = PyRef::steal(PyObject_GetIter(other));
    if (!iter) throw_python_error();
    while (PyRef x = PyRef::steal(PyIter_Next(iter.get()))) {
      Py_hash_t h = hash_or_throw(x.get());
      ProbeKey probe(x.get(), h);
      if (!m->inner.contains_key(probe.get())) view_ops::add_to(result.get(), x.get());
    }
    if (PyErr_Occurred()) throw_python_error();
    return result.release();
  });
}

}  // namespace quenlor::py
