// FillCounts: how many entries a fill has put into each group of tables that
// it started empty. Such a fill takes the lowest free lane of a group and
// nothing leaves, so a group's free lanes are exactly the lanes from its count
// up: the fill finds them without loading the group's control bytes. Those it
// has just written a byte at a time, and a 16-byte load of bytes still on
// their way to the cache waits for them instead of taking them from the
// stores; filling 1,000 entries that way took twice the time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <vector>

#include "common/layout/allocator.hpp"
#include "common/layout/group.hpp"
#include "common/layout/lane_mask.hpp"

namespace quenlor {

template <class A>
class FillCounts {
 public:
  // Zeroed counts for each group of each table of `tables`, taken from
  // `alloc` like a table's block; none (available() false) when memory is
  // short, for the caller to place by the control bytes instead: a fill that
  // needed no memory before must not fail for want of counts.
  template <class Tables>
  FillCounts(const Tables& tables, const A& alloc) noexcept : alloc_(alloc) {
    try {
      uint64_t total = 0;
      first_.reserve(std::size(tables) + 1);
      for (const auto& t : tables) {
        first_.push_back(total);
        total += t.groups();
      }
      first_.push_back(total);  // of(size) is the end, so of(0) always exists
      const std::size_t bytes = total == 0 ? 1 : total;
      counts_ = static_cast<uint8_t*>(alloc_.allocate_zeroed(bytes));
      bytes_ = bytes;
    } catch (const std::bad_alloc&) {
      counts_ = nullptr;
    }
  }
  ~FillCounts() {
    if (counts_ != nullptr) alloc_.deallocate(counts_, bytes_);
  }
  bool available() const noexcept { return counts_ != nullptr; }
  FillCounts(const FillCounts&) = delete;
  FillCounts& operator=(const FillCounts&) = delete;

  // The counts of table `table`'s groups.
  uint8_t* of(uint64_t table) noexcept { return counts_ + first_[table]; }
  uint8_t& of(uint64_t table, uint64_t g) noexcept { return of(table)[g]; }
  // The free lanes of a group with count c: those from c up.
  static LaneMask free_lanes(uint8_t c) noexcept { return LaneMask((0xFFFFu << c) & 0xFFFFu); }
  LaneMask free_lanes(uint64_t table, uint64_t g) noexcept { return free_lanes(of(table, g)); }

 private:
  [[no_unique_address]] A alloc_;
  std::vector<uint64_t, RecordAllocator<uint64_t, A>>
      first_;  // each table's first count, then the end
  uint8_t* counts_ = nullptr;
  std::size_t bytes_ = 0;
};

}  // namespace quenlor
