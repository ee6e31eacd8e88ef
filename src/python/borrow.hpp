// The per-object borrow flag: 0 free, all ones held exclusively, otherwise the
// number of shared borrows. Python code run in the middle of an operation (a
// key's __hash__ or __eq__, a source's keys()) can reach the same object; the
// flag turns such re-entrant use into an error instead of a corrupted table.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <utility>

#include "python/boundary.hpp"

namespace quenlor::py {

class BorrowFlag {
 public:
  static constexpr uint64_t kExclusive = ~uint64_t{0};

  // Every access happens on a thread that holds the interpreter lock, which
  // already orders them, so plain (unlocked) atomic loads and stores suffice:
  // a locked read-modify-write would cost more than the lookup it guards.
  bool try_shared() noexcept {
    uint64_t cur = flag_.load(std::memory_order_relaxed);
    if (cur == kExclusive) return false;
    flag_.store(cur + 1, std::memory_order_relaxed);
    return true;
  }
  void release_shared() noexcept {
    flag_.store(flag_.load(std::memory_order_relaxed) - 1, std::memory_order_release);
  }

  bool try_exclusive() noexcept {
    if (flag_.load(std::memory_order_relaxed) != 0) return false;
    flag_.store(kExclusive, std::memory_order_relaxed);
    return true;
  }
  void release_exclusive() noexcept { flag_.store(0, std::memory_order_release); }

  // For steps that run no Python code while they would hold a borrow: what
  // taking and at once giving back a shared or an exclusive borrow would find.
  bool shared_would_be_refused() const noexcept {
    return flag_.load(std::memory_order_relaxed) == kExclusive;
  }
  bool exclusive_would_be_refused() const noexcept {
    return flag_.load(std::memory_order_relaxed) != 0;
  }

 private:
  std::atomic<uint64_t> flag_{0};
};

// Scoped borrows. `acquire` leaves the guard empty and sets the Python error
// when the borrow is refused.
class SharedBorrow {
 public:
  SharedBorrow() noexcept = default;
  explicit SharedBorrow(BorrowFlag& f) noexcept : flag_(f.try_shared() ? &f : nullptr) {}
  SharedBorrow(SharedBorrow&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&& o) noexcept {
    reset();
    flag_ = std::exchange(o.flag_, nullptr);
    return *this;
  }
  ~SharedBorrow() { reset(); }
  explicit operator bool() const noexcept { return flag_ != nullptr; }
  void reset() noexcept {
    if (flag_ != nullptr) std::exchange(flag_, nullptr)->release_shared();
  }

 private:
  BorrowFlag* flag_ = nullptr;
};

class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(BorrowFlag& f) noexcept : flag_(f.try_exclusive() ? &f : nullptr) {}
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;
  ~ExclusiveBorrow() {
    if (flag_ != nullptr) flag_->release_exclusive();
  }
  explicit operator bool() const noexcept { return flag_ != nullptr; }

 private:
  BorrowFlag* flag_;
};

inline void raise_mutably_borrowed() {
  PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
}
inline void raise_already_borrowed() { PyErr_SetString(PyExc_RuntimeError, "Already borrowed"); }

// Shared borrow on the paths that treat a conflict as impossible (views,
// iterators, a source map of the same class): a refusal is the panic.
inline SharedBorrow shared_or_panic(BorrowFlag& f) {
  SharedBorrow b(f);
  if (!b) {
    raise_panic("Already mutably borrowed: PyBorrowError");
    throw_python_error();
  }
  return b;
}

}  // namespace quenlor::py
