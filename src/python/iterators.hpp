// Snapshot iterators over a map object, one template for the six classes:
//
//   IterObject<F, K> { PyObject header; map; snapshot; start_counter; borrow }
//
// `snapshot` owns everything the iterator will hand out, in traversal order,
// filled completely at creation (item tuples included). A step only compares
// the map's modification counter with `start_counter` (the check comes before
// the exhaustion check, so an exhausted iterator still reports a later
// modification) and hands out the snapshot's next reference.
// Also here, because views and iterators share them: the element kinds, the
// element builder and compile-time class names.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <new>
#include <string>
#include <utility>

#include "common/dcheck.hpp"
#include "common/layout/group.hpp"
#include "common/walk_ahead.hpp"
#include "python/borrow.hpp"
#include "python/boundary.hpp"
#include "python/instance.hpp"
#include "python/map_object.hpp"
#include "python/py_ref.hpp"
#include "python/registration.hpp"

namespace quenlor::py {

inline bool may_be_in_cycle(PyObject* o) noexcept {
  return (PyType_GetFlags(Py_TYPE(o)) & Py_TPFLAGS_HAVE_GC) != 0;
}

enum class ElementKind { Key, Value, Item };

// The element an iterator or a set operation contributes for one entry: the
// stored key object, the stored value object, or a fresh (key, value) tuple.
// Null with a Python error set only when the tuple cannot be built.
template <ElementKind K, class E>
PyRef make_element(const E& entry) noexcept {
  if constexpr (K == ElementKind::Key) {
    return PyRef::borrow(entry.key.object());
  } else if constexpr (K == ElementKind::Value) {
    return entry.value.new_ref();
  } else {
    PyObject* key = entry.key.object();
    PyObject* value = entry.value.get();
    PyObject* item = PyTuple_Pack(2, key, value);
    // Like the interpreter's own tuples, a pair of objects that cannot take
    // part in a cycle need not be tracked: item snapshots of large maps
    // would otherwise trigger collections that walk every pair.
    if (item != nullptr && !may_be_in_cycle(key) && !may_be_in_cycle(value))
      PyObject_GC_UnTrack(item);
    return PyRef::steal(item);
  }
}

namespace detail {

// Type names must outlive their types (the type keeps a pointer to the
// type spec's name), so they are built at compile time into static storage.
constexpr std::size_t joined_length(std::initializer_list<const char*> parts) {
  std::size_t n = 0;
  for (const char* p : parts) n += std::char_traits<char>::length(p);
  return n;
}

template <std::size_t N>
struct JoinedName {
  char text[N + 1] = {};
  constexpr JoinedName(std::initializer_list<const char*> parts) {
    std::size_t i = 0;
    for (const char* p : parts)
      for (; *p != '\0'; ++p) text[i++] = *p;
  }
};

inline constexpr std::size_t kModulePrefixLength = sizeof("quenlor.") - 1;

}  // namespace detail

// How many elements ahead creation, steps and release start loading objects.
// Taking a reference costs a few nanoseconds and a load from memory about a
// hundred, and the keys of a snapshot lie scattered: at a million keys 32
// ahead made `list(m)` a third faster than 8; 64 gained nothing more.
inline constexpr std::size_t kLookahead = 32;

// An iterator's snapshot: owned references, appended once in order up to a
// fixed count, then handed out in that order. Handing one out passes the
// reference on, so the iterator never touches that object again; only the
// ones not handed out are released with the snapshot. No initialisation of
// the unfilled part.
class RefSnapshot {
 public:
  // Throws std::bad_alloc.
  explicit RefSnapshot(std::size_t count) {
    if (count == 0) return;
    if (count > PY_SSIZE_T_MAX / sizeof(PyObject*)) throw std::bad_alloc();
    data_ = static_cast<PyObject**>(PyMem_Malloc(count * sizeof(PyObject*)));
    if (data_ == nullptr) throw std::bad_alloc();
  }
  RefSnapshot(RefSnapshot&& o) noexcept
      : data_(std::exchange(o.data_, nullptr)),
        size_(std::exchange(o.size_, 0)),
        next_(std::exchange(o.next_, 0)) {}
  RefSnapshot& operator=(RefSnapshot&&) = delete;
  ~RefSnapshot() {
    for (std::size_t i = next_; i < size_; ++i) Py_DECREF(data_[i]);
    PyMem_Free(data_);
  }

  // Within the count given at construction, before anything is handed out.
  void push(PyRef element) noexcept { data_[size_++] = element.release(); }
  std::size_t size() const noexcept { return size_; }
  // The index of the element hand_out() gives next; size() once all are out.
  std::size_t next_index() const noexcept { return next_; }
  // Element i, not yet handed out (i >= next_index()); borrowed.
  PyObject* operator[](std::size_t i) const noexcept { return data_[i]; }
  // The next element, whose reference passes to the caller. Not exhausted.
  PyObject* hand_out() noexcept { return data_[next_++]; }

  // Releases every reference not handed out, first to last, calling
  // before(i) ahead of releasing element i; leaves the snapshot empty.
  template <class Before>
  void release_in_order(Before&& before) noexcept {
    for (std::size_t i = next_; i < size_; ++i) {
      before(i);
      Py_DECREF(data_[i]);
    }
    size_ = next_ = 0;
  }

 private:
  PyObject** data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t next_ = 0;
};

template <class F, ElementKind K>
struct IterObject {
  PyObject_HEAD PyObject* map;  // owning; a MapObject<F>
  RefSnapshot snapshot;         // what the steps hand out, in traversal order
  uint64_t start_counter;       // the map's `modifications` at creation
  BorrowFlag borrow;

  static inline PyTypeObject* type = nullptr;  // created once per process

  static constexpr const char* kSuffix = K == ElementKind::Key     ? "KeyIter"
                                         : K == ElementKind::Value ? "ValueIter"
                                                                   : "ItemIter";
  static constexpr detail::JoinedName<detail::joined_length({"quenlor.", F::kIterPrefix, kSuffix})>
      kQualifiedName{{"quenlor.", F::kIterPrefix, kSuffix}};
  static constexpr const char* kName = kQualifiedName.text + detail::kModulePrefixLength;

  static IterObject* cast(PyObject* o) noexcept { return reinterpret_cast<IterObject*>(o); }

  // Takes the snapshot of `m`, whose shared borrow the caller holds, and wraps
  // it in a new iterator. Throws on failure; nothing taken is kept.
  static PyObject* create(MapObject<F>* m) {
    uint64_t counter;
    const uint64_t n = m->inner.len();
    if (n > PY_SSIZE_T_MAX) throw std::bad_alloc();
    RefSnapshot items{static_cast<std::size_t>(n)};
    {
      const auto take = [&](const auto& e) {
        PyRef element = make_element<K>(e);
        if (!element) throw_python_error();
        items.push(std::move(element));
        return true;
      };
      if (!worth_prefetching(m->inner.capacity())) {
        m->inner.all_of(take);
      } else {
        // Traversal order is hash order, so the objects are scattered in
        // memory: load them a few entries ahead of taking their references.
        walk_ahead<kLookahead>(
            m->inner.iter(),
            [](const auto& e) {
              if constexpr (K != ElementKind::Value) prefetch_read(e.key.object());
              if constexpr (K != ElementKind::Key) prefetch_read(e.value.get());
            },
            take);
      }
      QUENLOR_DCHECK(items.size() == n);
      counter = m->modifications;
    }
    auto* self = allocate_instance<IterObject>(type);
    self->map = PyRef::borrow(reinterpret_cast<PyObject*>(m)).release();
    ::new (&self->snapshot) RefSnapshot(std::move(items));
    self->start_counter = counter;
    ::new (&self->borrow) BorrowFlag();
    return reinterpret_cast<PyObject*>(self);
  }

  // A step runs no Python code, so it only checks the borrows it would take
  // (its own, exclusive; the map's, shared) instead of taking them.
  static PyObject* next(PyObject* o) {
    auto* self = cast(o);
    if (self->borrow.exclusive_would_be_refused()) [[unlikely]] {
      raise_already_borrowed();
      return nullptr;
    }
    auto* m = MapObject<F>::cast(self->map);
    if (m->borrow.shared_would_be_refused()) [[unlikely]] {
      raise_panic("Already mutably borrowed: PyBorrowError");
      return nullptr;
    }
    if (m->modifications != self->start_counter) [[unlikely]] {
      PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
      return nullptr;
    }
    RefSnapshot& snapshot = self->snapshot;
    const std::size_t at = snapshot.next_index(), size = snapshot.size();
    if (at == size) return nullptr;  // exhausted
    // The caller is likely to touch what it gets; the step itself does not.
    if (at + kLookahead < size) prefetch_read(snapshot[at + kLookahead]);
    return snapshot.hand_out();
  }

  // The map goes first, then what the snapshot still holds, from first to
  // last, loading what a release will touch a few elements ahead: item tuples
  // lie in order, but the keys they hold are scattered.
  void release_fields() noexcept {
    Py_DECREF(map);
    const std::size_t n = snapshot.size();
    snapshot.release_in_order([this, n](std::size_t i) {
      if (i + kLookahead >= n) return;
      PyObject* next = snapshot[i + kLookahead];
      if constexpr (K == ElementKind::Item) {
        prefetch_read(PyTuple_GetItem(next, 0));
        prefetch_read(PyTuple_GetItem(next, 1));
      } else {
        prefetch_read(next);
      }
    });
    snapshot.~RefSnapshot();
    borrow.~BorrowFlag();
  }

  static inline PyType_Slot slots[] = {
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<IterObject>)},
      {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
      {Py_tp_iternext, reinterpret_cast<void*>(next)},
      {0, nullptr},
  };

  static inline PyType_Spec spec = {
      kQualifiedName.text,
      static_cast<int>(sizeof(IterObject)),
      0,
      Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION,
      slots,
  };

  static int register_in(PyObject* module) {
    return add_class(module, kName, type_from_spec(type, &spec));
  }
};

// A new iterator of kind K over the map object `map` (the views' __iter__).
template <class F, ElementKind K>
PyObject* new_iterator(PyObject* map) {
  return enter<F, Access::Read, Refusal::Panic>(
      map, static_cast<PyObject*>(nullptr),
      [](MapObject<F>& m) { return IterObject<F, K>::create(&m); });
}

// The map classes' __iter__: a key iterator.
template <class F>
PyObject* map_iter(PyObject* map) {
  return new_iterator<F, ElementKind::Key>(map);
}

// Registers the key, value and item classes of a class template over
// (family, element kind), in that order.
template <template <class, ElementKind> class Cls, class F>
int register_each_kind(PyObject* module) {
  for (int (*add)(PyObject*) :
       {&Cls<F, ElementKind::Key>::register_in, &Cls<F, ElementKind::Value>::register_in,
        &Cls<F, ElementKind::Item>::register_in})
    if (add(module) < 0) return -1;
  return 0;
}

template <class F>
int register_iterators(PyObject* module) {
  return register_each_kind<IterObject, F>(module);
}

}  // namespace quenlor::py
