// ElasticHashMap::check_consistency: every invariant the map keeps, checked in
// O(slots) against the tables themselves. Calls no key comparison, so it is
// safe on keys whose equality runs foreign code.
#pragma once

#include <cstdint>

#include "common/errors.hpp"
#include "common/layout/control.hpp"
#include "elastic/elastic_hash_map.hpp"

namespace quenlor {

template <class K, class V, class S, class A>
void ElasticHashMap<K, V, S, A>::check_consistency() const {
  uint64_t total = 0;
  for (uint64_t i = 0; i < levels_.size(); ++i) {
    const LevelType& lv = levels_[i];
    lv.check_counts("level counts differ from its control bytes");
    if (!purge_deferred_ && lv.needs_purge()) fatal("a level needs a purge that was not deferred");
    if (lv.len() != 0 && i > max_populated_level_) fatal("entry above max_populated_level");
    if (!lv.allocated() && (lv.len() != 0 || lv.tombstones() != 0))
      fatal("level without a block holds slots");
    if (lv.allocated() && lv.table().slots() != lv.slots()) fatal("level block of the wrong size");
    if (&lv.budget() != &batch_plan_.budget(i)) fatal("level budget outside the map's plan");
    if (lv.reserve_threshold() != level_reserve_threshold(lv.slots(), reserve_fraction_))
      fatal("level reserve threshold is not that of its size");
    uint64_t prev_free = 0, prev_groups = lv.groups() + 1;
    for (const auto& step : lv.probe_steps()) {
      if (step.most_free <= prev_free || step.most_free >= lv.slots() ||
          step.groups >= prev_groups || step.groups < 2)
        fatal("probe budget steps out of order or outside 2..groups");
      prev_free = step.most_free;
      prev_groups = step.groups;
    }
    lv.table().for_each_full([&](uint64_t slot, const EntryType& e) {
      const uint64_t h = hash_of(e.key);
      if (lv.table().ctrl_byte(slot) != tag_of(h)) fatal("control byte is not the key's tag");
      const auto is_this = [&e](const K& stored) { return &stored == &e.key; };
      const SlotPosition at = find_position(h, tag_of(h), is_this);
      if (at.slot != slot || at.level != i) fatal("entry not on its key's lookup path");
    });
    total += lv.len();
  }
  if (total != len_) fatal("len differs from the level counts");
  if (levels_.size() != batch_plan_.level_count() && (levels_.size() != 1 || batch_index_ != 0))
    fatal("a level the map has reached has no record");
  if (!levels_.empty() && max_populated_level_ >= levels_.size())
    fatal("max_populated_level past the last level");
  if (!batch_plan_.empty() &&
      (batch_index_ >= batch_plan_.size() || batch_remaining_ > batch_plan_[batch_index_]))
    fatal("batch position outside the plan");
  uint64_t quota = 0;
  for (uint64_t q : batch_plan_) quota += q;
  if (quota != (batch_plan_.empty() ? 0 : max_insertions_.get()))
    fatal("batch quotas do not sum to max_insertions");
  uint64_t walked = 0;
  for (Iter it = iter(); it.next() != nullptr;) ++walked;
  if (walked != len_) fatal("traversal does not visit len entries");
}

}  // namespace quenlor
