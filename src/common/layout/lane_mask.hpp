// The set of lanes (0..15) of one group that satisfy a query, consumed lowest
// lane first.
#pragma once

#include <cstdint>

namespace quenlor {

class LaneMask {
 public:
  constexpr explicit LaneMask(uint32_t bits = 0) noexcept : bits_(bits) {}

  constexpr bool any() const noexcept { return bits_ != 0; }
  constexpr explicit operator bool() const noexcept { return any(); }
  constexpr uint32_t bits() const noexcept { return bits_; }
  unsigned lowest() const noexcept { return static_cast<unsigned>(__builtin_ctz(bits_)); }
  // lowest(), or 0 for an empty set, without a branch.
  unsigned lowest_or_zero() const noexcept {
    return static_cast<unsigned>(__builtin_ctz(bits_ | 0x10000u)) & 15u;
  }

  // Takes the lowest lane out of the set and returns it; the set must not be empty.
  unsigned pop_lowest() noexcept {
    unsigned lane = lowest();
    bits_ &= bits_ - 1;
    return lane;
  }

  // Range-for support: `for (unsigned lane : mask)` visits lanes lowest first.
  class Cursor {
   public:
    constexpr explicit Cursor(uint32_t bits) noexcept : bits_(bits) {}
    unsigned operator*() const noexcept { return static_cast<unsigned>(__builtin_ctz(bits_)); }
    Cursor& operator++() noexcept {
      bits_ &= bits_ - 1;
      return *this;
    }
    constexpr bool operator!=(const Cursor& o) const noexcept { return bits_ != o.bits_; }

   private:
    uint32_t bits_;
  };
  Cursor begin() const noexcept { return Cursor(bits_); }
  Cursor end() const noexcept { return Cursor(0); }

 private:
  uint32_t bits_;
};

}  // namespace quenlor
