// Live key, value and item views, one template for the six classes:
//
//   ViewObject<F, K> { PyObject header; map; borrow }
//
// A view owns a strong reference to its map object and nothing else: every
// operation reads the map afresh under a shared borrow held for its whole
// duration (Python code that keys and values run on its behalf can read the
// map but not change it). Views never change their own fields, so their own
// borrow flag is never taken exclusively and no view operation needs it.
// Snapshots belong to the iterators a view makes.
#pragma once

#include <Python.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#if defined(__linux__) && defined(__GLIBC__)
#include <pthread.h>
#endif

#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/equality.hpp"
#include "python/hashed_any.hpp"
#include "python/instance.hpp"
#include "python/iterators.hpp"
#include "python/map_object.hpp"
#include "python/py_ref.hpp"
#include "python/registration.hpp"
#include "python/view_set_ops.hpp"

namespace quenlor::py {

namespace view_detail {

// Whether this thread's native stack is nearly used up. The recursion limit
// normally ends a self-referential repr long before; this also covers a
// limit raised beyond what the stack can hold (the interpreter counts depth,
// not bytes). Without a way to find the stack bounds it never reports.
inline bool native_stack_nearly_full() noexcept {
#if defined(__linux__) && defined(__GLIBC__)
  struct Bounds {
    uintptr_t low = 0, margin = 0;
    Bounds() noexcept {
      pthread_attr_t attr;
      if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
      void* addr;
      std::size_t size;
      if (pthread_attr_getstack(&attr, &addr, &size) == 0) {
        low = reinterpret_cast<uintptr_t>(addr);
        margin = std::min<std::size_t>(size / 4, 256 * 1024);
      }
      pthread_attr_destroy(&attr);
    }
  };
  static thread_local const Bounds bounds;
  char here;
  auto sp = reinterpret_cast<uintptr_t>(&here);
  return bounds.low != 0 && sp - bounds.low < bounds.margin;
#else
  return false;
#endif
}

// Appends the UTF-8 form of repr(o). A view whose map reaches back to the
// view (through values that are views of other maps, to any depth) recurses
// here, so each call is guarded: it ends in RecursionError, never in a native
// stack overflow. Lone surrogates are passed through as their three-byte
// forms; the final lenient decode turns them into U+FFFD.
inline void append_repr(std::string& out, PyObject* o) {
  if (native_stack_nearly_full()) {
    PyErr_SetString(PyExc_RecursionError,
                    "maximum recursion depth exceeded while getting the repr of a view");
    throw_python_error();
  }
  if (Py_EnterRecursiveCall(" while getting the repr of a view") != 0) throw_python_error();
  PyRef text = PyRef::steal(PyObject_Repr(o));
  Py_LeaveRecursiveCall();
  if (!text) throw_python_error();
  Py_ssize_t n;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n)) {
    out.append(utf8, static_cast<std::size_t>(n));
    return;
  }
  PyErr_Clear();
  PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(text.get(), "utf-8", "surrogatepass"));
  if (!bytes) throw_python_error();
  char* data;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &n) < 0) throw_python_error();
  out.append(data, static_cast<std::size_t>(n));
}

// A slot entry that is present only when `on`; otherwise it ends the slot
// list there, so optional entries go last.
inline PyType_Slot slot_if(bool on, int id, void* fn) noexcept {
  return on ? PyType_Slot{id, fn} : PyType_Slot{0, nullptr};
}

}  // namespace view_detail

template <class F, ElementKind K>
struct ViewObject {
  using Family = F;
  static constexpr ElementKind kKind = K;

  PyObject_HEAD PyObject* map;  // owning; a MapObject<F>
  BorrowFlag borrow;

  static inline PyTypeObject* type = nullptr;  // created once per process

  static constexpr const char* kSuffix = K == ElementKind::Key     ? "_keys"
                                         : K == ElementKind::Value ? "_values"
                                                                   : "_items";
  static constexpr detail::JoinedName<detail::joined_length({"quenlor.", F::kPrefix, kSuffix})>
      kQualifiedName{{"quenlor.", F::kPrefix, kSuffix}};
  static constexpr const char* kName = kQualifiedName.text + detail::kModulePrefixLength;

  static constexpr const char* kDoc =
      K == ElementKind::Key
          ? "Live view over keys (mirrors `dict.keys()`). It holds a strong reference to its map, "
            "so every operation sees the map's current state; nothing is copied when the view "
            "is made."
      : K == ElementKind::Value ? "Live view over values (mirrors `dict.values()`)."
                                : "Live view over `(key, value)` pairs (mirrors `dict.items()`).\n"
                                  "Set operations build fresh `(k, v)` tuples.";

  static ViewObject* cast(PyObject* o) noexcept { return reinterpret_cast<ViewObject*>(o); }
  MapObject<F>* target() const noexcept { return MapObject<F>::cast(map); }

  static PyObject* create(PyObject* map_obj) {
    auto* self = allocate_instance<ViewObject>(type);
    self->map = PyRef::borrow(map_obj).release();
    ::new (&self->borrow) BorrowFlag();
    return reinterpret_cast<PyObject*>(self);
  }

  void release_fields() noexcept {
    Py_DECREF(map);
    borrow.~BorrowFlag();
  }

  // Runs `body(map)` under a shared borrow of the view's map.
  template <class R, class Body>
  static R read_map(PyObject* o, R on_error, Body&& body) {
    return enter<F, Access::Read, Refusal::Panic>(cast(o)->map, on_error,
                                                  [&](MapObject<F>& m) -> R { return body(&m); });
  }

  static Py_ssize_t len(PyObject* o) {
    return read_map(o, Py_ssize_t{-1},
                    [](MapObject<F>* m) { return static_cast<Py_ssize_t>(m->inner.len()); });
  }

  static PyObject* iter(PyObject* o) { return new_iterator<F, K>(cast(o)->map); }

  static int contains(PyObject* o, PyObject* x) {
    return read_map(o, -1, [x](MapObject<F>* m) {
      if constexpr (K == ElementKind::Key) {
        Py_hash_t h = hash_or_throw(x);
        ProbeKey probe(x, h);
        return m->inner.contains_key(probe.get()) ? 1 : 0;
      } else if constexpr (K == ElementKind::Item) {
        // The tuple's own element count, not an overridden __len__.
        if (!PyTuple_Check(x) || PyTuple_Size(x) != 2) return 0;
        PyObject* key = PyTuple_GetItem(x, 0);
        PyObject* value = PyTuple_GetItem(x, 1);
        Py_hash_t h = hash_or_throw(key);
        PyRef stored;
        {
          ProbeKey probe(key, h);
          const PyRef* v = m->inner.get(probe.get());
          if (v == nullptr) return 0;
          stored = v->new_ref();
        }
        return equal_or_false(stored.get(), value) ? 1 : 0;
      } else {
        auto it = m->inner.iter();
        while (const auto* e = it.next())
          if (equal_or_false(e->value.get(), x)) return 1;
        return 0;
      }
    });
  }

  // "<class name>([e1, e2, ...])"; item elements read "(key, value)", the key's
  // text computed first. Text is gathered as UTF-8 and decoded once, leniently.
  static PyObject* repr(PyObject* o) {
    return read_map(o, static_cast<PyObject*>(nullptr), [](MapObject<F>* m) {
      std::string text(kName);
      text += "([";
      bool first = true;
      auto it = m->inner.iter();
      while (const auto* e = it.next()) {
        if (!first) text += ", ";
        first = false;
        if constexpr (K == ElementKind::Item) {
          text += '(';
          view_detail::append_repr(text, e->key.object());
          text += ", ";
          view_detail::append_repr(text, e->value.get());
          text += ')';
        } else {
          view_detail::append_repr(text, K == ElementKind::Key ? e->key.object() : e->value.get());
        }
      }
      text += "])";
      PyObject* r =
          PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
      if (r == nullptr) throw_python_error();
      return r;
    });
  }

  static constexpr bool kSetLike = K != ElementKind::Value;

  static inline PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(kDoc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<ViewObject>)},
      {Py_tp_iter, reinterpret_cast<void*>(iter)},
      {Py_tp_repr, reinterpret_cast<void*>(repr)},
      {Py_sq_length, reinterpret_cast<void*>(len)},
      {Py_sq_contains, reinterpret_cast<void*>(contains)},
      // Key and item views only: comparison (and with it no hash) and the set
      // operators; `^` for key views only. Value views stop at the first entry.
      view_detail::slot_if(kSetLike, Py_tp_richcompare,
                           reinterpret_cast<void*>(view_richcompare<ViewObject>)),
      view_detail::slot_if(kSetLike, Py_nb_subtract,
                           reinterpret_cast<void*>(view_subtract<ViewObject>)),
      view_detail::slot_if(kSetLike, Py_nb_and, reinterpret_cast<void*>(view_and<ViewObject>)),
      view_detail::slot_if(kSetLike, Py_nb_or, reinterpret_cast<void*>(view_or<ViewObject>)),
      view_detail::slot_if(K == ElementKind::Key, Py_nb_xor,
                           reinterpret_cast<void*>(keys_view_xor<ViewObject>)),
      {0, nullptr},
  };

  static inline PyType_Spec spec = {
      kQualifiedName.text,
      static_cast<int>(sizeof(ViewObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };

  static int register_in(PyObject* module) {
    return add_class(module, kName, type_from_spec(type, &spec));
  }
};

// keys(), values(), items(): no borrow is taken and nothing is read, so they
// work even while the map is held exclusively further up the stack.
template <class F, ElementKind K>
PyObject* new_view(PyObject* self) {
  if (!MapObject<F>::check(self)) {
    PyRef name = PyRef::steal(
        PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "__name__"));
    if (name)
      PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to '%s'", name.get(),
                   F::kName);
    return nullptr;
  }
  return guarded<PyObject*>(nullptr, [self] { return ViewObject<F, K>::create(self); });
}

template <class F>
PyObject* map_keys(PyObject* self, PyObject*) {
  return new_view<F, ElementKind::Key>(self);
}

template <class F>
PyObject* map_values(PyObject* self, PyObject*) {
  return new_view<F, ElementKind::Value>(self);
}

template <class F>
PyObject* map_items(PyObject* self, PyObject*) {
  return new_view<F, ElementKind::Item>(self);
}

template <class F>
int register_views(PyObject* module) {
  return register_each_kind<ViewObject, F>(module);
}

}  // namespace quenlor::py
