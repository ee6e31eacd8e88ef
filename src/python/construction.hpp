// Ways a map object comes into being: the class call, with_options, fromkeys,
// copy, and the Cls[K, V] alias.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstdint>

#include "common/growth.hpp"
#include "common/inline_body.hpp"
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
// the caller to take the general path. `walk(take)` calls `take(name, value)`
// for each of the `n` keywords, whose names are unique, until it returns
// false, and returns whether none did.
template <class F, class Walk>
PyObject* new_from_entry_keywords(Py_ssize_t n, Walk&& walk) {
  static const ParameterName other = ParameterName::of(kOtherParameter);
  static const ParameterName capacity = ParameterName::of(kCapacityParameter);
  PyRef obj = PyRef::steal(new_map_object<F>(options_reserving<F>(0, static_cast<uint64_t>(n))));
  auto* self = MapObject<F>::cast(obj.get());
  {
    ExclusiveBorrow b(self->borrow);
    typename F::Map::NewKeys fresh(self->inner);
    const bool all_entries = walk([&](PyObject* k, PyObject* v) QUENLOR_INLINE_BODY {
      if (!PyUnicode_CheckExact(k)) return false;
      const Py_hash_t hash = hash_or_throw(k);
      if (other.named_by(k, hash) || capacity.named_by(k, hash)) return false;
      insert_new_plain<typename F::Map>(fresh, plain_item<typename F::Map>(fresh, k, hash, v));
      return true;
    });
    if (!all_entries) return nullptr;
  }
  if (n > 0) self->bump();
  return obj.release();
}

// The class call once its arguments are told apart: the source (null when
// not given), the `capacity` keyword (null when not given) and the keywords
// that are entries (null when there are none).
template <class F>
PyObject* new_from_parts(PyObject* other, PyObject* capacity_arg, PyObject* entries) {
  const uint64_t capacity = capacity_arg != nullptr ? to_u64(capacity_arg, kCapacityParameter) : 0;
  PyRef obj = PyRef::steal(
      new_map_object<F>(options_reserving<F>(capacity, first_reserve_of_update(other, entries))));
  if (given(other) || entries != nullptr) {
    auto* self = MapObject<F>::cast(obj.get());
    ExclusiveBorrow b(self->borrow);
    bulk_update<F>(self, other, entries);
  }
  return obj.release();
}

template <class F>
PyObject* map_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
  const bool no_args = args == nullptr || PyTuple_Size(args) == 0;
  // `cls()`, the most common call: nothing to parse and nothing to insert.
  if (kwargs == nullptr && no_args)
    return guarded<PyObject*>(nullptr, [] { return new_map_object<F>(F::default_options(0)); });
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (no_args) {
      PyObject* made =
          new_from_entry_keywords<F>(PyDict_Size(kwargs), [&](auto&& take) QUENLOR_INLINE_BODY {
            Py_ssize_t pos = 0;
            PyObject *k, *v;
            while (PyDict_Next(kwargs, &pos, &k, &v))
              if (!take(k, v)) return false;
            return true;
          });
      if (made != nullptr) return made;
    }
    OtherAndKwargs a = split_other_kwargs(F::kName, args, kwargs, kCapacityParameter);
    return new_from_parts<F>(a.other, a.extra, a.rest.get());
  });
}

// The class call as a vectorcall (interpreters that let a heap type have one:
// see MapType::register_in). It does what the classic call through `tp_new`
// does, without the tuple and dict that convention packs the arguments into;
// the class cannot be subclassed, so there is no `__new__` or `__init__` of
// a subclass to call instead.
template <class F>
PyObject* map_vectorcall(PyObject*, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  const Py_ssize_t nargs = vectorcall_nargs(nargsf);
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (nkw == 0 && nargs == 0) return new_map_object<F>(F::default_options(0));
    if (nkw == 0 && nargs == 1) return new_from_parts<F>(args[0], nullptr, nullptr);
    if (nargs == 0) {
      // The protocol makes the names unique, as a dict's keys are.
      PyObject* made = new_from_entry_keywords<F>(nkw, [&](auto&& take) QUENLOR_INLINE_BODY {
        for (Py_ssize_t i = 0; i < nkw; ++i)
          if (!take(PyTuple_GetItem(kwnames, i), args[i])) return false;
        return true;
      });
      if (made != nullptr) return made;
    }
    const CallArguments call(args, nargs, kwnames);
    OtherAndKwargs a =
        split_other_kwargs(F::kName, call.args.get(), call.kwargs.get(), kCapacityParameter);
    return new_from_parts<F>(a.other, a.extra, a.rest.get());
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
