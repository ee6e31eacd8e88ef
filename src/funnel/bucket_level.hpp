// The tables of the funnel map and its bucket levels.
//
// Every table of the funnel map (bucket level, special primary, fallback) is
// a FunnelArea: a counted table whose vacated slot becomes EMPTY only when its
// aligned group already shows an EMPTY byte, otherwise DELETED. A group that
// was full when some later key was placed past it never shows EMPTY again,
// which is what lets lookups stop at the first group with an EMPTY byte.
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
#include "common/layout/counted_table.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/hasher.hpp"
#include "common/layout/removal_rule.hpp"
#include "common/saturating.hpp"

namespace quenlor {

template <class K, class V, class A = ZeroedAllocator>
using FunnelArea = CountedTable<Entry<K, V>, EmptyIfGroupShowsEmpty, A>;

template <class K, class V, class A = ZeroedAllocator>
struct BucketLevel : FunnelArea<K, V, A> {
  using Area = FunnelArea<K, V, A>;

  // The shifts first: they fit in the counted table's last word.
  uint8_t bucket_shift = 0;  // log2(W)
  uint8_t group_shift = 0;   // log2(W / 16): bucket index to group index
  uint64_t salt = 0;
  uint64_t bucket_mask = 0;

  // Level `index` with `buckets` buckets of `bucket_width` slots (rounded up to
  // a power of two, at least one group), built in place; a level of one group
  // takes a short block (RawTable::short_in) unless `whole`. Throws
  // std::bad_alloc or LayoutOverflow, leaving nothing allocated.
  BucketLevel(uint64_t index, uint64_t buckets, uint64_t bucket_width, const A& alloc,
              bool whole = true)
      : BucketLevel(Shape::of(index, buckets, bucket_width), alloc, whole) {}
  static BucketLevel with_capacity_in(uint64_t index, uint64_t buckets, uint64_t bucket_width,
                                      const A& alloc) {
    return BucketLevel(index, buckets, bucket_width, alloc);
  }

  // Level `index` without buckets, in place: small capacities have many.
  explicit BucketLevel(uint64_t index, uint64_t bucket_width) noexcept {
    set_shape(index, 0, stride(bucket_width));
  }
  BucketLevel() noexcept = default;
  BucketLevel(BucketLevel&&) noexcept = default;
  BucketLevel& operator=(BucketLevel&&) noexcept = default;

  void set_shape(uint64_t index, uint64_t p, uint64_t w) noexcept {
    salt = table_salt(index);
    bucket_mask = p == 0 ? 0 : p - 1;
    bucket_shift = static_cast<uint8_t>(__builtin_ctzll(w));
    group_shift = static_cast<uint8_t>(bucket_shift - 4);
  }

  uint64_t bucket_count() const noexcept { return this->slots() == 0 ? 0 : bucket_mask + 1; }

  // The one group of this level a key with hash h may occupy (the table must
  // have slots).
  uint64_t probe_group(uint64_t h) const noexcept {
    return ((salt ^ h) & bucket_mask) << group_shift;
  }

 private:
  // p buckets (0, 1 or a power of two) of w slots (a power of two >= 16).
  struct Shape {
    uint64_t index, p, w;
    static Shape of(uint64_t index, uint64_t buckets, uint64_t bucket_width) {
      const uint64_t p = buckets < 2 ? buckets : next_pow2(buckets);
      if (p < buckets) throw LayoutOverflow();  // more than 2^63 buckets
      const uint64_t w = stride(bucket_width);
      if (p != 0 && w > kU64Max / p) throw LayoutOverflow();
      return {index, p, w};
    }
  };
  BucketLevel(const Shape& s, const A& alloc, bool whole)
      : Area(s.p == 0                           ? Area()
             : whole || s.p * s.w > kGroupWidth ? Area::with_capacity_in(s.p * s.w, alloc)
                                                : Area::short_in(alloc)) {
    set_shape(s.index, s.p, s.w);
  }

  static uint64_t stride(uint64_t bucket_width) noexcept {
    return next_pow2(bucket_width < kGroupWidth ? kGroupWidth : bucket_width);
  }
};

}  // namespace quenlor
