// Assembles the Python class of a map family from the pieces written over
// the family: slots, methods and the capacity property.
#pragma once

#include <Python.h>

#include <iterator>

#include "python/construction.hpp"
#include "python/dict_methods.hpp"
#include "python/map_object.hpp"
#include "python/registration.hpp"
#include "python/views.hpp"

namespace quenlor::py {

template <class F>
struct MapType {
  static constexpr auto fast = METH_FASTCALL | METH_KEYWORDS;

  static inline PyMethodDef methods[] = {
      {"with_options",
       reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_with_options<F>)),
       fast | METH_CLASS, F::kWithOptionsDoc},
      {"fromkeys", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_fromkeys<F>)),
       fast | METH_CLASS, "fromkeys($cls, iterable, value=None)\n--\n\n"},
      {"__class_getitem__", map_class_getitem<F>, METH_O | METH_CLASS,
       "__class_getitem__($cls, item)\n--\n\n"
       "Runtime support for `Cls[K, V]` syntax via `types.GenericAlias`\n"
       "\u2014 parity with the `Generic[K, V]` typing stub."},
      {"get", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_get<F>)), fast,
       "get($self, key, default=None)\n--\n\n"},
      {"clear", map_clear<F>, METH_NOARGS, "clear($self)\n--\n\n"},
      {"pop", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_pop<F>)), fast,
       "pop($self, key, default=None)\n--\n\n"},
      {"popitem", map_popitem<F>, METH_NOARGS, "popitem($self)\n--\n\n"},
      {"setdefault", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_setdefault<F>)),
       fast, "setdefault($self, key, default=None)\n--\n\n"},
      {"copy", map_copy<F>, METH_NOARGS, "copy($self)\n--\n\n"},
      {"keys", map_keys<F>, METH_NOARGS, "keys($self)\n--\n\n"},
      {"values", map_values<F>, METH_NOARGS, "values($self)\n--\n\n"},
      {"items", map_items<F>, METH_NOARGS, "items($self)\n--\n\n"},
      {"update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(map_update<F>)), fast,
       "update($self, other=None, **kwargs)\n--\n\n"
       "Mirror of `dict.update`. Branches in priority order: same-type,\n"
       "`PyDict`, mapping with `keys()`, then `(k, v)` iterable. Reserves\n"
       "up front when length is known. `bump()` only on actual inserts \u2014\n"
       "empty `update()` keeps iterators valid."},
#ifdef QUENLOR_DEBUG_CHECKS
      {"_check_consistency", map_check_consistency<F>, METH_NOARGS, nullptr},
#endif
      {nullptr, nullptr, 0, nullptr},
  };

  static inline PyGetSetDef getset[] = {
      {"capacity", map_get_capacity<F>, nullptr, nullptr, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };

  static inline PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(F::kDoc)},
      {Py_tp_new, reinterpret_cast<void*>(map_new<F>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<MapObject<F>>)},
      {Py_tp_repr, reinterpret_cast<void*>(map_repr<F>)},
      {Py_tp_iter, reinterpret_cast<void*>(map_iter<F>)},
      {Py_tp_richcompare, reinterpret_cast<void*>(map_richcompare<F>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, getset},
      {Py_mp_length, reinterpret_cast<void*>(map_len<F>)},
      {Py_mp_subscript, reinterpret_cast<void*>(map_getitem<F>)},
      {Py_mp_ass_subscript, reinterpret_cast<void*>(map_ass_subscript<F>)},
      {Py_sq_contains, reinterpret_cast<void*>(map_contains<F>)},
      {Py_sq_item, reinterpret_cast<void*>(map_sq_item<F>)},
      {Py_sq_ass_item, reinterpret_cast<void*>(map_sq_ass_item<F>)},
      {Py_nb_or, reinterpret_cast<void*>(map_or<F>)},
      {Py_nb_inplace_or, reinterpret_cast<void*>(map_inplace_or<F>)},
      {kTypeVectorcallSlot, reinterpret_cast<void*>(map_vectorcall<F>)},  // see register_in
      {0, nullptr},
  };

  static inline PyType_Spec spec = {
      F::kQualifiedName, static_cast<int>(sizeof(MapObject<F>)), 0, Py_TPFLAGS_DEFAULT, slots,
  };

  static int register_in(PyObject* module) {
    // Before 3.14 the class call goes through `tp_new` alone.
    if (!takes_type_vectorcall()) slots[std::size(slots) - 2] = {0, nullptr};
    return add_class(module, F::kName, type_from_spec(MapObject<F>::type, &spec));
  }
};

}  // namespace quenlor::py
