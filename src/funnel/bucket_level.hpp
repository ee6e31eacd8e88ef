// Slot areas of the funnel map and its bucket levels.
//
// A SlotArea is one grouped table with the counts its owner keeps: `len` full
// slots and `tombstones` DELETED slots. It owns the entries of its full slots.
// A vacated slot becomes EMPTY only when its aligned group already shows an
// EMPTY byte, otherwise DELETED: a group that was full when some later key
// was placed past it never shows EMPTY again, which is what lets lookups stop
// at the first group with an EMPTY byte.
//
// A BucketLevel is P buckets (0, 1 or a power of two) of W slots each (W a
// power of two >= 16), so bucket b starts at slot b * W, on a group boundary.
// A key's bucket is (salt ^ h) & (P - 1); only the first group of a bucket is
// ever probed or filled, the rest of a wider bucket stays EMPTY.
#pragma once

#include <cstdint>
#include <utility>

#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/raw_table.hpp"
#include "common/saturating.hpp"

namespace quenlor {

template <class K, class V, class A = ZeroedAllocator>
struct SlotArea {
  using Table = RawTable<Entry<K, V>, A>;

  Table table;
  uint64_t len = 0;
  uint64_t tombstones = 0;

  SlotArea() noexcept = default;
  SlotArea(SlotArea&& o) noexcept
      : table(std::move(o.table)),
        len(std::exchange(o.len, 0)),
        tombstones(std::exchange(o.tombstones, 0)) {}
  SlotArea& operator=(SlotArea&& o) noexcept {
    if (this != &o) {
      destroy_live();
      table = std::move(o.table);
      len = std::exchange(o.len, 0);
      tombstones = std::exchange(o.tombstones, 0);
    }
    return *this;
  }
  ~SlotArea() { destroy_live(); }

  // Moves `e` into free slot `slot` under `tag`.
  void write(uint64_t slot, Entry<K, V>&& e, uint8_t tag) noexcept {
    if (table.write_full(slot, std::move(e), tag) == DELETED) --tombstones;
    ++len;
  }

  // Moves the entry out of full slot `slot` and marks the slot by the removal rule.
  Entry<K, V> vacate(uint64_t slot) noexcept {
    Entry<K, V> e = table.take(slot);
    if (table.match_empty(slot / kGroupWidth).any()) {
      table.set_ctrl(slot, EMPTY);
    } else {
      table.set_ctrl(slot, DELETED);
      ++tombstones;
    }
    --len;
    return e;
  }

  // Destroys every entry; all slots EMPTY again, the table kept.
  void clear() noexcept {
    if (len != 0) {
      table.destroy_entries();
    } else if (tombstones != 0) {
      table.reset_ctrl();
    }
    len = tombstones = 0;
  }

  // Slots are forgotten without destroying entries: every live entry must
  // already have been moved out with `take`.
  void forget_taken() noexcept {
    table.reset_ctrl();
    len = tombstones = 0;
  }

  bool needs_purge() const noexcept { return tombstones > table.slots() / 2; }

 private:
  void destroy_live() noexcept {
    if (len != 0) table.destroy_entries();
    len = 0;
  }
};

inline constexpr uint64_t kFunnelSaltStep = 0x9E3779B97F4A7C15ull;

template <class K, class V, class A = ZeroedAllocator>
struct BucketLevel : SlotArea<K, V, A> {
  using Table = typename SlotArea<K, V, A>::Table;

  uint64_t salt = 0;
  uint64_t bucket_mask = 0;
  uint32_t bucket_shift = 0;  // log2(W)
  uint32_t group_shift = 0;   // log2(W / 16): bucket index to group index

  // Level `index` with `buckets` buckets of `bucket_width` slots (rounded up to
  // a power of two, at least one group). Throws std::bad_alloc or
  // LayoutOverflow, leaving nothing allocated.
  static BucketLevel with_capacity_in(uint64_t index, uint64_t buckets, uint64_t bucket_width,
                                      const A& alloc) {
    const uint64_t p = buckets < 2 ? buckets : next_pow2(buckets);
    if (p < buckets) throw LayoutOverflow();  // more than 2^63 buckets
    const uint64_t w = next_pow2(bucket_width < kGroupWidth ? kGroupWidth : bucket_width);
    if (p != 0 && w > kU64Max / p) throw LayoutOverflow();
    BucketLevel level;
    level.table = Table::with_capacity_in(p * w, alloc);
    level.salt = (index + 1) * kFunnelSaltStep;
    level.bucket_mask = p == 0 ? 0 : p - 1;
    level.bucket_shift = static_cast<uint32_t>(__builtin_ctzll(w));
    level.group_shift = level.bucket_shift - 4;
    return level;
  }

  uint64_t bucket_count() const noexcept { return this->table.slots() == 0 ? 0 : bucket_mask + 1; }

  // The one group of this level a key with hash h may occupy (the table must
  // have slots).
  uint64_t probe_group(uint64_t h) const noexcept {
    return ((salt ^ h) & bucket_mask) << group_shift;
  }
};

}  // namespace quenlor
