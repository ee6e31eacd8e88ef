// The bulk update behind update(), |=, | and the class call. Sources are
// recognised in priority order: a map of the same class, a dict, a mapping
// with keys(), then an iterable of pairs. Room is reserved once whenever the
// source can tell its size, and the counter advances once, only when
// something was stored, so an update that adds nothing keeps iterators valid.
#pragma once

#include <Python.h>

#include <concepts>
#include <utility>

#include "common/bulk_insert.hpp"
#include "common/saturating.hpp"
#include "python/args.hpp"
#include "python/map_object.hpp"

namespace quenlor::py {

// Inserts new references to every entry of `from` into `to`, reusing the
// cached hashes (no __hash__ call). The key and value objects, whose counts
// the insertion raises, are loaded a few entries ahead. The keys of `from`
// are pairwise unequal, and plain ones stay so: into a map that started
// empty they go without a search for an equal key, until the first other
// key, whose __eq__ could claim equality with any later one. The insertion
// is inlined into the walk: called per entry, it spent ~20 instructions on
// its frame and on reloading the placer's state.
template <class Map>
void copy_entries(const Map& from, Map& to) {
  bool known_new = to.len() == 0;
  PyTypeObject* plain_type = nullptr;  // the type of the last key found plain
  typename Map::NewKeys fresh(to);
  if (!known_new) fresh.finish();
  insert_all_traversed(
      from, fresh,
      [&](auto&, const HashedAny& key, const PyRef& value, uint64_t h) QUENLOR_INLINE_BODY {
        if (known_new && Py_TYPE(key.object()) != plain_type) {
          known_new = plain_key(key.object());
          plain_type = Py_TYPE(key.object());
          if (!known_new) fresh.finish();  // searched insertions from here on
        }
        if (known_new) {
          fresh.insert_made(h, [&] {
            return typename Map::EntryType{key.clone(), value.new_ref()};
          });
        } else {
          to.insert(key.clone(), value.new_ref());
        }
      },
      [](const HashedAny& key, const PyRef& value) {
        prefetch_read(key.object());
        prefetch_read(value.get());
      });
}

template <class Map>
void insert_hashing(Map& map, PyObject* key, PyObject* value) {
  Py_hash_t h = hash_or_throw(key);
  map.insert(HashedAny::owning(key, h), PyRef::borrow(value));
}

// An empty source reserves nothing: reserve(0) could still rebuild a map that
// holds more entries than its growth limit (a reserve fraction close to 1).
inline void reserve_for(auto& map, std::integral auto n) {
  if (n > 0) map.reserve(static_cast<uint64_t>(n));
}

// len(o), or nothing when it fails (the error is cleared).
inline Py_ssize_t size_or_zero(PyObject* o) {
  Py_ssize_t n = PyObject_Size(o);
  if (n < 0) {
    PyErr_Clear();
    return 0;
  }
  return n;
}

// PyDict_Next position just past the last entry of `dict`. Entries appended
// later lie beyond it, as long as the dict is not compacted by a resize.
inline Py_ssize_t end_position(PyObject* dict) noexcept {
  Py_ssize_t pos = 0, end = 0;
  PyObject *k, *v;
  while (PyDict_Next(dict, &pos, &k, &v)) end = pos;
  return end;
}

// A dict entry with a plain key, on its way into a map.
struct PlainItem {
  PyObject* key;
  PyObject* value;
  Py_hash_t hash;
  uint64_t h;  // the target's slot_hash of the key
};
template <class Map>
[[gnu::always_inline]] inline PlainItem plain_item(const typename Map::NewKeys& fresh, PyObject* k,
                                                   Py_hash_t hash, PyObject* v) {
  return {k, v, hash, fresh.slot_hash(ProbeKey(k, hash).get())};
}
// Inserts the item's key, which no key inserted through `fresh` equals, with
// its value.
template <class Map>
[[gnu::always_inline]] inline void insert_new_plain(typename Map::NewKeys& fresh,
                                                    const PlainItem& item) {
  fresh.insert_made(item.h, [&] {
    return
        typename Map::EntryType{HashedAny::owning(item.key, item.hash), PyRef::borrow(item.value)};
  });
}

// Returns whether anything was inserted. Hashing and key equality can run
// Python code that changes the dict under the walk. A change of size is seen
// directly. With the size kept (a key removed, another added), the walk would
// skip or repeat entries; that shows as an entry beyond the original end, as
// more entries than the dict had, or as the current entry having moved (a
// resize compacted the dict). Those checks cost a walk step each, so they
// start only once Python code can run: while an empty map takes plain keys,
// none can.
template <class Map>
bool update_from_dict(Map& map, PyObject* dict) {
  const Py_ssize_t size = PyDict_Size(dict);
  bool plain = map.len() == 0;
  reserve_for(map, size);
  Py_ssize_t pos = 0, taken = 0, end = plain ? 0 : end_position(dict);
  PyTypeObject* plain_type = nullptr;  // the type of the last key found plain
  typename Map::NewKeys fresh(map);
  if (!plain) fresh.finish();
  // Into a table beyond the cache, plain keys go through a window: a dict
  // walks in insertion order, and each key's place in the map is random.
  auto place = [&](const PlainItem& item)
                   QUENLOR_INLINE_BODY { insert_new_plain<Map>(fresh, item); };
  InsertWindow<true, PlainItem, typename Map::NewKeys, decltype(place)> window(fresh, place);
  const bool ahead = plain && beyond_cache(map.capacity());
  PyObject *k, *v;
  for (Py_ssize_t at = pos; PyDict_Next(dict, &pos, &k, &v); at = pos) {
    if (plain && Py_TYPE(k) != plain_type) {
      if (plain_key(k)) {
        plain_type = Py_TYPE(k);
      } else {
        // Searched insertions from here on; nothing has run yet that could
        // have changed the dict.
        window.drain();
        plain = false;
        fresh.finish();
        end = end_position(dict);
      }
    }
    if (plain) {
      // Nothing runs Python code, and the dict's keys are pairwise unequal:
      // each one is new in the map.
      const PlainItem item = plain_item<Map>(fresh, k, hash_or_throw(k), v);
      if (ahead) {
        window.push(item);
      } else {
        insert_new_plain<Map>(fresh, item);
      }
      continue;
    }
    if (pos > end || ++taken > size) fatal("dictionary keys changed during iteration");
    // Python code run below may drop the dict's references: hold our own.
    PyRef key = PyRef::borrow(k), value = PyRef::borrow(v);
    insert_hashing(map, key.get(), value.get());
    if (PyDict_Size(dict) != size) fatal("dictionary changed size during iteration");
    Py_ssize_t again = at;
    PyObject *k2, *v2;
    if (!PyDict_Next(dict, &again, &k2, &v2) || k2 != key.get() || again != pos)
      fatal("dictionary keys changed during iteration");
  }
  window.drain();
  return size > 0;
}

template <class Map>
bool update_from_keys(Map& map, PyObject* source, PyObject* keys_method) {
  reserve_for(map, size_or_zero(source));
  PyRef keys = PyRef::steal(PyObject_CallObject(keys_method, nullptr));
  if (!keys) throw_python_error();
  PyRef it = PyRef::steal(PyObject_GetIter(keys.get()));
  if (!it) throw_python_error();
  bool inserted = false;
  while (PyRef key = PyRef::steal(PyIter_Next(it.get()))) {
    PyRef value = PyRef::steal(PyObject_GetItem(source, key.get()));
    if (!value) throw_python_error();
    insert_hashing(map, key.get(), value.get());
    inserted = true;
  }
  if (PyErr_Occurred()) throw_python_error();
  return inserted;
}

[[noreturn]] inline void throw_not_a_pair() {
  PyErr_SetString(PyExc_ValueError, "update sequence elements must be 2-tuples");
  throw_python_error();
}

template <class Map>
bool update_from_pairs(Map& map, PyObject* source) {
  reserve_for(map, size_or_zero(source));
  PyRef it = PyRef::steal(PyObject_GetIter(source));
  if (!it) throw_python_error();
  bool inserted = false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    // An exact tuple or list answers len() and [i] with its own C code: read
    // it directly. The pair's items are held while hashing runs Python code.
    if ((PyTuple_CheckExact(item.get()) && PyTuple_Size(item.get()) == 2) ||
        (PyList_CheckExact(item.get()) && PyList_Size(item.get()) == 2)) {
      const bool tuple = PyTuple_CheckExact(item.get());
      PyRef key =
          PyRef::borrow(tuple ? PyTuple_GetItem(item.get(), 0) : PyList_GetItem(item.get(), 0));
      PyRef value =
          PyRef::borrow(tuple ? PyTuple_GetItem(item.get(), 1) : PyList_GetItem(item.get(), 1));
      insert_hashing(map, key.get(), value.get());
      inserted = true;
      continue;
    }
    Py_ssize_t n = PyObject_Size(item.get());
    if (n < 0) PyErr_Clear();
    if (n != 2) throw_not_a_pair();
    PyRef parts[2];
    for (long i = 0; i < 2; ++i) {
      PyRef index = PyRef::steal(PyLong_FromLong(i));
      if (!index) throw_python_error();
      parts[i] = PyRef::steal(PyObject_GetItem(item.get(), index.get()));
      if (!parts[i]) throw_python_error();
    }
    insert_hashing(map, parts[0].get(), parts[1].get());
    inserted = true;
  }
  if (PyErr_Occurred()) throw_python_error();
  return inserted;
}

// The caller holds `target`'s exclusive borrow. Throws on failure; entries
// stored before the failure stay and the counter does not move.
template <class F>
void bulk_update(MapObject<F>* target, PyObject* other, PyObject* kwargs) {
  auto& map = target->inner;
  bool inserted = false;
  if (given(other)) {  // None stands for "no source", in every caller
    if (other == reinterpret_cast<PyObject*>(target)) {
      // Updating a map from itself stores every entry over itself: nothing
      // changes, but it counts as a store like any non-empty update.
      inserted = map.len() > 0;
    } else if (MapObject<F>::check(other)) {
      auto* source = MapObject<F>::cast(other);
      SharedBorrow b = shared_or_panic(source->borrow);
      reserve_for(map, source->inner.len());
      copy_entries(source->inner, map);
      inserted = source->inner.len() > 0;
    } else if (PyDict_Check(other)) {
      inserted = update_from_dict(map, other);
    } else if (PyList_CheckExact(other) || PyTuple_CheckExact(other)) {
      // Neither has a keys attribute: pairs, without the failed lookup.
      inserted = update_from_pairs(map, other);
    } else {
      PyRef keys = PyRef::steal(PyObject_GetAttrString(other, "keys"));
      if (keys) {
        inserted = update_from_keys(map, other, keys.get());
      } else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        inserted = update_from_pairs(map, other);
      } else {
        throw_python_error();
      }
    }
  }
  if (kwargs != nullptr && update_from_dict(map, kwargs)) inserted = true;
  if (inserted) target->bump();
}

// A vectorcall: `update(other)` and `update()` take their source as it is;
// keywords go through the class call's split into the source and entries.
template <class F>
PyObject* map_update(PyObject* o, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return enter<F, Access::Write>(o, static_cast<PyObject*>(nullptr), [&](MapObject<F>& self) {
    if (kwnames == nullptr && nargs <= 1) {
      bulk_update<F>(&self, nargs == 1 ? args[0] : nullptr, nullptr);
    } else {
      const CallArguments call(args, nargs, kwnames);
      OtherAndKwargs a = split_other_kwargs("update", call.args.get(), call.kwargs.get(), nullptr);
      bulk_update<F>(&self, a.other, a.rest.get());
    }
    return PyRef::borrow(Py_None).release();
  });
}

template <class F>
PyObject* map_inplace_or(PyObject* o, PyObject* other) {
  return enter<F, Access::Write, Refusal::NotImplemented>(o, static_cast<PyObject*>(nullptr),
                                                          [&](MapObject<F>& self) {
                                                            bulk_update<F>(&self, other, nullptr);
                                                            return PyRef::borrow(o).release();
                                                          });
}

// `a | b` and the reflected `b | a`: a new map of the map operand's class, the
// right operand's entries winning.
template <class F>
PyObject* map_or(PyObject* a, PyObject* b) {
  using M = MapObject<F>;
  auto merged = [](M* map, PyObject* other, bool map_on_left) {
    uint64_t capacity = sat_add(map->inner.len(), static_cast<uint64_t>(size_or_zero(other)));
    PyRef result = PyRef::steal(new_map_object<F>(F::default_options(capacity)));
    auto* r = M::cast(result.get());
    ExclusiveBorrow rb(r->borrow);
    if (map_on_left) {
      copy_entries(map->inner, r->inner);
      bulk_update<F>(r, other, nullptr);
    } else {
      bulk_update<F>(r, other, nullptr);
      copy_entries(map->inner, r->inner);
    }
    return result.release();
  };
  constexpr auto kRead = Access::Read;
  constexpr auto kDecline = Refusal::NotImplemented;
  auto* none = static_cast<PyObject*>(nullptr);
  PyObject* r = enter<F, kRead, kDecline>(a, none, [&](M& map) { return merged(&map, b, true); });
  if (r != Py_NotImplemented) return r;
  Py_DECREF(r);
  return enter<F, kRead, kDecline>(b, none, [&](M& map) { return merged(&map, a, false); });
}

}  // namespace quenlor::py
