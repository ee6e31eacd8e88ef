// FillCounts: how many entries a fill has put into each group of tables that
// it started empty. Such a fill takes the lowest free lane of a group and
// nothing leaves, so a group's free lanes are exactly the lanes from its count
// up: the fill finds them without loading the group's control bytes. Those it
// has just written a byte at a time, and a 16-byte load of bytes still on
// their way to the cache waits for them instead of taking them from the
// stores; filling 1,000 entries that way took twice the time.
#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <vector>

#include "common/layout/group.hpp"
#include "common/layout/lane_mask.hpp"

namespace quenlor {

class FillCounts {
 public:
  // Zeroed counts for each table of `tables`, groups_of(table) groups each.
  // Throws std::bad_alloc.
  template <class Tables, class GroupsOf>
  FillCounts(const Tables& tables, GroupsOf&& groups_of) {
    uint64_t total = 0;
    first_.reserve(std::size(tables) + 1);
    for (const auto& t : tables) {
      first_.push_back(total);
      total += groups_of(t);
    }
    first_.push_back(total);  // of(size) is the end, so of(0) always exists
    counts_.reset(new uint8_t[total == 0 ? 1 : total]());
  }

  // The counts of table `table`'s groups.
  uint8_t* of(uint64_t table) noexcept { return counts_.get() + first_[table]; }
  uint8_t& of(uint64_t table, uint64_t g) noexcept { return of(table)[g]; }
  // The free lanes of a group with count c: those from c up.
  static LaneMask free_lanes(uint8_t c) noexcept { return LaneMask((0xFFFFu << c) & 0xFFFFu); }
  LaneMask free_lanes(uint64_t table, uint64_t g) noexcept { return free_lanes(of(table, g)); }

 private:
  std::vector<uint64_t> first_;  // each table's first count, then the end
  std::unique_ptr<uint8_t[]> counts_;
};

}  // namespace quenlor
