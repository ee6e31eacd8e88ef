// PyRef: an owning reference to a Python object, move-only, so every early
// return releases what it took. Raw PyObject* stays for borrowed references.
#pragma once

#include <Python.h>

#include <utility>

#include "common/layout/group.hpp"

namespace quenlor::py {

class PyRef {
 public:
  PyRef() noexcept = default;
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }

  PyRef(PyRef&& o) noexcept : obj_(std::exchange(o.obj_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    PyObject* old = std::exchange(obj_, std::exchange(o.obj_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const noexcept { return obj_; }
  PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
  // A new reference to the object held (null allowed), as an owner.
  PyRef new_ref() const noexcept { return borrow(obj_); }
  // The same as a raw pointer for the caller to return; the object held must
  // not be null (a stored value never is), so there is no test on the hot
  // paths.
  PyObject* new_raw_ref() const noexcept {
    Py_INCREF(obj_);
    return obj_;
  }
  explicit operator bool() const noexcept { return obj_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : obj_(o) {}
  PyObject* obj_ = nullptr;
};

// Releasing a reference writes the object's count: tables destroying many
// entries ask for it ahead.
inline void prefetch_release(const PyRef& r) noexcept { prefetch_read(r.get()); }

}  // namespace quenlor::py
