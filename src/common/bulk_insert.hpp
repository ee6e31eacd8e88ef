// insert_all_traversed: inserts a copy of every entry of one map into another
// of the same kind, in the source's traversal order, exactly as a plain loop
// of insertions would. Traversal order scatters the objects an entry points
// to and the groups its key probes in the target, so an entry is visited a
// few entries after what it will touch began loading (prefetch_entry for its
// objects, the target's first probe groups and, in a table beyond the cache,
// its slot), and the cache misses overlap.
//
// `to` is the target map or a stand-in for it (Map::NewKeys) with its
// capacity(), slot_hash() and prefetch_new(). insert(to, key, value, h)
// inserts a copy of the entry into it, h being to.slot_hash(key) (by
// insert(), or by insert_new_made() when it knows the key is new there), and
// may throw. The source must not change during the call.
#pragma once

#include <cstdint>
#include <type_traits>
#include <utility>

#include "common/inline_body.hpp"
#include "common/layout/group.hpp"

namespace quenlor {

// Entries on their way into `to` (a map's NewKeys, say), placed in the order
// they are pushed, each kDepth pushes later. push() starts loading the first
// groups the entry's key probes (to.prefetch_new). With kSlots, kSlotAhead
// pushes before placing an entry it also asks for the slot the key will most
// likely take (to.prefetch_new_slot), whose group is in cache by then: for
// tables beyond the cache, where an insertion's store into its slot misses
// too, and stores leave the core in order, so that a few such misses fill
// the store buffer and stall the insertions behind them. insert(item) places
// an item; item.h is to.slot_hash() of its key.
template <bool kSlots, class Item, class Target, class Insert>
class InsertWindow {
 public:
  InsertWindow(Target& to, Insert& insert) noexcept : to_(to), insert_(insert) {}
  InsertWindow(const InsertWindow&) = delete;
  InsertWindow& operator=(const InsertWindow&) = delete;

  [[gnu::always_inline]] void push(const Item& item) {
    to_.prefetch_new(item.h);
    if (pending_ < kDepth) {
      if (kSlots && pending_ >= kSlotAhead) to_.prefetch_new_slot(ring_[pending_ - kSlotAhead].h);
      ring_[pending_++] = item;
      return;
    }
    // ring_[oldest_] is the oldest pending item, kSlotAhead places on the
    // one pushed kSlotAhead pushes ago.
    if (kSlots) to_.prefetch_new_slot(ring_[(oldest_ + kDepth - kSlotAhead) % kDepth].h);
    const Item due = ring_[oldest_];
    ring_[oldest_] = item;
    oldest_ = (oldest_ + 1) % kDepth;
    insert_(due);
  }
  // Places every pending item; the window is then empty.
  void drain() {
    for (unsigned i = 0; i < pending_; ++i) insert_(ring_[(oldest_ + i) % kDepth]);
    pending_ = oldest_ = 0;
  }

 private:
  static constexpr unsigned kDepth = kSlots ? 16 : 8, kSlotAhead = 8;
  Target& to_;
  Insert& insert_;
  Item ring_[kDepth];
  unsigned pending_ = 0, oldest_ = 0;
};

template <class Map, class Target, class Insert, class Prefetch>
void insert_all_traversed(const Map& from, Target& to, Insert&& insert, Prefetch&& prefetch_entry) {
  using K = std::remove_cvref_t<decltype(std::declval<typename Map::EntryType&>().key)>;
  using V = std::remove_cvref_t<decltype(std::declval<typename Map::EntryType&>().value)>;
  if (!worth_prefetching(to.capacity())) {
    // Both maps fit in cache: loading ahead would only add instructions.
    // The insertion is forced inline, as for_each forces this visitor.
    from.for_each([&](const K& key, const V& value)
                      QUENLOR_INLINE_BODY { insert(to, key, value, to.slot_hash(key)); });
    return;
  }
  struct Pending {
    const K* key;
    const V* value;
    uint64_t h;
  };
  auto place = [&](const Pending& p) QUENLOR_INLINE_BODY { insert(to, *p.key, *p.value, p.h); };
  const auto walk = [&](auto& window) {
    from.for_each([&](const K& key, const V& value) {
      prefetch_entry(key, value);
      window.push({&key, &value, to.slot_hash(key)});
    });
    window.drain();
  };
  if (beyond_cache(to.capacity())) {
    InsertWindow<true, Pending, Target, decltype(place)> window(to, place);
    walk(window);
  } else {
    InsertWindow<false, Pending, Target, decltype(place)> window(to, place);
    walk(window);
  }
}

}  // namespace quenlor
