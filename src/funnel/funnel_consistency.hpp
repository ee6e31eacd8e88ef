// FunnelHashMap::check_consistency: every invariant the map keeps, checked in
// O(slots) against the tables themselves. It compares no keys (entries are
// looked up by identity along their own hash's search), so it is safe on keys
// whose equality runs foreign code.
#pragma once

#include <cstdint>
#include <optional>

#include "common/errors.hpp"
#include "common/layout/control.hpp"
#include "funnel/funnel_hash_map.hpp"

namespace quenlor {

template <class K, class V, class S, class A>
void FunnelHashMap<K, V, S, A>::check_consistency() const {
  const auto& levels = tables_.levels;
  const auto& primary = tables_.special->primary;
  const uint64_t first = tables_.first_level;
  if (levels.empty() ? max_populated_level_ != 0
                     : max_populated_level_ >= first + levels.size() ||
                           (max_populated_level_ != 0 && max_populated_level_ < first))
    fatal("max_populated_level outside the stored levels");
  if (search_end_ != tables_.stored_levels_through(max_populated_level_))
    fatal("search end is not that of max_populated_level");
  if (look_ahead_end_ != look_ahead_levels_of(search_end_))
    fatal("look-ahead depth is not that of the search end");
  if (levels.empty() ? first != 0
                     : first + levels.size() > tables_.level_count || levels.back().slots() == 0 ||
                           (levels.front().slots() == 0 && !Tables::store_leading_levels))
    fatal("stored levels are not those from the first to the last one with buckets");
  for (uint64_t j = 0; j < levels.size(); ++j)
    if (levels[j].salt != table_salt(first + j)) fatal("stored level with another level's salt");
  if (tables_.special.owned() != (primary.slots() + tables_.special->fallback.slots() != 0))
    fatal("special-array block without slots, or slots without a block");
  if (primary.group_summaries.size() != primary.groups())
    fatal("one summary per special-primary group");

  // An entry's own search, matching by address, must end exactly where it is.
  const auto reached = [this](const EntryType& e, uint64_t h, const SlotLocation& at) {
    const auto is_this = [&e](const K& stored) { return &stored == &e.key; };
    const FunnelSearch r = search(h, tag_of(h), is_this);
    return r.found() && r.loc == at;
  };

  uint64_t total = 0;
  for (uint64_t a = 0; a < tables_.area_count(); ++a) {
    const auto& area = tables_.area(a);
    area.check_counts("table counts differ from its control bytes");
    if (!purge_deferred_ && area.needs_purge())
      fatal("a table needs a purge that was not deferred");
    if (a < levels.size() && area.len() != 0 && first + a > max_populated_level_)
      fatal("entry above max_populated_level");
    area.table().for_each_full([&](uint64_t slot, const EntryType& e) {
      const uint64_t h = hash_of(e.key);
      const uint8_t t = tag_of(h);
      if (area.table().ctrl_byte(slot) != t) fatal("control byte is not the key's tag");
      if (a == levels.size() && !primary.group_summaries.may_hold(slot / kGroupWidth, t))
        fatal("special-primary summary misses a stored tag");
      if (!reached(e, h, tables_.location_of(a, slot))) fatal("entry not on its key's search path");
    });
    total += area.len();
  }
  // Overflow entries had no place when stored and every place they passed has
  // shown no EMPTY since, so their search runs through every table to the
  // overflow area (whose scan by hash and key needs no checking).
  for (const auto& oe : tables_.overflow) {
    if (oe.hash != hash_of(oe.entry.key)) fatal("overflow entry keeps a stale hash");
    const auto is_this = [&oe](const K& stored) { return &stored == &oe.entry.key; };
    const uint8_t t = tag_of(oe.hash);
    const FunnelSearch r = search_levels(tables_, level_search_end(), oe.hash, t, is_this);
    if (!r.undetermined() || !search_special(tables_, oe.hash, t, is_this).undetermined())
      fatal("overflow entry's search stops before the overflow area");
  }
  total += tables_.overflow.size();
  if (total != len_) fatal("len differs from the table counts");

  uint64_t walked = 0;
  for (Iter it = iter(); it.next() != nullptr;) ++walked;
  if (walked != len_) fatal("traversal does not visit len entries");
}

}  // namespace quenlor
