// Ways a map object comes into being: the class call, with_options, fromkeys,
// copy, and the Cls[K, V] alias.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "common/growth.hpp"
#include "common/saturating.hpp"
#include "python/args.hpp"
#include "python/bulk_update.hpp"
#include "python/map_object.hpp"

namespace quenlor::py {

// The number of entries the class call's update reserves room for first,
// when the source tells it without running Python code (an exact list or
// tuple of pairs, a dict, or the keywords alone); 0 otherwise.
inline uint64_t first_reserve_of_update(PyObject* other, PyObject* rest) noexcept {
  Py_ssize_t n = 0;
  if (given(other)) {
    if (PyDict_Check(other)) {
      n = PyDict_Size(other);
    } else if (PyList_CheckExact(other)) {
      n = PyList_Size(other);
    } else if (PyTuple_CheckExact(other)) {
      n = PyTuple_Size(other);
    }
  } else if (rest != nullptr) {
    n = PyDict_Size(rest);
  }
  return n > 0 ? static_cast<uint64_t>(n) : 0;
}

// The default options for `capacity`, at the capacity to which reserving
// room for `n` entries rebuilds the new, still empty map: the map built from
// them is that rebuilt map (growth keeps the primary probe limit of the
// capacity asked for), without building tables twice.
template <class F>
typename F::Options options_reserving(uint64_t capacity, uint64_t n) {
  typename F::Options options = F::default_options(capacity);
  if (n <= max_insertions_for(capacity, options.reserve_fraction)) return options;
  if constexpr (requires { options.primary_probe_limit; })
    options.primary_probe_limit =
        resolve_primary_probe_limit(options.primary_probe_limit, capacity);
  options.capacity = capacity_to_fit(capacity, n, options.reserve_fraction);
  return options;
}

// The class call's keyword-only parameter besides `other`.
inline constexpr const char* kCapacityParameter = "capacity";

// `cls(**entries)`, the usual keyword call, in one walk of the keywords: they
// are the entries unless one is not an exact str (a subclass may hash and
// compare in Python) or names a parameter, and an exact str hashes without
// running Python code. So the map is filled while the names are checked; on
// such a keyword it is dropped, nothing else having happened, and null tells
// the caller to take the general path.
template <class F>
PyObject* new_from_entry_keywords(PyObject* kwargs) {
  static const ParameterName other = ParameterName::of(kOtherParameter);
  static const ParameterName capacity = ParameterName::of(kCapacityParameter);
  const Py_ssize_t n = PyDict_Size(kwargs);
  PyRef obj = PyRef::steal(new_map_object<F>(options_reserving<F>(0, static_cast<uint64_t>(n))));
  auto* self = MapObject<F>::cast(obj.get());
  {
    ExclusiveBorrow b(self->borrow);
    typename F::Map::NewKeys fresh(self->inner);
    Py_ssize_t pos = 0;
    PyObject *k, *v;
    while (PyDict_Next(kwargs, &pos, &k, &v)) {
      if (!PyUnicode_CheckExact(k)) return nullptr;
      const Py_hash_t hash = hash_or_throw(k);
      if (other.named_by(k, hash) || capacity.named_by(k, hash)) return nullptr;
      insert_new_plain<typename F::Map>(fresh, k, hash, v);
    }
  }
  if (n > 0) self->bump();
  return obj.release();
}

template <class F>
PyObject* map_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  const bool no_args = args == nullptr || PyTuple_Size(args) == 0;
  // `cls()`, the most common call: nothing to parse and nothing to insert.
  if (kwargs == nullptr && no_args)
    return guarded<PyObject*>(nullptr, [] { return new_map_object<F>(F::default_options(0)); });
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (no_args)
      if (PyObject* made = new_from_entry_keywords<F>(kwargs)) return made;
    OtherAndKwargs a = split_other_kwargs(F::kName, args, kwargs, kCapacityParameter);
    uint64_t capacity = a.extra != nullptr ? to_u64(a.extra, kCapacityParameter) : 0;
    PyRef obj = PyRef::steal(new_map_object<F>(
        options_reserving<F>(capacity, first_reserve_of_update(a.other, a.rest.get()))));
    if (given(a.other) || a.rest) {
      auto* self = MapObject<F>::cast(obj.get());
      ExclusiveBorrow b(self->borrow);
      bulk_update<F>(self, a.other, a.rest.get());
    }
    return obj.release();
  });
}

template <class F>
PyObject* map_with_options(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kwlist[] = {"capacity", "reserve_fraction", F::kThirdOption,
                                           nullptr};
  PyObject* option[3];
  if (!parse_three_optional(args, nargs, kwnames, "|OOO:with_options", kwlist, option))
    return nullptr;
  return guarded<PyObject*>(nullptr, [&] {
    return new_map_object<F>(F::parse_options(option[0], option[1], option[2]));
  });
}

template <class F>
PyObject* map_fromkeys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr const char* kwlist[] = {"iterable", "value", nullptr};
  PyObject *iterable = nullptr, *value = nullptr;
  if (!parse_one_or_two(args, nargs, kwnames, "O|O:fromkeys", kwlist, iterable, value))
    return nullptr;
  if (!given(value)) value = Py_None;
  return guarded<PyObject*>(nullptr, [&] {
    Py_ssize_t n = PyObject_Size(iterable);
    if (n < 0) {
      PyErr_Clear();
      n = 0;
    }
    typename F::Map map = F::Map::with_options(F::default_options(static_cast<uint64_t>(n)));
    PyRef it = PyRef::steal(PyObject_GetIter(iterable));
    if (!it) throw_python_error();
    while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
      Py_hash_t h = hash_or_throw(item.get());
      map.insert(HashedAny::owning(item.get(), h), PyRef::borrow(value));
    }
    if (PyErr_Occurred()) throw_python_error();
    return MapObject<F>::create(std::move(map));
  });
}

// The capacity a map built for `n` entries ends at once they have been
// inserted one by one: an insertion that finds the map at its growth limit
// first grows it, to 16 from 0 and otherwise to double.
inline uint64_t capacity_after_filling(uint64_t n, double reserve_fraction) noexcept {
  uint64_t capacity = n, placed = 0;
  while (placed < n) {
    const uint64_t limit = max_insertions_for(capacity, reserve_fraction);
    if (placed < limit) {
      placed = std::min(n, limit);
    } else {
      capacity = capacity == 0 ? 16 : sat_mul(capacity, 2);
      ++placed;
    }
  }
  return capacity;
}

// The default options for `n` entries, with the capacity filling reaches. A
// map built from them is the map built for n and grown to that capacity
// before anything went in (growth keeps what the capacity asked for at
// construction, such as the funnel map's primary probe limit), without
// allocating tables twice.
template <class F>
typename F::Options options_after_filling(uint64_t n) noexcept {
  typename F::Options options = F::default_options(n);
  if constexpr (requires { options.primary_probe_limit; })
    options.primary_probe_limit = resolve_primary_probe_limit(options.primary_probe_limit, n);
  options.capacity = capacity_after_filling(n, options.reserve_fraction);
  return options;
}

// A copy is the map built for len(self) entries with the default options and
// filled entry by entry. It grows to the capacity that filling reaches before
// the entries go in, so none of them is placed twice.
template <class F>
PyObject* map_copy(PyObject* o, PyObject*) {
  return enter<F, Access::Read>(o, static_cast<PyObject*>(nullptr), [](MapObject<F>& self) {
    typename F::Map map = F::Map::with_options(options_after_filling<F>(self.inner.len()));
    copy_entries(self.inner, map);
    return MapObject<F>::create(std::move(map));
  });
}

template <class F>
PyObject* map_class_getitem(PyObject* cls, PyObject* item) {
  PyRef name = PyRef::steal(PyUnicode_FromString("types"));
  if (!name) return nullptr;
  PyRef types = PyRef::steal(PyImport_Import(name.get()));
  if (!types) return nullptr;
  PyRef alias = PyRef::steal(PyObject_GetAttrString(types.get(), "GenericAlias"));
  if (!alias) return nullptr;
  return PyObject_CallFunctionObjArgs(alias.get(), cls, item, nullptr);
}

}  // namespace quenlor::py
