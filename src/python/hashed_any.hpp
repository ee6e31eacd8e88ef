// HashedAny: the key every generic map stores for Python. Two words: the key
// object (owning, except for probe wrappers) with an "exact str" flag in the
// always-zero low bit of its address, and the Python hash computed once when
// the key was handed in. The maps hash the cached value and never call
// __hash__ again, not even when they rebuild.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>
#include <utility>

#include "common/key_match.hpp"
#include "common/layout/group.hpp"
#include "python/boundary.hpp"
#include "python/equality.hpp"

namespace quenlor::py {

class HashedAny {
 public:
  // An owning wrapper over a new reference to `key`.
  static HashedAny owning(PyObject* key, Py_hash_t hash) noexcept {
    Py_INCREF(key);
    return HashedAny(key, hash);
  }
  // A new owning wrapper over the same key object, hash and flag.
  HashedAny clone() const noexcept {
    Py_INCREF(object());
    return HashedAny(bits_, hash_);
  }

  HashedAny(HashedAny&& o) noexcept : bits_(std::exchange(o.bits_, 0)), hash_(o.hash_) {}
  HashedAny& operator=(HashedAny&& o) noexcept {
    HashedAny old(std::move(*this));
    bits_ = std::exchange(o.bits_, 0);
    hash_ = o.hash_;
    return *this;
  }
  HashedAny(const HashedAny&) = delete;
  HashedAny& operator=(const HashedAny&) = delete;
  ~HashedAny() {
    if (bits_ != 0) Py_DECREF(object());
  }

  PyObject* object() const noexcept { return reinterpret_cast<PyObject*>(bits_ & ~uintptr_t{1}); }
  Py_hash_t hash() const noexcept { return hash_; }
  bool is_exact_str() const noexcept { return (bits_ & 1) != 0; }

  friend uint64_t hash_word(const HashedAny& k) noexcept { return static_cast<uint64_t>(k.hash_); }

  // `*this` is the stored key, `other` the key looked up or inserted. Errors
  // raised by __eq__ or by its truth value count as "not equal", except a stop
  // request (KeyboardInterrupt, SystemExit), which is left set and thrown as
  // PythonError. The maps search before they change anything, so the
  // operation then fails with the map as it was.
  bool operator==(const HashedAny& other) const {
    if (hash_ != other.hash_) return false;
    if (object() == other.object()) return true;
    return distinct_objects_equal(object(), other.object());
  }
  // Its first step, which runs no Python code (see KeyEquals): only distinct
  // objects with equal hashes need __eq__.
  friend KeyMatch quick_match(const HashedAny& stored, const HashedAny& key) noexcept {
    if (stored.hash_ != key.hash_) return KeyMatch::Different;
    return stored.object() == key.object() ? KeyMatch::Equal : KeyMatch::Undecided;
  }

 private:
  friend class ProbeKey;
  HashedAny(PyObject* key, Py_hash_t hash) noexcept
      : bits_(reinterpret_cast<uintptr_t>(key) | (Py_IS_TYPE(key, &PyUnicode_Type) ? 1 : 0)),
        hash_(hash) {}
  HashedAny(uintptr_t bits, Py_hash_t hash) noexcept : bits_(bits), hash_(hash) {}
  struct Unflagged {};
  HashedAny(PyObject* key, Py_hash_t hash, Unflagged) noexcept
      : bits_(reinterpret_cast<uintptr_t>(key)), hash_(hash) {}

  // Out of line, so that the probe loops the comparison is inlined into keep
  // their registers: equal hashes of distinct objects are the rare case.
  // Only the stored key's flag is read (a probe wrapper leaves it unset).
  [[gnu::noinline]] bool distinct_objects_equal(PyObject* a, PyObject* b) const {
    if ((bits_ & 1) != 0 && Py_IS_TYPE(b, &PyUnicode_Type)) {
      Py_ssize_t na, nb;
      const char* sa = PyUnicode_AsUTF8AndSize(a, &na);
      const char* sb = sa != nullptr ? PyUnicode_AsUTF8AndSize(b, &nb) : nullptr;
      if (sb != nullptr) return na == nb && std::memcmp(sa, sb, static_cast<size_t>(na)) == 0;
      PyErr_Clear();  // lone surrogates: fall back to __eq__
    }
    return equal_or_false(a, b);
  }

  uintptr_t bits_;
  Py_hash_t hash_;
};

// See prefetch_release(const PyRef&).
inline void prefetch_release(const HashedAny& k) noexcept { prefetch_read(k.object()); }

// A wrapper over the caller's key that takes no reference, for lookups and
// removals. It never releases the key, and it is only ever the right-hand side
// of a comparison, so it skips the exact-str flag.
class ProbeKey {
 public:
  ProbeKey(PyObject* key, Py_hash_t hash) noexcept : key_(key, hash, HashedAny::Unflagged{}) {}
  ProbeKey(const ProbeKey&) = delete;
  ProbeKey& operator=(const ProbeKey&) = delete;
  ~ProbeKey() { key_.bits_ = 0; }
  const HashedAny& get() const noexcept { return key_; }

 private:
  HashedAny key_;
};

// PyObject_Hash, throwing PythonError when it fails.
inline Py_hash_t hash_or_throw(PyObject* key) {
  Py_hash_t h = PyObject_Hash(key);
  if (h == -1 && PyErr_Occurred()) throw_python_error();
  return h;
}

}  // namespace quenlor::py
