// Where the elastic map puts a new key: the batch rule. Batch b works on the
// level pair (b - 1, b); the earlier level is tried first while it still has
// plenty of room, under a probe budget that shrinks the fuller it gets
// (Level::probe_limit), and once it is down to its reserve the later level
// takes over. Whatever the batch says, a key that finds no slot there gets the
// first free slot of any level, so placement fails only when all are full.
#pragma once

#include <cstdint>
#include <span>

#include "common/saturating.hpp"

namespace quenlor {

// A slot of one level; slot == kNoLevelSlot: none.
struct LevelSlot {
  uint64_t level;
  uint64_t slot;
};
inline constexpr uint64_t kNoLevelSlot = ~uint64_t{0};

namespace elastic_detail {

// A free slot for hash h in level i within `budget` groups; skips a full
// level. A budget of the level's group count always succeeds otherwise.
template <class L>
[[gnu::always_inline]] inline bool free_slot_in_level(std::span<const L> levels, uint64_t i,
                                                      uint64_t h, uint64_t budget,
                                                      LevelSlot& at) noexcept {
  const L& lv = levels[i];
  if (!lv.has_free_slot()) return false;
  const uint64_t slot = lv.find_free_slot(h, budget);
  if (slot == kNoLevelSlot) return false;
  at = {i, slot};
  return true;
}

template <class L>
[[gnu::always_inline]] inline bool free_slot_anywhere_in_level(std::span<const L> levels,
                                                               uint64_t i, uint64_t h,
                                                               LevelSlot& at) noexcept {
  return free_slot_in_level(levels, i, h, levels[i].groups(), at);
}

}  // namespace elastic_detail

// Requires at least one level. Inlined: it is on every insertion.
template <class L>
[[gnu::always_inline]] inline LevelSlot choose_elastic_slot(std::span<const L> levels,
                                                            uint64_t batch_index,
                                                            uint64_t h) noexcept {
  using elastic_detail::free_slot_anywhere_in_level;
  using elastic_detail::free_slot_in_level;
  const uint64_t count = levels.size();
  const uint64_t b = batch_index;
  LevelSlot at{0, kNoLevelSlot};
  if (b == 0) {
    if (free_slot_anywhere_in_level(levels, 0, h, at)) return at;
  } else if (b >= count) {
    if (free_slot_anywhere_in_level(levels, count - 1, h, at)) return at;
  } else {
    const L& cur = levels[b - 1];
    const L& next = levels[b];
    if (cur.free_slots() <= cur.reserve_threshold()) {
      if (free_slot_anywhere_in_level(levels, b, h, at) ||
          free_slot_anywhere_in_level(levels, b - 1, h, at))
        return at;
    } else if (sat_mul(4, next.free_slots()) <= next.slots()) {
      if (free_slot_anywhere_in_level(levels, b - 1, h, at) ||
          free_slot_anywhere_in_level(levels, b, h, at))
        return at;
    } else {
      const uint64_t budget = cur.probe_limit(cur.free_slots());
      if (free_slot_in_level(levels, b - 1, h, budget, at) ||
          free_slot_anywhere_in_level(levels, b, h, at) ||
          free_slot_anywhere_in_level(levels, b - 1, h, at))
        return at;
    }
  }
  for (uint64_t i = 0; i < count; ++i)
    if (free_slot_anywhere_in_level(levels, i, h, at)) return at;
  return {0, kNoLevelSlot};
}

}  // namespace quenlor
