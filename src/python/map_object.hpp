// The Python map object, written once and instantiated for both families:
//
//   MapObject<F> { PyObject header; F::Map inner; modifications; borrow }
//
// `inner` is the generic map over (HashedAny, PyRef) entries. `modifications`
// advances on every change iterators must notice (their only signal). Every
// operation holds a shared (read) or exclusive (write) borrow for its whole
// duration, because key hashing and equality can run arbitrary Python code;
// `enter` below is the only way an operation reaches `inner`.
#pragma once

#include <Python.h>

#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

#include "common/dcheck.hpp"
#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/hashed_any.hpp"
#include "python/instance.hpp"
#include "python/py_ref.hpp"
#include "python/small_maps.hpp"

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
    return create_with([&]() -> Map&& { return std::move(inner); });
  }

  // A new instance whose map is `make()`'s, counter 0. A map returned by
  // value is built in the object itself, never moved. The map classes cannot
  // be subclassed and keep the default tp_free, and every field is set here.
  template <class Make>
  static PyObject* create_with(Make&& make) {
    auto* self = allocate_unzeroed_instance<MapObject>(type);
    try {
      ::new (&self->inner) Map(make());
    } catch (...) {
      free_unconstructed_instance<MapObject>(reinterpret_cast<PyObject*>(self));
      throw;
    }
    self->modifications = 0;
    ::new (&self->borrow) BorrowFlag();
    return reinterpret_cast<PyObject*>(self);
  }

  // For the deallocation: keeps this dead object for reuse instead of
  // releasing its fields (SmallMaps); whether it did.
  bool kept_for_reuse() noexcept { return SmallMaps<F>::keep(this); }

  // A kept object made a new instance again: counter 0, no borrow.
  static PyObject* revive(MapObject* self) noexcept {
    QUENLOR_DCHECK(self->inner.len() == 0 && self->inner.capacity() == SmallMaps<F>::kCapacity);
    PyObject* o = PyObject_Init(reinterpret_cast<PyObject*>(self), type);
    self->modifications = 0;
    ::new (&self->borrow) BorrowFlag();
    return o;
  }

  void release_fields() noexcept {
    inner.~Map();
    borrow.~BorrowFlag();
  }

  static MapObject* cast(PyObject* o) noexcept { return reinterpret_cast<MapObject*>(o); }
};

// Builds a generic map and wraps it in a new map object.
template <class F>
PyObject* build_map_object(const typename F::Options& options) {
  return MapObject<F>::create_with([&] { return F::Map::with_options(options); });
}

// A map of the smallest geometry: a kept one if there is one.
template <class F>
[[gnu::noinline]] PyObject* new_small_map_object(const typename F::Options& options) {
  if (SmallMaps<F>::serves(options))
    if (MapObject<F>* kept = SmallMaps<F>::take()) return MapObject<F>::revive(kept);
  return build_map_object<F>(options);
}

// Inline, as it was before small maps were kept: one more test on the way.
template <class F>
[[gnu::always_inline]] inline PyObject* new_map_object(const typename F::Options& options) {
  if (options.capacity == SmallMaps<F>::kCapacity) return new_small_map_object<F>(options);
  return build_map_object<F>(options);
}

// ----- entering an operation -----

enum class Access { Read, Write };

// What a refused borrow of `self` turns into: the RuntimeError of the borrow
// ("Already mutably borrowed" / "Already borrowed"), NotImplemented (the
// operators, which let the interpreter try the other operand), or the panic
// (paths on which a conflict counts as impossible).
enum class Refusal { Raise, NotImplemented, Panic };

// A key argument, hashed once after the borrow was taken (so a __hash__ that
// reaches the same map meets the borrow).
struct KeyArg {
  PyObject* object;
  Py_hash_t hash;

  // Lookups and removals: no new reference.
  ProbeKey probe() const noexcept { return ProbeKey(object, hash); }
  // Insertion: a new reference to the key.
  HashedAny owning() const noexcept { return HashedAny::owning(object, hash); }
};

// Runs `body(self)` with `o`'s borrow for `A` held throughout; C++ failures
// inside become Python errors and `on_error` is returned.
template <class F, Access A, Refusal N = Refusal::Raise, class R, class Body>
[[gnu::always_inline]] inline R enter(PyObject* o, R on_error, Body&& body) {
  using M = MapObject<F>;
  if constexpr (N == Refusal::NotImplemented) {
    if (!M::check(o)) return PyRef::borrow(Py_NotImplemented).release();
  }
  M& self = *M::cast(o);
  constexpr bool kShared = A == Access::Read;
  if (!(kShared ? self.borrow.try_shared() : self.borrow.try_exclusive())) {
    if constexpr (N == Refusal::NotImplemented) {
      return PyRef::borrow(Py_NotImplemented).release();
    } else if constexpr (N == Refusal::Panic) {
      raise_panic("Already mutably borrowed: PyBorrowError");
    } else if constexpr (kShared) {
      raise_mutably_borrowed();
    } else {
      raise_already_borrowed();
    }
    return on_error;
  }
  // No guard object: `guarded` lets no exception out, so the borrow is given
  // back on every path, and a guard would keep its pointer on the stack.
  const R r = guarded<R>(on_error, [&]() QUENLOR_INLINE_BODY -> R { return body(self); });
  if constexpr (kShared) {
    self.borrow.release_shared();
  } else {
    self.borrow.release_exclusive();
  }
  return r;
}

// As `enter`, hashing `key` once the borrow is held; a failed hash is raised.
template <class F, Access A, class R, class Body>
[[gnu::always_inline]] inline R enter_with_key(PyObject* o, PyObject* key, R on_error,
                                               Body&& body) {
  return enter<F, A>(o, on_error, [&](MapObject<F>& self) QUENLOR_INLINE_BODY -> R {
    return body(self, KeyArg{key, hash_or_throw(key)});
  });
}

// ----- the minimal protocol: len, m[k], k in m, m[k] = v, del m[k] -----

template <class F>
Py_ssize_t map_len(PyObject* o) {
  return enter<F, Access::Read>(o, Py_ssize_t{-1}, [](MapObject<F>& self) {
    return static_cast<Py_ssize_t>(self.inner.len());
  });
}

// The stored value for `key`, or null when the key is missing. Through the
// const map: its lookup is the one forced inline.
template <class Map>
[[gnu::always_inline]] inline const PyRef* stored_value(const Map& map, const KeyArg& key) {
  return map.get(key.probe().get());
}

template <class F>
PyObject* map_getitem(PyObject* o, PyObject* key) {
  return enter_with_key<F, Access::Read>(o, key, static_cast<PyObject*>(nullptr),
                                         [](MapObject<F>& self, const KeyArg& k)
                                             QUENLOR_INLINE_BODY -> PyObject* {
                                               if (const PyRef* v = stored_value(self.inner, k))
                                                 return v->new_raw_ref();
                                               PyErr_SetObject(PyExc_KeyError, k.object);
                                               return nullptr;
                                             });
}

template <class F>
int map_contains(PyObject* o, PyObject* key) {
  return enter_with_key<F, Access::Read>(
      o, key, -1, [](MapObject<F>& self, const KeyArg& k) QUENLOR_INLINE_BODY {
        return self.inner.contains_key(k.probe().get()) ? 1 : 0;
      });
}

template <class F>
int map_ass_subscript(PyObject* o, PyObject* key, PyObject* value) {
  return enter_with_key<F, Access::Write>(
      o, key, -1, [value](MapObject<F>& self, const KeyArg& k) QUENLOR_INLINE_BODY {
        if (value != nullptr) {
          if (self.inner.capacity() == 0) [[unlikely]]
            SmallMaps<F>::adopt(self.inner);
          // The previous value (if any) is released when the optional goes.
          self.inner.insert(k.owning(), PyRef::borrow(value));
          self.bump();
          return 0;
        }
        if (!self.inner.remove(k.probe().get())) {
          PyErr_SetObject(PyExc_KeyError, k.object);
          return -1;
        }
        self.bump();
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
  return enter<F, Access::Read>(o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) {
    return PyUnicode_FromFormat("%s(len=%llu, capacity=%llu)", F::kName,
                                static_cast<unsigned long long>(self.inner.len()),
                                static_cast<unsigned long long>(self.inner.capacity()));
  });
}

template <class F>
PyObject* map_get_capacity(PyObject* o, void*) {
  return enter<F, Access::Read>(o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) {
    return PyLong_FromUnsignedLongLong(self.inner.capacity());
  });
}

#ifdef QUENLOR_DEBUG_CHECKS
// Debug builds only: the generic map's full consistency check, for the
// randomized tests to run after every step. A failed check is the panic.
template <class F>
PyObject* map_check_consistency(PyObject* o, PyObject*) {
  return enter<F, Access::Read>(o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) {
    if constexpr (std::is_same_v<decltype(self.inner.check_consistency()), bool>) {
      if (!self.inner.check_consistency()) fatal("map consistency check failed");
    } else {
      self.inner.check_consistency();  // reports a failure as InternalError
    }
    return PyRef::borrow(Py_None).release();
  });
}
#endif

}  // namespace quenlor::py
