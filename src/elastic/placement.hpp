// Where the elastic map puts a new key: the batch rule. Batch b works on the
// level pair (b - 1, b); the earlier level is tried first while it still has
// plenty of room, under a probe budget that shrinks the fuller it gets
// (Level::probe_limit), and once it is down to its reserve the later level
// takes over. Whatever the batch says, a key that finds no slot there gets the
// first free slot of any level, so placement fails only when all are full.
#pragma once

#include <cstdint>
#include <span>

#include "common/layout/lane_mask.hpp"
#include "common/saturating.hpp"

namespace quenlor {

// A slot of one level; slot == kNoLevelSlot: none.
struct LevelSlot {
  uint64_t level;
  uint64_t slot;
};
inline constexpr uint64_t kNoLevelSlot = ~uint64_t{0};

// A free slot of one level and how many groups of the key's sequence the
// probe visited to find it (the level's longest probe needs it).
struct FreeSlot {
  uint64_t slot;
  uint64_t probes;
};

// Where a new key goes: level, slot and probe count; slot == kNoLevelSlot: none.
struct ElasticPlace {
  uint64_t level;
  uint64_t slot;
  uint64_t probes;
};

namespace elastic_detail {

// A free slot for hash h in level i within `budget` groups; skips a full
// level. A budget of the level's group count always succeeds otherwise.
template <bool kAllocated, class L, class FreeLanes>
[[gnu::always_inline]] inline bool free_slot_in_level(std::span<const L> levels, uint64_t i,
                                                      uint64_t h, uint64_t budget,
                                                      const FreeLanes& free_lanes,
                                                      ElasticPlace& at) noexcept {
  const L& lv = levels[i];
  if (!lv.has_free_slot()) return false;
  const FreeSlot free = lv.template find_free_slot<kAllocated>(
      h, budget, [&](uint64_t g) { return free_lanes(i, g); });
  if (free.slot == kNoLevelSlot) return false;
  at = {i, free.slot, free.probes};
  return true;
}

template <bool kAllocated, class L, class FreeLanes>
[[gnu::always_inline]] inline bool free_slot_anywhere_in_level(std::span<const L> levels,
                                                               uint64_t i, uint64_t h,
                                                               const FreeLanes& free_lanes,
                                                               ElasticPlace& at) noexcept {
  return free_slot_in_level<kAllocated>(levels, i, h, levels[i].groups(), free_lanes, at);
}

// The free lanes of group g of level i, read from its control bytes.
template <class L>
struct TableFreeLanes {
  std::span<const L> levels;
  LaneMask operator()(uint64_t i, uint64_t g) const noexcept {
    return levels[i].table().match_free(g);
  }
};

}  // namespace elastic_detail

// Requires at least one level. Inlined: it is on every insertion.
// kAllocated: every level has its block (rebuilds and purges). free_lanes(i,
// g): the free lanes of group g of level i (a fill reads them from its
// counts).
template <bool kAllocated, class L, class FreeLanes>
[[gnu::always_inline]] inline ElasticPlace choose_elastic_slot(
    std::span<const L> levels, uint64_t batch_index, uint64_t h,
    const FreeLanes& free_lanes) noexcept {
  using elastic_detail::free_slot_anywhere_in_level;
  using elastic_detail::free_slot_in_level;
  const uint64_t count = levels.size();
  const uint64_t b = batch_index;
  ElasticPlace at{0, kNoLevelSlot, 0};
  if (b == 0) {
    if (free_slot_anywhere_in_level<kAllocated>(levels, 0, h, free_lanes, at)) return at;
  } else if (b >= count) {
    if (free_slot_anywhere_in_level<kAllocated>(levels, count - 1, h, free_lanes, at)) return at;
  } else {
    const L& cur = levels[b - 1];
    const L& next = levels[b];
    if (cur.free_slots() <= cur.reserve_threshold()) {
      if (free_slot_anywhere_in_level<kAllocated>(levels, b, h, free_lanes, at) ||
          free_slot_anywhere_in_level<kAllocated>(levels, b - 1, h, free_lanes, at))
        return at;
    } else if (sat_mul(4, next.free_slots()) <= next.slots()) {
      if (free_slot_anywhere_in_level<kAllocated>(levels, b - 1, h, free_lanes, at) ||
          free_slot_anywhere_in_level<kAllocated>(levels, b, h, free_lanes, at))
        return at;
    } else {
      const uint64_t budget = cur.probe_limit(cur.free_slots());
      if (free_slot_in_level<kAllocated>(levels, b - 1, h, budget, free_lanes, at) ||
          free_slot_anywhere_in_level<kAllocated>(levels, b, h, free_lanes, at) ||
          free_slot_anywhere_in_level<kAllocated>(levels, b - 1, h, free_lanes, at))
        return at;
    }
  }
  for (uint64_t i = 0; i < count; ++i)
    if (free_slot_anywhere_in_level<kAllocated>(levels, i, h, free_lanes, at)) return at;
  return {0, kNoLevelSlot, 0};
}

template <bool kAllocated = false, class L>
[[gnu::always_inline]] inline ElasticPlace choose_elastic_slot(std::span<const L> levels,
                                                               uint64_t batch_index,
                                                               uint64_t h) noexcept {
  return choose_elastic_slot<kAllocated>(levels, batch_index, h,
                                         elastic_detail::TableFreeLanes<L>{levels});
}

}  // namespace quenlor
