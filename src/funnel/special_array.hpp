// The special array of the funnel map: where keys go whose bucket in every
// level was full. It has two halves built from s' slots:
//
// - SpecialPrimary, ceil(s'/2) slots rounded up to G groups (G a power of
//   two). A key probes at most k = min(G, limit) groups along a double-hashing
//   sequence; `group_summaries` holds one 128-bit word per group with bit t-1
//   set once an entry of tag t was placed there. Bits are never cleared one by
//   one (only by clear and rebuild), so a set bit may be stale but a clear bit
//   proves the tag absent from that group.
// - SpecialFallback, floor(s'/2) slots cut into buckets of 2^bucket_shift
//   slots (the smallest power of two >= 2 * limit); a key has two of them.
//   Buckets are clipped at the table's slot count; slots past the last bucket
//   are never used.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <utility>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/group.hpp"
#include "common/saturating.hpp"
#include "funnel/bucket_level.hpp"
#include "funnel/funnel_options.hpp"

namespace quenlor {

struct GroupSummary {
  uint64_t bits[2];
};

// One zero-filled GroupSummary per primary group, from the table allocator.
template <class A = ZeroedAllocator>
class GroupSummaries {
 public:
  GroupSummaries() noexcept = default;
  static GroupSummaries with_capacity_in(uint64_t groups, const A& alloc) {
    GroupSummaries s;
    s.alloc_ = alloc;
    if (groups == 0) return s;
    if (groups > SIZE_MAX / sizeof(GroupSummary)) throw LayoutOverflow();
    s.words_ = static_cast<GroupSummary*>(s.alloc_.allocate_zeroed(bytes_for(groups)));
    s.count_ = groups;
    return s;
  }
  GroupSummaries(GroupSummaries&& o) noexcept
      : words_(std::exchange(o.words_, nullptr)),
        count_(std::exchange(o.count_, 0)),
        alloc_(o.alloc_) {}
  GroupSummaries& operator=(GroupSummaries&& o) noexcept {
    if (this != &o) {
      release();
      words_ = std::exchange(o.words_, nullptr);
      count_ = std::exchange(o.count_, 0);
      alloc_ = o.alloc_;
    }
    return *this;
  }
  ~GroupSummaries() { release(); }

  uint64_t size() const noexcept { return count_; }
  const GroupSummary& operator[](uint64_t g) const noexcept { return words_[g]; }

  bool may_hold(uint64_t g, uint8_t tag) const noexcept {
    const unsigned b = tag - 1u;
    return (words_[g].bits[b >> 6] >> (b & 63)) & 1;
  }
  void mark(uint64_t g, uint8_t tag) noexcept {
    const unsigned b = tag - 1u;
    words_[g].bits[b >> 6] |= uint64_t{1} << (b & 63);
  }
  void zero() noexcept {
    if (count_ != 0) std::memset(static_cast<void*>(words_), 0, bytes_for(count_));
  }

 private:
  static std::size_t bytes_for(uint64_t groups) noexcept {
    return static_cast<std::size_t>(groups) * sizeof(GroupSummary);
  }
  void release() noexcept {
    if (count_ != 0) alloc_.deallocate(words_, bytes_for(count_));
    words_ = nullptr;
    count_ = 0;
  }

  GroupSummary* words_ = nullptr;
  uint64_t count_ = 0;
  [[no_unique_address]] A alloc_{};
};

template <class K, class V, class A = ZeroedAllocator>
struct SpecialPrimary : FunnelArea<K, V, A> {
  using Area = FunnelArea<K, V, A>;

  GroupSummaries<A> group_summaries;
  uint64_t group_mask = 0;
  uint64_t probe_groups = 0;  // k: groups of the probe sequence

  SpecialPrimary() noexcept = default;
  // `share` slots rounded up to a power-of-two number of groups, built in place.
  SpecialPrimary(uint64_t share, uint64_t probe_limit, const A& alloc)
      : SpecialPrimary(groups_for(share), probe_limit, alloc, 0) {}
  static SpecialPrimary with_capacity_in(uint64_t share, uint64_t probe_limit, const A& alloc) {
    return SpecialPrimary(share, probe_limit, alloc);
  }

  uint64_t first_group(uint64_t h) const noexcept { return std::rotr(h, 53) & group_mask; }
  uint64_t group_step(uint64_t h) const noexcept { return (std::rotr(h, 21) | 1) & group_mask; }

  void place(uint64_t slot, Entry<K, V>&& e, uint8_t tag) noexcept {
    Area::place(slot, std::move(e), tag);
    group_summaries.mark(slot / kGroupWidth, tag);
  }

  void clear() noexcept {
    Area::clear();
    group_summaries.zero();
  }

 private:
  SpecialPrimary(uint64_t groups, uint64_t probe_limit, const A& alloc, int)
      : Area(groups == 0 ? Area() : Area::with_capacity_in(groups * kGroupWidth, alloc)),
        group_summaries(groups == 0 ? GroupSummaries<A>()
                                    : GroupSummaries<A>::with_capacity_in(groups, alloc)),
        group_mask(groups == 0 ? 0 : groups - 1),
        probe_groups(std::min(groups, probe_limit)) {}

  static uint64_t groups_for(uint64_t share) {
    if (share == 0) return 0;
    const uint64_t groups =
        share <= kGroupWidth ? 1 : next_pow2(share / kGroupWidth + (share % kGroupWidth != 0));
    if (groups > kU64Max / kGroupWidth) throw LayoutOverflow();
    return groups;
  }
};

template <class K, class V, class A = ZeroedAllocator>
struct SpecialFallback : FunnelArea<K, V, A> {
  using Area = FunnelArea<K, V, A>;

  uint64_t bucket_count = 0;
  uint8_t bucket_shift = 0;

  SpecialFallback() noexcept = default;
  // Built in place.
  SpecialFallback(uint64_t share, uint64_t probe_limit, const A& alloc)
      : Area(share == 0 ? Area() : Area::with_capacity_in(share, alloc)) {
    // probe_limit is 1 .. 2^62, so the span is 2 .. 2^63 and a bucket length
    // always fits in 64 bits.
    const uint64_t span = 2 * probe_limit;
    bucket_shift = static_cast<uint8_t>(64 - __builtin_clzll(span - 1));  // ceil(log2(span))
    if (share != 0)
      bucket_count = (share >> bucket_shift) + ((share & (bucket_len(*this) - 1)) != 0);
  }
  static SpecialFallback with_capacity_in(uint64_t share, uint64_t probe_limit, const A& alloc) {
    return SpecialFallback(share, probe_limit, alloc);
  }

  uint64_t first_bucket(uint64_t h) const noexcept { return std::rotr(h, 45) % bucket_count; }
  uint64_t second_bucket(uint64_t h) const noexcept { return std::rotr(h, 27) % bucket_count; }

  uint64_t bucket_begin(uint64_t b) const noexcept { return b << bucket_shift; }
  uint64_t bucket_end(uint64_t b) const noexcept {
    return std::min(this->slots(), sat_mul(b + 1, bucket_len(*this)));
  }

  // Slots that belong to some bucket.
  uint64_t usable_slots() const noexcept {
    return std::min(this->slots(), sat_mul(bucket_count, bucket_len(*this)));
  }

  // Visits the slots of bucket b selected by `match(group)` in increasing
  // order until `f(slot)` returns true; returns that slot.
  template <class Match, class F>
  std::optional<uint64_t> scan_bucket(uint64_t b, Match&& match, F&& f) const {
    const uint64_t begin = bucket_begin(b);
    const uint64_t end = bucket_end(b);
    for (uint64_t g = begin / kGroupWidth; g * kGroupWidth < end; ++g) {
      const uint64_t base = g * kGroupWidth;
      const unsigned from = begin > base ? static_cast<unsigned>(begin - base) : 0;
      const unsigned to = static_cast<unsigned>(std::min<uint64_t>(end - base, kGroupWidth));
      const uint32_t range = ((uint32_t{1} << to) - 1) & ~((uint32_t{1} << from) - 1);
      for (unsigned lane : LaneMask(match(this->table().group(g)).bits() & range))
        if (f(base + lane)) return base + lane;
    }
    return std::nullopt;
  }

  std::optional<uint64_t> first_free(uint64_t b) const noexcept {
    return scan_bucket(
        b, [](const Group& g) { return g.match_free(); }, [](uint64_t) { return true; });
  }

 private:
  static uint64_t bucket_len(const SpecialFallback& f) noexcept {
    return uint64_t{1} << f.bucket_shift;
  }
};

template <class K, class V, class A = ZeroedAllocator>
struct SpecialArray {
  SpecialPrimary<K, V, A> primary;
  SpecialFallback<K, V, A> fallback;

  SpecialArray() noexcept = default;
  // `special_capacity` slots: the primary gets the odd one. Built in place.
  SpecialArray(uint64_t special_capacity, uint64_t probe_limit, const A& alloc)
      : primary(special_capacity - special_capacity / 2, probe_limit, alloc),
        fallback(special_capacity / 2, probe_limit, alloc) {
    QUENLOR_DCHECK(probe_limit >= 1 && probe_limit <= kMaxPrimaryProbeLimit);
  }
  static SpecialArray with_capacity_in(uint64_t special_capacity, uint64_t probe_limit,
                                       const A& alloc) {
    return SpecialArray(special_capacity, probe_limit, alloc);
  }

  uint64_t len() const noexcept { return primary.len() + fallback.len(); }
  uint64_t usable_slots() const noexcept { return primary.slots() + fallback.usable_slots(); }
};

// Where a funnel geometry keeps its special array: in a block of its own, or,
// when the geometry gives it no slots (every capacity up to 16), nowhere: it
// then reads as one shared array without slots, which no key is ever placed
// in and no walk changes. A small map's object stays free of the array's
// records that way; searches reach the array through one pointer, after
// every level they search.
template <class K, class V, class A = ZeroedAllocator>
class SpecialStore {
 public:
  using Array = SpecialArray<K, V, A>;

  SpecialStore() noexcept = default;
  // `special_capacity` slots (see SpecialArray). Throws std::bad_alloc (or
  // LayoutOverflow), leaving nothing allocated.
  SpecialStore(uint64_t special_capacity, uint64_t probe_limit, const A& alloc) {
    QUENLOR_DCHECK(probe_limit >= 1 && probe_limit <= kMaxPrimaryProbeLimit);
    if (special_capacity == 0) return;
    RecordAllocator<Array, A> records;
    Array* block = records.allocate(1);
    try {
      array_ = std::construct_at(block, special_capacity, probe_limit, alloc);
    } catch (...) {
      records.deallocate(block, 1);
      throw;
    }
  }
  SpecialStore(SpecialStore&& o) noexcept : array_(std::exchange(o.array_, none())) {}
  SpecialStore& operator=(SpecialStore&& o) noexcept {
    if (this != &o) {
      release();
      array_ = std::exchange(o.array_, none());
    }
    return *this;
  }
  SpecialStore(const SpecialStore&) = delete;
  SpecialStore& operator=(const SpecialStore&) = delete;
  ~SpecialStore() { release(); }

  // Whether the array has slots (a block of its own).
  bool owned() const noexcept { return array_ != none(); }

  const Array& operator*() const noexcept { return *array_; }
  const Array* operator->() const noexcept { return array_; }
  // Writing access; the shared array without slots is only ever read, and
  // the walks that take a table by reference find nothing in it to change.
  Array& operator*() noexcept { return *array_; }
  Array* operator->() noexcept { return array_; }

  // Empties both halves (summaries too), keeping their blocks.
  void clear() noexcept {
    if (!owned()) return;
    array_->primary.clear();
    array_->fallback.clear();
  }

 private:
  static Array* none() noexcept { return &kNone; }
  void release() noexcept {
    if (owned()) {
      std::destroy_at(array_);
      RecordAllocator<Array, A>().deallocate(array_, 1);
    }
    array_ = none();
  }

  static inline Array kNone{};
  Array* array_ = none();
};

}  // namespace quenlor
