// Level and batch geometry of the elastic map, as pure functions of the
// capacity n and the reserve fraction δ.
//
// Levels: raw sizes halve from ⌈n/2⌉ and end in a run of 1s so that they sum
// to exactly n; each is then rounded up to 16 × a power of two slots, so every
// level has a power-of-two group count and the whole map has at least n slots.
//
// Batches: batch 0 fills level 0 to three quarters; batch i ≥ 1 finishes level
// i − 1 up to its reserve threshold and fills level i to three quarters. The
// quotas are capped so that they sum to exactly max_insertions, with one extra
// batch (index L, on the last level) if the levels' quotas fall short.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/saturating.hpp"
#include "common/small_plan_cache.hpp"

namespace quenlor {

// ⌊δ × slots × 0.5⌋: a level with this many free slots or fewer counts as full
// for batch purposes.
inline uint64_t level_reserve_threshold(uint64_t slots, double delta) noexcept {
  return f64_to_u64_sat(std::floor(delta * static_cast<double>(slots) * 0.5));
}

inline std::vector<uint64_t> partition_levels(uint64_t capacity) {
  std::vector<uint64_t> sizes;
  uint64_t remaining = capacity;
  uint64_t previous = 0;
  while (remaining != 0) {
    uint64_t raw;
    if (sizes.empty()) {
      raw = capacity - capacity / 2;
    } else {
      raw = previous / 2;
      if (raw == 0) raw = 1;
      if (raw > remaining) raw = remaining;
    }
    previous = raw;
    remaining -= raw;
    uint64_t groups = raw / 16 + (raw % 16 != 0 ? 1 : 0);
    sizes.push_back(16 * next_pow2(groups));  // raw ≤ 2^63, so this stays ≤ 2^63
  }
  return sizes;
}

inline std::vector<uint64_t> build_batch_plan(const std::vector<uint64_t>& sizes,
                                              uint64_t max_insertions, double delta) {
  std::vector<uint64_t> plan;
  if (sizes.empty() || max_insertions == 0) return plan;
  auto three_quarters = [](uint64_t x) { return sat_add(sat_mul(3, x), 3) / 4; };

  plan.reserve(sizes.size() + 1);
  plan.push_back(three_quarters(sizes[0]));
  for (size_t i = 1; i < sizes.size(); ++i) {
    uint64_t prev = sizes[i - 1];
    uint64_t prev_target = sat_sub(prev, level_reserve_threshold(prev, delta));
    plan.push_back(sat_add(three_quarters(sizes[i]), sat_sub(prev_target, three_quarters(prev))));
  }

  uint64_t total = 0;
  for (uint64_t& quota : plan) {
    uint64_t left = max_insertions - total;
    if (quota > left) quota = left;
    total += quota;
  }
  if (total < max_insertions) plan.push_back(max_insertions - total);
  return plan;
}

// A batch plan shared by the maps built from one cached plan: building a map
// takes a reference instead of copying the quotas into a block of its own.
class SharedBatchPlan {
 public:
  SharedBatchPlan() noexcept = default;
  explicit SharedBatchPlan(std::vector<uint64_t> quotas)  // throws std::bad_alloc
      : quotas_(quotas.empty() ? nullptr
                               : std::make_shared<const std::vector<uint64_t>>(std::move(quotas))) {
  }

  const std::vector<uint64_t>& get() const noexcept { return quotas_ ? *quotas_ : none(); }
  bool empty() const noexcept { return !quotas_; }
  std::size_t size() const noexcept { return get().size(); }
  uint64_t operator[](std::size_t i) const noexcept { return (*quotas_)[i]; }
  auto begin() const noexcept { return get().begin(); }
  auto end() const noexcept { return get().end(); }

 private:
  static const std::vector<uint64_t>& none() noexcept {
    static const std::vector<uint64_t> empty;
    return empty;
  }
  std::shared_ptr<const std::vector<uint64_t>> quotas_;
};

// Level sizes, reserve thresholds and batch plan of a capacity (small ones
// cached per thread).
struct ElasticPlanCache {
  struct Item {
    uint64_t capacity = 0;
    double delta = 0.0;
    bool used = false;
    std::vector<uint64_t> sizes;
    std::vector<uint64_t> thresholds;  // level_reserve_threshold of each size
    SharedBatchPlan plan;
  };

  // The plan for `capacity` whose growth limit is `max_insertions`. Throws
  // std::bad_alloc.
  static const Item& get(uint64_t capacity, uint64_t max_insertions, double delta, Item& scratch) {
    return SmallPlanCache<Item>::get(capacity, delta, scratch,
                                     [&] { return compute(capacity, max_insertions, delta); });
  }

  static Item compute(uint64_t capacity, uint64_t max_insertions, double delta) {
    Item it;
    it.capacity = capacity;
    it.delta = delta;
    it.used = true;
    it.sizes = partition_levels(capacity);
    it.thresholds.reserve(it.sizes.size());
    for (uint64_t slots : it.sizes) it.thresholds.push_back(level_reserve_threshold(slots, delta));
    it.plan = SharedBatchPlan(build_batch_plan(it.sizes, max_insertions, delta));
    return it;
  }
};

}  // namespace quenlor
