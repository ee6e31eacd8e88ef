// TraversalCursor: the position of a walk over the full slots of a sequence of
// tables, in traversal order: tables by index, each group by group from slot
// 0, full lanes lowest first. Tables without entries are skipped whole, and a
// table's walk starts at its first-group hint (no full slot lies before it).
//
// A sequence is anything with table_count() and table(i), where table(i) has
// len(), groups() and table() (the RawTable). The cursor never writes; a
// removing walk may vacate the slot it was just given, since the lanes of the
// current group were read before.
#pragma once

#include <cstdint>

#include "common/layout/group.hpp"
#include "common/layout/lane_mask.hpp"

namespace quenlor {

struct TraversalCursor {
  uint64_t table = 0;       // index of the table `lanes` belongs to
  uint64_t next_group = 0;  // group of that table to load next
  uint64_t group_base = 0;  // slot index of the group `lanes` came from
  LaneMask lanes;           // full lanes of that group not yet handed out

  // The next full slot, in `table` and `slot`; false once every table is done.
  template <class Seq>
  bool next(const Seq& seq, uint64_t& slot) noexcept {
    while (!lanes) {
      if (table >= seq.table_count()) return false;
      const auto& t = seq.table(table);
      if (t.len() == 0 || next_group >= t.groups()) {
        ++table;
        next_group = 0;
        continue;
      }
      if (next_group == 0) next_group = t.first_group_hint();
      lanes = t.table().match_full(next_group);
      if (!lanes) t.note_group_without_entries(next_group);
      group_base = next_group * kGroupWidth;
      ++next_group;
    }
    slot = group_base + lanes.pop_lowest();
    return true;
  }
};

}  // namespace quenlor
