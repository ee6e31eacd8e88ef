// SmallPlanCache: the plans of the smallest geometries (level sizes, batch
// quotas, bucket counts), kept per thread by (capacity, δ, probe scale). Every small map is
// built and grown through the same few capacities, and planning one costs more
// than allocating its tables; larger plans are rare and cheap next to their
// tables, so they are computed each time.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>

namespace quenlor {

// Item carries `capacity`, `delta`, `scale` and `used` besides its plan
// (`scale` is 0 for plans that do not depend on one).
template <class Item>
class SmallPlanCache {
 public:
  static constexpr uint64_t kMaxCapacity = 4096;

  // The cached plan, or compute()'s, kept in the cache or (for large
  // capacities) in `scratch`. Throws what compute() throws, the cache unchanged.
  // `scratch` starts empty: a small map never pays for building one.
  template <class Compute>
  static const Item& get(uint64_t capacity, double delta, double scale,
                         std::optional<Item>& scratch, Compute&& compute) {
    if (capacity > kMaxCapacity) return scratch.emplace(compute());
    thread_local SmallPlanCache cache;
    for (const Item& it : cache.items_)
      if (it.used && it.capacity == capacity && it.delta == delta && it.scale == scale) return it;
    Item fresh = compute();
    Item& slot = cache.items_[cache.next_];
    cache.next_ = (cache.next_ + 1) % cache.items_.size();
    return slot = std::move(fresh);
  }

 private:
  std::array<Item, 8> items_;
  unsigned next_ = 0;
};

}  // namespace quenlor
