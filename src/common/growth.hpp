// Capacity rules shared by both maps: how many entries a capacity holds, the
// capacity a full map grows to, and the smallest capacity that fits a reserve.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <new>

#include "common/saturating.hpp"

namespace quenlor {

// Share of the capacity kept free when the caller names none.
inline constexpr double kDefaultReserveFraction = 0.1;

// A map built empty gets this capacity on its first growth; reserves start here.
inline constexpr uint64_t kFirstCapacity = 16;

// n - floor(delta * n), saturating: the number of entries a table of
// capacity n holds before it grows.
inline uint64_t max_insertions_for(uint64_t n, double delta) noexcept {
  return sat_sub(n, f64_to_u64_sat(std::floor(delta * static_cast<double>(n))));
}

// Doubling, saturating at 2^64 - 1.
constexpr uint64_t grown_capacity(uint64_t capacity) noexcept {
  return capacity == 0 ? kFirstCapacity : sat_mul(capacity, 2);
}

// The smallest max(capacity, 16) × 2^k whose usable part holds `need`
// entries. Throws std::bad_alloc when only a capacity of 2^64 or more could.
inline uint64_t capacity_to_fit(uint64_t capacity, uint64_t need, double delta) {
  uint64_t c = std::max(capacity, kFirstCapacity);
  while (max_insertions_for(c, delta) < need) {
    if (c >= (uint64_t{1} << 63)) throw std::bad_alloc();
    c *= 2;
  }
  return c;
}

// Dropping tombstones is maintenance: when memory is short the map simply
// keeps them and stays valid.
template <class Rebuild>
void purge_unless_memory_is_short(Rebuild&& rebuild) {
  try {
    rebuild();
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace quenlor
