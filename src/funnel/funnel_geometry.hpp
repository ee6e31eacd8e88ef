// How a requested capacity n is split between the bucket levels and the
// special array. The special array gets s' slots (a few percent of n); the
// rest, a whole number of buckets of `bucket_width` slots, is spread over
// `level_count` levels whose bucket counts shrink by about 3/4 per level:
// every count is within one of three quarters of the previous one and the
// counts sum exactly to the total. Trailing levels are often empty.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <optional>
#include <vector>

#include "common/errors.hpp"
#include "common/saturating.hpp"

namespace quenlor {

// Number of slots given to the special array: the largest value in
// [ceil(delta*n/2), floor(3*delta*n/4)] that leaves a whole number of buckets
// to the levels; failing that, the value of the form n - j*step closest to
// 5*delta*n/8 (the larger one on a tie).
inline uint64_t choose_special_capacity(uint64_t n, uint64_t bucket_width, double delta) noexcept {
  if (n == 0) return 0;
  const double nd = static_cast<double>(n);
  const uint64_t lo = std::min(n, f64_to_u64_sat(std::ceil(delta * nd * 0.5)));
  const uint64_t hi = f64_to_u64_sat(std::floor(delta * 3.0 * nd * 0.25));
  const uint64_t step = std::max<uint64_t>(bucket_width, 1);
  if (hi >= lo) {
    const uint64_t top = std::min(n, hi);
    const uint64_t back = (step - (n - top) % step) % step;  // top - back leaves a multiple of step
    if (back <= top && top - back >= lo) return top - back;
  }
  const double x = std::clamp(delta * 5.0 * nd * 0.125, 0.0, nd);
  const uint64_t target = f64_to_u64_sat(std::round(x));
  if (target >= n) return n;
  const uint64_t j = (n - target) / step;
  const uint64_t above = n - j * step;  // smallest candidate not below target
  if (j == n / step) return above;      // it is also the smallest candidate
  const uint64_t below = above - step;
  return above - target <= target - below ? above : below;
}

namespace funnel_detail {

// Bounds of the term that may follow a term p: within one of 3p/4.
inline uint64_t follow_lo(uint64_t p) noexcept { return (sat_sub(sat_mul(3, p), 4) + 3) / 4; }
inline uint64_t follow_hi(uint64_t p) noexcept {
  return std::max(follow_lo(p), sat_add(sat_mul(3, p), 4) / 4);
}
inline uint64_t follow_ideal(uint64_t p) noexcept {
  return std::clamp(sat_add(sat_mul(3, p), 2) / 4, follow_lo(p), follow_hi(p));
}

// Sum of the k terms after c when each takes its lowest (highest) follower.
inline uint64_t lowest_tail(uint64_t c, uint64_t k) noexcept {
  uint64_t sum = 0;
  for (uint64_t j = 0; j < k && c != 0; ++j) {
    c = follow_lo(c);
    sum = sat_add(sum, c);
  }
  return sum;
}
inline uint64_t highest_tail(uint64_t c, uint64_t k) noexcept {
  uint64_t sum = 0;
  for (uint64_t j = 0; j < k; ++j) {
    const uint64_t next = follow_hi(c);
    if (next == c) return sat_add(sum, sat_mul(c, k - j));  // fixed point (1 to 4)
    sum = sat_add(sum, next);
    c = next;
  }
  return sum;
}

// Integer power by repeated squaring (the same rounding as the usual powi).
inline double powi(double a, uint32_t b) noexcept {
  double r = 1.0;
  for (;;) {
    if (b & 1) r *= a;
    b /= 2;
    if (b == 0) return r;
    a *= a;
  }
}

}  // namespace funnel_detail

// One greedy attempt at `levels` bucket counts summing to `total`, starting
// with `first`: each next count is the feasible follower closest to 3/4 of the
// previous one (the smaller on a tie), where feasible means the rest of the
// total can still be reached by the remaining levels.
inline std::optional<std::vector<uint64_t>> build_funnel_bucket_sequence(uint64_t total,
                                                                         uint64_t levels,
                                                                         uint64_t first) {
  using namespace funnel_detail;
  if (first > total || levels == 0) return std::nullopt;
  std::vector<uint64_t> seq;
  seq.reserve(levels);
  seq.push_back(first);
  uint64_t remaining = total - first;
  for (uint64_t i = 1; i < levels; ++i) {
    const uint64_t p = seq.back();
    const uint64_t ideal = follow_ideal(p);
    const uint64_t last = std::min(follow_hi(p), remaining);
    const uint64_t k = levels - 1 - i;
    std::optional<uint64_t> best;
    uint64_t best_distance = 0;
    for (uint64_t c = follow_lo(p); c <= last; ++c) {
      const uint64_t rest = remaining - c;
      if (rest < lowest_tail(c, k) || rest > highest_tail(c, k)) continue;
      if (c == ideal) {
        best = c;
        break;
      }
      const uint64_t distance = c > ideal ? c - ideal : ideal - c;
      if (!best || distance < best_distance) {
        best = c;
        best_distance = distance;
      }
    }
    if (!best) return std::nullopt;
    seq.push_back(*best);
    remaining -= *best;
  }
  if (remaining != 0) return std::nullopt;
  return seq;
}

// `level_count` bucket counts summing to `total_buckets`: a geometric sequence
// of ratio 3/4, its first term searched outwards from the ideal one.
inline std::vector<uint64_t> partition_funnel_buckets(uint64_t total_buckets,
                                                      uint64_t level_count) {
  if (level_count == 0) return {};
  if (level_count >= (uint64_t{1} << 31)) fatal("level count fits in i32: TryFromIntError(())");
  if (total_buckets == 0) return std::vector<uint64_t>(level_count, 0);
  const double r = 1.0 - funnel_detail::powi(0.75, static_cast<uint32_t>(level_count));
  const uint64_t first =
      r <= 0.0
          ? total_buckets
          : f64_to_u64_sat(std::round(std::max(static_cast<double>(total_buckets) / 4.0 / r, 0.0)));
  for (uint64_t offset = 0;; ++offset) {
    const uint64_t down = sat_sub(first, offset);
    if (auto seq = build_funnel_bucket_sequence(total_buckets, level_count, down)) return *seq;
    const uint64_t up = std::min(total_buckets, sat_add(first, offset));
    if (up != down)
      if (auto seq = build_funnel_bucket_sequence(total_buckets, level_count, up)) return *seq;
    if ((down == 0 && up == total_buckets) || offset == total_buckets) break;  // every start tried
  }
  std::vector<uint64_t> counts(level_count, 0);
  counts[0] = total_buckets;
  return counts;
}

// Sizes of every area for a capacity n.
struct FunnelPlan {
  uint64_t special_capacity;            // s': slots of the special array
  uint64_t total_buckets;               // buckets over all levels
  std::vector<uint64_t> bucket_counts;  // one per level
  // The levels with buckets lie in [first_with_buckets, end_with_buckets)
  // (both 0 when none has any); kept so that building a map from a cached
  // plan does not rescan the leading empty levels.
  uint64_t first_with_buckets = 0;
  uint64_t end_with_buckets = 0;
};

inline FunnelPlan plan_funnel_geometry(uint64_t n, uint64_t level_count, uint64_t bucket_width,
                                       double delta) {
  const uint64_t special = choose_special_capacity(n, bucket_width, delta);
  const uint64_t step = std::max<uint64_t>(bucket_width, 1);
  const uint64_t usable = sat_sub(n, special) / step * step;
  const uint64_t total = bucket_width == 0 ? 0 : usable / bucket_width;
  FunnelPlan plan{n - usable, total, partition_funnel_buckets(total, level_count)};
  const std::vector<uint64_t>& c = plan.bucket_counts;
  uint64_t end = c.size();
  while (end > 0 && c[end - 1] == 0) --end;
  uint64_t first = 0;
  while (first < end && c[first] == 0) ++first;
  plan.first_with_buckets = first;
  plan.end_with_buckets = end;
  return plan;
}

}  // namespace quenlor
