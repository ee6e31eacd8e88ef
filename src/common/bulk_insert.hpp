// insert_all_traversed: inserts a copy of every entry of one map into another
// of the same kind, in the source's traversal order, exactly as a plain loop
// of insertions would. Traversal order scatters the objects an entry points
// to and the groups its key probes in the target, so an entry is visited a
// few entries after what it will touch began loading (prefetch_entry for its
// objects, the target's first probe groups), and the cache misses overlap.
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

template <class Map, class Target, class Insert, class Prefetch>
void insert_all_traversed(const Map& from, Target& to, Insert&& insert, Prefetch&& prefetch_entry) {
  using K = std::remove_cvref_t<decltype(std::declval<typename Map::EntryType&>().key)>;
  using V = std::remove_cvref_t<decltype(std::declval<typename Map::EntryType&>().value)>;
  struct Pending {
    const K* key;
    const V* value;
    uint64_t h;
  };
  if (!worth_prefetching(to.capacity())) {
    // Both maps fit in cache: loading ahead would only add instructions.
    // The insertion is forced inline, as for_each forces this visitor.
    from.for_each([&](const K& key, const V& value)
                      QUENLOR_INLINE_BODY { insert(to, key, value, to.slot_hash(key)); });
    return;
  }
  constexpr unsigned kAhead = 8;
  Pending ring[kAhead];
  unsigned pending = 0, oldest = 0;
  from.for_each([&](const K& key, const V& value) {
    const uint64_t h = to.slot_hash(key);
    prefetch_entry(key, value);
    to.prefetch_new(h);
    if (pending < kAhead) {
      ring[pending++] = {&key, &value, h};
      return;
    }
    const Pending p = ring[oldest];
    ring[oldest] = {&key, &value, h};
    oldest = (oldest + 1) % kAhead;
    insert(to, *p.key, *p.value, p.h);
  });
  for (unsigned i = 0; i < pending; ++i) {
    const Pending& p = ring[(oldest + i) % kAhead];
    insert(to, *p.key, *p.value, p.h);
  }
}

}  // namespace quenlor
