// Freeing without deep native recursion. Releasing the last reference to a
// map frees its values, which may be maps, views or iterators holding further
// maps, and so on: a long chain would free itself recursively on the native
// stack (the limited API offers no trashcan). Every dealloc of this module runs
// through `DeallocGuard::run`: past a small nesting depth the object is parked
// (it is already dead, nobody else can reach it) and the outermost dealloc of
// the thread finishes the parked ones in order, so depth stays bounded.
#pragma once

#include <Python.h>

#include <cstddef>
#include <vector>

namespace quenlor::py {

class DeallocGuard {
 public:
  using Finish = void (*)(PyObject*);

  static void run(PyObject* o, Finish finish) noexcept {
    if (depth_ >= kMaxDepth) {
      try {
        parked_.push_back({o, finish});
        return;
      } catch (...) {
        // No room to park: finish in place (only the depth bound is lost).
      }
    }
    ++depth_;
    finish(o);
    if (depth_ == 1) {
      // Finishing can park more; walk by index since the vector may grow.
      for (std::size_t i = 0; i < parked_.size(); ++i) {
        Parked p = parked_[i];
        p.finish(p.object);
      }
      parked_.clear();
      if (parked_.capacity() > 4096) std::vector<Parked>().swap(parked_);
    }
    --depth_;
  }

 private:
  struct Parked {
    PyObject* object;
    Finish finish;
  };
  // A nested dealloc costs a few hundred bytes of native stack, so 32 levels
  // stay far inside the smallest thread stack, while the nesting real data
  // has (a map of maps of lists) never parks and pays nothing for the guard.
  static constexpr unsigned kMaxDepth = 32;
  // Process-wide, not per thread: every dealloc runs under the interpreter
  // lock, which the module never shares with an interpreter of its own lock.
  // A thread that takes the lock mid-dealloc (a __del__ let it go) only adds
  // to the depth, parking sooner; the last frame to finish drains the list.
  // Thread-local storage would cost more than the rest of freeing a map.
  static inline unsigned depth_ = 0;
  static inline std::vector<Parked> parked_;
};

}  // namespace quenlor::py
