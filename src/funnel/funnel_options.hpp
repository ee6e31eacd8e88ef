// Construction options of the funnel map and the shape they imply. The
// reserve fraction delta is the share of the capacity kept free; it is clamped
// to [1e-6, 0.125] so that the level count and bucket width stay small:
//
//   L = log2(1 / delta)            (3 .. ~19.93)
//   level_count  = ceil(4L + 10)   (22 .. 90)
//   bucket_width = ceil(2L) rounded up to a multiple of 16   (16, 32 or 48)
//
// The primary probe limit is the number of special-primary groups a key may
// try; it also fixes the fallback bucket length. It is kept at 1 .. 2^62 so
// that every shift and product derived from it stays inside 64 bits.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>

#include "common/growth.hpp"
#include "common/saturating.hpp"

namespace quenlor {

struct FunnelOptions {
  uint64_t capacity = 0;
  double reserve_fraction = kDefaultReserveFraction;
  std::optional<uint64_t> primary_probe_limit;
};

inline constexpr double kFunnelMinReserveFraction = 1e-6;
inline constexpr double kFunnelMaxReserveFraction = 0.125;
inline constexpr uint64_t kMaxPrimaryProbeLimit = uint64_t{1} << 62;

// Non-finite values fall back to the default; the rest are clamped.
inline double sanitize_funnel_reserve_fraction(double r) noexcept {
  if (!std::isfinite(r)) return kDefaultReserveFraction;
  return std::clamp(r, kFunnelMinReserveFraction, kFunnelMaxReserveFraction);
}

struct FunnelShape {
  uint64_t level_count;
  uint64_t bucket_width;
};

// `delta` must already be sanitised.
inline FunnelShape compute_funnel_shape(double delta) noexcept {
  const double l = std::log2(1.0 / delta);
  const uint64_t levels = f64_to_u64_sat(std::ceil(4.0 * l + 10.0));
  const uint64_t width = f64_to_u64_sat(std::ceil(2.0 * l));
  return {levels, (width + 15) / 16 * 16};
}

// The same, with the default fraction's shape worked out once: nearly every
// map has it, and the logarithm costs more than the rest of an empty map.
inline FunnelShape funnel_shape(double delta) noexcept {
  static const FunnelShape kDefault = compute_funnel_shape(kDefaultReserveFraction);
  return delta == kDefaultReserveFraction ? kDefault : compute_funnel_shape(delta);
}

// ceil(log2(max(log2(max(n, 4)), 2))) in floating point: 1 up to n = 4, 2 up
// to 16, 3 up to 256, 4 up to 65536, 5 up to 2^32, 6 beyond.
inline uint64_t default_primary_probe_limit_by_log2(uint64_t n) noexcept {
  const double bits = std::log2(static_cast<double>(std::max<uint64_t>(n, 4)));
  return f64_to_u64_sat(std::ceil(std::log2(std::max(bits, 2.0))));
}

// The same steps in integers: ceil(log2(ceil(log2 n))) for n > 4, since
// log2 n <= 2^k exactly when n <= 2^(2^k).
inline uint64_t default_primary_probe_limit(uint64_t n) noexcept {
  if (n <= 4) return 1;
  if (n <= 16) return 2;
  if (n <= 256) return 3;
  if (n <= 65536) return 4;
  if (n <= (uint64_t{1} << 32)) return 5;
  return 6;
}

// The limit a map keeps for its whole life: the given one, or the default for
// the first capacity; at least 1 and at most kMaxPrimaryProbeLimit.
inline uint64_t resolve_primary_probe_limit(std::optional<uint64_t> given, uint64_t n) noexcept {
  const uint64_t limit = given ? *given : default_primary_probe_limit(n);
  return std::clamp<uint64_t>(limit, 1, kMaxPrimaryProbeLimit);
}

}  // namespace quenlor
