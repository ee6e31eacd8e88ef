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

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
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

// One step of a level's probe budget: free counts above the previous step's
// `most_free` and up to this one allow `groups` groups; above the last step,
// one group.
struct ProbeStep {
  uint64_t most_free;
  uint64_t groups;
  friend bool operator==(const ProbeStep&, const ProbeStep&) = default;
};

// What a level of `slots` slots needs to place keys beyond its geometry: its
// reserve threshold and its probe budgets. probe_limit(f), for f free slots,
// is how many groups a budgeted insertion probe may visit: about
// 1 + (probe_scale / 16) × min(log2²(slots / f), log2(1 / δ)). It is a step
// function of f with few steps (three at the default options), so the steps
// are computed once per plan rather than one budget per free-slot count: no
// logarithms, roots or powers per insertion, and no memory in proportion to
// the slots. Every level of one size shares one of these through its plan.
struct LevelBudget {
  uint64_t reserve_threshold = 0;
  std::vector<ProbeStep> steps;  // most_free increasing, groups decreasing

  // Throws std::bad_alloc.
  static LevelBudget of(uint64_t slots, double delta, double probe_scale) {
    return {level_reserve_threshold(slots, delta),
            build_probe_steps(slots, slots / 16, delta, probe_scale)};
  }

  // At most the level's group count: the whole sequence is the largest
  // budget that means anything. The default options give three steps or
  // fewer, walked in line; a large probe_scale can give hundreds.
  uint64_t probe_limit(uint64_t free) const noexcept {
    if (free == 0) return 1;
    if (steps.size() > kWalkedSteps) [[unlikely]]
      return searched_limit(free);
    for (const ProbeStep& s : steps)
      if (s.most_free >= free) return s.groups;
    return 1;
  }

 private:
  static constexpr std::size_t kWalkedSteps = 4;

  [[gnu::noinline]] uint64_t searched_limit(uint64_t free) const noexcept {
    const auto it = std::partition_point(steps.begin(), steps.end(),
                                         [free](const ProbeStep& s) { return s.most_free < free; });
    return it == steps.end() ? 1 : it->groups;
  }

  static std::vector<ProbeStep> build_probe_steps(uint64_t slots, uint64_t groups, double delta,
                                                  double probe_scale) {
    std::vector<ProbeStep> steps;
    if (groups < 2) return steps;

    // thresholds[k - 2]: the most free slots at which k groups are allowed.
    const double log2_inv_delta = std::log2(1.0 / delta);
    std::vector<uint64_t> thresholds;
    for (uint64_t k = 2; k <= groups; ++k) {
      double x = static_cast<double>(16 * (k - 1)) / probe_scale;
      if (x >= log2_inv_delta) break;
      uint64_t t = f64_to_u64_sat(std::ceil(static_cast<double>(slots) / std::exp2(std::sqrt(x))));
      if (t < 2) break;
      thresholds.push_back(std::min(slots, t - 1));
    }
    // Larger budgets win where thresholds overlap: walking from the largest
    // budget down, a smaller one only adds the free counts above the bound.
    uint64_t bound = 0;
    for (size_t j = thresholds.size(); j-- > 0;) {
      if (thresholds[j] > bound) {
        steps.push_back({thresholds[j], j + 2});
        bound = thresholds[j];
      }
    }
    steps.shrink_to_fit();
    return steps;
  }
};

// The parts of a geometry's plan its map keeps: the level sizes, the batch
// quotas and each level's budget. Maps built from one cached plan share it,
// so a map holds one reference instead of copies in blocks of its own, and
// its levels point into it.
struct ElasticPlan {
  std::vector<uint64_t> sizes;  // partition_levels of the capacity
  std::vector<uint64_t> quotas;
  std::vector<LevelBudget> budgets;  // one per level
  uint64_t total_slots = 0;
};

class SharedElasticPlan {
 public:
  SharedElasticPlan() noexcept = default;
  explicit SharedElasticPlan(ElasticPlan plan)  // throws std::bad_alloc
      : plan_(std::make_shared<const ElasticPlan>(std::move(plan))) {}

  const std::vector<uint64_t>& quotas() const noexcept { return plan_ ? plan_->quotas : none(); }
  // The quotas as a sequence.
  const std::vector<uint64_t>& get() const noexcept { return quotas(); }
  bool empty() const noexcept { return quotas().empty(); }
  std::size_t size() const noexcept { return quotas().size(); }
  uint64_t operator[](std::size_t i) const noexcept { return plan_->quotas[i]; }
  auto begin() const noexcept { return quotas().begin(); }
  auto end() const noexcept { return quotas().end(); }
  // The budget of level i; stays where it is while any copy of this plan
  // exists.
  const LevelBudget& budget(std::size_t i) const noexcept { return plan_->budgets[i]; }
  uint64_t level_count() const noexcept { return plan_ ? plan_->sizes.size() : 0; }
  const std::vector<uint64_t>& level_sizes() const noexcept {
    return plan_ ? plan_->sizes : none();
  }
  uint64_t total_slots() const noexcept { return plan_ ? plan_->total_slots : 0; }

 private:
  static const std::vector<uint64_t>& none() noexcept {
    static const std::vector<uint64_t> empty;
    return empty;
  }
  std::shared_ptr<const ElasticPlan> plan_;
};

// The shared plan of a capacity (small ones cached per thread).
struct ElasticPlanCache {
  struct Item {
    uint64_t capacity = 0;
    double delta = 0.0;
    double scale = 0.0;  // probe_scale
    bool used = false;
    SharedElasticPlan plan;
  };

  // The plan for `capacity` whose growth limit is `max_insertions`. Throws
  // std::bad_alloc.
  static const Item& get(uint64_t capacity, uint64_t max_insertions, double delta,
                         double probe_scale, std::optional<Item>& scratch) {
    return SmallPlanCache<Item>::get(capacity, delta, probe_scale, scratch, [&] {
      return compute(capacity, max_insertions, delta, probe_scale);
    });
  }

  static Item compute(uint64_t capacity, uint64_t max_insertions, double delta,
                      double probe_scale) {
    Item it;
    it.capacity = capacity;
    it.delta = delta;
    it.scale = probe_scale;
    it.used = true;
    ElasticPlan plan;
    plan.sizes = partition_levels(capacity);
    const std::vector<uint64_t>& sizes = plan.sizes;
    plan.quotas = build_batch_plan(sizes, max_insertions, delta);
    plan.budgets.reserve(sizes.size());
    // Sizes repeat (a run of 16-slot levels ends every geometry): equal
    // sizes get equal budgets.
    for (uint64_t i = 0; i < sizes.size(); ++i) {
      if (i != 0 && sizes[i] == sizes[i - 1])
        plan.budgets.push_back(plan.budgets.back());
      else
        plan.budgets.push_back(LevelBudget::of(sizes[i], delta, probe_scale));
      plan.total_slots = sat_add(plan.total_slots, sizes[i]);
    }
    it.plan = SharedElasticPlan(std::move(plan));
    return it;
  }
};

}  // namespace quenlor
