// Construction options of the elastic map and their sanitising. The map
// never rejects options: out-of-range values are clamped or replaced by the
// defaults here, once, at construction; rebuilds reuse the sanitised values.
#pragma once

#include <cmath>
#include <cstdint>

#include "common/growth.hpp"

namespace quenlor {

// The budget formula divides the scale by 16 (Level::probe_limit), so the
// default grants one extra group per unit of log2²(slots / free).
inline constexpr double kElasticDefaultProbeScale = 16.0;
// δ = 0 would make the probe budget unbounded (log2(1/δ)) and δ = 1 would
// leave no usable capacity; the clamp keeps both finite and non-empty.
inline constexpr double kElasticMinReserveFraction = 1e-6;
inline constexpr double kElasticMaxReserveFraction = 0.999999;

struct ElasticOptions {
  uint64_t capacity = 0;
  double reserve_fraction = kDefaultReserveFraction;
  double probe_scale = kElasticDefaultProbeScale;
};

inline double sanitize_reserve_fraction(double delta) noexcept {
  if (!std::isfinite(delta)) return kDefaultReserveFraction;
  if (delta < kElasticMinReserveFraction) delta = kElasticMinReserveFraction;
  if (delta > kElasticMaxReserveFraction) delta = kElasticMaxReserveFraction;
  return delta;
}

// Any finite positive value is kept, subnormals included.
inline double sanitize_probe_scale(double scale) noexcept {
  return std::isfinite(scale) && scale > 0.0 ? scale : kElasticDefaultProbeScale;
}

inline ElasticOptions sanitized(ElasticOptions o) noexcept {
  o.reserve_fraction = sanitize_reserve_fraction(o.reserve_fraction);
  o.probe_scale = sanitize_probe_scale(o.probe_scale);
  return o;
}

}  // namespace quenlor
