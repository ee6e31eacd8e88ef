// Capacity arithmetic: counts are unsigned 64-bit and saturate instead of
// wrapping; float-to-integer conversions saturate too (NaN and negatives give 0).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace quenlor {

inline constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();

constexpr uint64_t sat_add(uint64_t a, uint64_t b) noexcept {
  uint64_t r = a + b;
  return r < a ? kU64Max : r;
}

constexpr uint64_t sat_sub(uint64_t a, uint64_t b) noexcept { return a > b ? a - b : 0; }

constexpr uint64_t sat_mul(uint64_t a, uint64_t b) noexcept {
  uint64_t r;
  return __builtin_mul_overflow(a, b, &r) ? kU64Max : r;
}

inline uint64_t f64_to_u64_sat(double x) noexcept {
  if (!(x > 0.0)) return 0;  // NaN, negative and zero
  if (x >= 18446744073709551616.0) return kU64Max;
  return static_cast<uint64_t>(x);
}

// Smallest power of two >= x (x >= 1); saturates at 2^63 for larger x.
constexpr uint64_t next_pow2(uint64_t x) noexcept {
  if (x <= 1) return 1;
  if (x > (uint64_t{1} << 63)) return uint64_t{1} << 63;
  return uint64_t{1} << (64 - __builtin_clzll(x - 1));
}

}  // namespace quenlor
