// ResetOnMove<T>: a value that moving leaves at T{} in the source, so that
// a moved-from map reads as empty, with capacity 0, and stays usable, while
// the map itself keeps defaulted move operations.
#pragma once

#include <utility>

namespace quenlor {

template <class T>
class ResetOnMove {
 public:
  ResetOnMove() noexcept = default;
  ResetOnMove(T v) noexcept : v_(v) {}  // NOLINT: implicit, it stands in for a T
  ResetOnMove(const ResetOnMove&) = delete;
  ResetOnMove& operator=(const ResetOnMove&) = delete;
  ResetOnMove(ResetOnMove&& o) noexcept : v_(std::exchange(o.v_, T{})) {}
  ResetOnMove& operator=(ResetOnMove&& o) noexcept {
    v_ = std::exchange(o.v_, T{});
    return *this;
  }
  ResetOnMove& operator=(T v) noexcept {
    v_ = v;
    return *this;
  }

  operator T&() noexcept { return v_; }  // NOLINT: used exactly like the T
  operator const T&() const noexcept { return v_; }
  T get() const noexcept { return v_; }

 private:
  T v_{};
};

}  // namespace quenlor
