// The dict methods that are thin layers over the generic map: get, pop,
// popitem, setdefault, clear, and equality.
#pragma once

#include <Python.h>

#include <optional>
#include <utility>

#include "common/walk_ahead.hpp"
#include "python/args.hpp"
#include "python/equality.hpp"
#include "python/map_object.hpp"

namespace quenlor::py {

template <class F>
PyObject* map_get(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, nargs, kwnames, "O|O:get", key, dflt)) return nullptr;
  return enter_with_key<F, Access::Read>(
      o, key, static_cast<PyObject*>(nullptr),
      [dflt](MapObject<F>& self, const KeyArg& k) QUENLOR_INLINE_BODY {
        const PyRef* v = stored_value(self.inner, k);
        PyObject* r = v != nullptr ? v->get() : dflt != nullptr ? dflt : Py_None;
        Py_INCREF(r);
        return r;
      });
}

template <class F>
PyObject* map_pop(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, nargs, kwnames, "O|O:pop", key, dflt)) return nullptr;
  return enter_with_key<F, Access::Write>(
      o, key, static_cast<PyObject*>(nullptr),
      [dflt](MapObject<F>& self, const KeyArg& k) QUENLOR_INLINE_BODY -> PyObject* {
        if (std::optional<PyRef> v = self.inner.remove(k.probe().get())) {
          self.bump();
          return v->release();
        }
        // Like dict.pop, an explicit default (None included) is returned.
        if (dflt != nullptr) return PyRef::borrow(dflt).release();
        PyErr_SetObject(PyExc_KeyError, k.object);
        return nullptr;
      });
}

template <class F>
PyObject* map_popitem(PyObject* o, PyObject*) {
  return enter<F, Access::Write>(
      o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) -> PyObject* {
        if (self.inner.len() == 0) {
          PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
          return nullptr;
        }
        // The result tuple is built while the first entry is still in the map
        // (one walk finds and takes it); a failure to build it throws before
        // anything is taken, so nothing is lost.
        PyRef item;
        {
          auto drain = self.inner.extract_if([&item](const HashedAny& k, const PyRef& v) {
            item = PyRef::steal(PyTuple_Pack(2, k.object(), v.get()));
            if (!item) throw_python_error();
            return true;
          });
          if (!drain.next()) fatal("len > 0");
          // The next call's key and value: their objects are touched first
          // by its result tuple, and traversal order scatters them in memory.
          drain.peek([](const HashedAny& k, const PyRef& v) {
            prefetch_read(k.object());
            prefetch_read(v.get());
          });
        }
        self.bump();
        return item.release();
      });
}

template <class F>
PyObject* map_setdefault(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject *key, *dflt = nullptr;
  if (!parse_key_default(args, nargs, kwnames, "O|O:setdefault", key, dflt)) return nullptr;
  if (dflt == nullptr) dflt = Py_None;
  return enter_with_key<F, Access::Write>(
      o, key, static_cast<PyObject*>(nullptr),
      [dflt](MapObject<F>& self, const KeyArg& k) QUENLOR_INLINE_BODY {
        if (const PyRef* v = stored_value(self.inner, k)) return v->new_raw_ref();
        // A missing key is hashed again for its stored wrapper.
        KeyArg stored{k.object, hash_or_throw(k.object)};
        self.inner.insert(stored.owning(), PyRef::borrow(dflt));
        self.bump();
        return PyRef::borrow(dflt).release();
      });
}

template <class F>
PyObject* map_clear(PyObject* o, PyObject*) {
  return enter<F, Access::Write>(o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) {
    self.inner.clear();
    self.bump();
    return PyRef::borrow(Py_None).release();
  });
}

// How far ahead the equality walks load the other side: its probe groups
// kEqualFar entries ahead, the entries their tags match kEqualNear ahead, and
// (map against map) the objects those entries point to kEqualNearest ahead.
inline constexpr unsigned kEqualFar = 16, kEqualNear = 8, kEqualNearest = 4;

// Looks every entry of `map` up with `find(entry)` (an owning reference to
// the other side's value, null when missing) and compares values; any error
// means "not equal". Traversal order scatters memory, so beyond the caches
// the walk runs ahead of its lookups in up to three steps, each given the
// entry: far(e) starts loading what the other side's lookup touches first,
// near(e) what that leads to, nearest(e) the objects found there.
template <class Map, class Find, class Far, class Near, class Nearest>
bool all_entries_found(const Map& map, Find&& find, Far&& far, Near&& near, Nearest&& nearest) {
  using Entry = typename Map::EntryType;
  const auto found_equal = [&](const Entry& e) {
    PyRef found = find(e);
    if (!found) {
      discard_error_unless_stop();
      return false;
    }
    return equal_or_false(e.value.get(), found.get());
  };
  if (!worth_prefetching(map.capacity())) {
    // Everything is in cache already: a plain walk.
    return map.all_of(found_equal);
  }
  return walk_three_ahead<kEqualFar, kEqualNear, kEqualNearest>(map.iter(), far, near, nearest,
                                                                found_equal);
}
// A lookup by key object (a dict's, a mapping's), which reads the key and
// then the value object: both are loaded ahead.
template <class Map, class Find>
bool all_entries_found(const Map& map, Find&& find) {
  return all_entries_found(
      map, find,
      [](const typename Map::EntryType& e) {
        prefetch_read(e.key.object());
        prefetch_read(e.value.get());
      },
      [](const auto&) {}, [](const auto&) {});
}

// Every entry of `map` found in `other`, of the same class, with an equal
// value. Maps compared with a copy, or built from one source, share their
// key and value objects, and shared objects are never read: loading them
// ahead would only cost time. So the walk loads the objects of the other
// side's candidates (and its own key) only while it keeps meeting distinct
// ones: each entry found with a key or value object of its own keeps that
// step on for the next kEqualFar entries.
template <class Map>
bool map_entries_found(const Map& map, const Map& other) {
  using Entry = typename Map::EntryType;
  const auto lookup = [&](const Entry& e) {
    return other.template find_matching<false>(
        other.slot_hash(e.key), [&](const HashedAny& stored) { return stored == e.key; });
  };
  const auto none = [](const Entry&) {};
  if (!worth_prefetching(map.capacity())) {
    return all_entries_found(
        map,
        [&](const Entry& e) {
          const Entry* c = lookup(e);
          return c != nullptr ? c->value.new_ref() : PyRef();
        },
        none, none, none);
  }
  unsigned distinct_ahead = kEqualFar;
  return all_entries_found(
      map,
      [&](const Entry& e) {
        const Entry* c = lookup(e);
        if (c == nullptr) return PyRef();
        if (c->key.object() != e.key.object() || c->value.get() != e.value.get())
          distinct_ahead = kEqualFar;
        else if (distinct_ahead != 0)
          --distinct_ahead;
        return c->value.new_ref();
      },
      [&](const Entry& e) {
        prefetch_read(e.value.get());  // compared in any case
        other.prefetch_search_path(e.key);
      },
      [&](const Entry& e) { other.prefetch_candidate_entries(e.key); },
      [&](const Entry& e) {
        if (distinct_ahead == 0) return;
        other.for_each_candidate(e.key, [&](const Entry& c) {
          if (c.key.object() != e.key.object()) {
            prefetch_read(e.key.object());
            prefetch_read(c.key.object());
          }
          if (c.value.get() != e.value.get()) prefetch_read(c.value.get());
        });
      });
}

// `map == dict` by walking the dict instead: its entries sit in insertion
// order, so the walk reads memory in sequence and only the map's side is
// looked up at random (a lookup of the dict at random costs it two cache
// misses, its index and its entry). Runs only while no Python code can:
// plain keys on both sides, plain values. Answers true when every entry of
// the dict was found with an equal value (the sizes being equal, the plain
// walk of the map then finds the same pairs and runs no Python code either);
// anything else, a mismatch included, leaves the answer to the plain walk, so
// that the __eq__ calls it makes and its answer stay exactly its own.
template <class Map>
bool dict_walk_finds_all(const Map& map, PyObject* dict) {
  struct Item {
    PyObject* key;
    PyObject* value;
    Py_hash_t hash;
  };
  bool refused = false;
  // The dict's items one by one, hashed, until the first key that is not
  // plain. Items stay in the ring until the walk, which holds at most
  // kEqualFar of them, has visited them.
  struct Items {
    Items(PyObject* d, bool* r) noexcept : dict(d), refused(r) {}
    PyObject* dict;
    bool* refused;
    Py_ssize_t pos = 0;
    unsigned next_slot = 0;
    Item ring[2 * kEqualFar];
    Item* next() noexcept {
      PyObject *k, *v;
      if (!PyDict_Next(dict, &pos, &k, &v)) return nullptr;
      const Py_hash_t hash = plain_key(k) ? PyObject_Hash(k) : -1;
      if (hash == -1) {  // not plain (a plain key's hash never fails, but stay safe)
        if (PyErr_Occurred()) PyErr_Clear();
        *refused = true;
        return nullptr;
      }
      Item* it = &ring[next_slot++ % (2 * kEqualFar)];
      *it = {k, v, hash};
      return it;
    }
  };
  // Only C code compares plain objects; an error there cannot happen but
  // would refuse the walk.
  const auto plain_equal = [&refused](PyObject* a, PyObject* b) {
    const int t = equal_truth(a, b);
    if (t < 0) {
      PyErr_Clear();
      refused = true;
    }
    return t == 1;
  };
  const auto found_equal = [&](const Item& it) {
    const uint64_t h = map.slot_hash(ProbeKey(it.key, it.hash).get());
    const auto* e = map.template find_matching<false>(h, [&](const HashedAny& stored) {
      if (stored.hash() != it.hash) return false;
      PyObject* s = stored.object();
      if (s == it.key) return true;
      if (!plain_key(s)) {
        refused = true;
        return false;
      }
      return plain_equal(s, it.key);
    });
    if (e == nullptr || refused) return false;
    PyObject* mine = e->value.get();
    if (mine == it.value && equals_itself(mine)) return true;
    if (!plain_value(mine) || !plain_value(it.value)) return false;
    return plain_equal(mine, it.value) && !refused;
  };
  const bool all = walk_two_ahead<kEqualFar, kEqualNear>(
      Items{dict, &refused},
      [&](const Item& it) { map.prefetch_search_path(ProbeKey(it.key, it.hash).get()); },
      [&](const Item& it) { map.prefetch_candidate_entries(ProbeKey(it.key, it.hash).get()); },
      found_equal);
  return all && !refused;
}

template <class F>
PyObject* map_equals(MapObject<F>* self, PyObject* other) {
  const auto& map = self->inner;
  uint64_t n = map.len();
  bool equal = false;
  if (MapObject<F>::check(other)) {
    auto* that = MapObject<F>::cast(other);
    SharedBorrow b = shared_or_panic(that->borrow);
    equal = that->inner.len() == n && map_entries_found(map, that->inner);
  } else if (PyDict_Check(other)) {
    equal = static_cast<uint64_t>(PyDict_Size(other)) == n &&
            // A small map stays in cache, where looking the dict up costs
            // fewer instructions than looking the map up.
            ((worth_prefetching(map.capacity()) && dict_walk_finds_all(map, other)) ||
             all_entries_found(map, [&](const auto& e) {
               return PyRef::borrow(PyDict_GetItemWithError(other, e.key.object()));
             }));
  } else {
    PyRef keys = PyRef::steal(PyObject_GetAttrString(other, "keys"));
    if (!keys) discard_error_unless_stop();
    if (keys) {
      Py_ssize_t len = PyObject_Size(other);
      if (len < 0) discard_error_unless_stop();
      equal =
          len >= 0 && static_cast<uint64_t>(len) == n && all_entries_found(map, [&](const auto& e) {
            return PyRef::steal(PyObject_GetItem(other, e.key.object()));
          });
    }
  }
  return PyBool_FromLong(equal);
}

template <class F>
PyObject* map_richcompare(PyObject* o, PyObject* other, int op) {
  if (op == Py_NE) {
    int t = equal_truth(o, other);
    return t < 0 ? nullptr : PyBool_FromLong(!t);
  }
  if (op != Py_EQ) Py_RETURN_NOTIMPLEMENTED;
  return enter<F, Access::Read, Refusal::NotImplemented>(
      o, static_cast<PyObject*>(nullptr),
      [other](MapObject<F>& self) { return map_equals<F>(&self, other); });
}

}  // namespace quenlor::py
