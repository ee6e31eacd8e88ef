// insert_all_traversed: inserts a copy of every entry of one map into another
// of the same kind, in the source's traversal order, exactly as a plain loop
// of insert() calls would. The walk runs a few entries ahead of the
// insertions: what the copy will touch in the entry (prefetch_entry) and the
// target's first probe groups are loaded early, so that their cache misses
// overlap instead of stalling each insertion in turn.
//
// The source must not change during the call; make(entry) returns the
// (key, value) pair to insert, and may throw, as may insert.
#pragma once

#include <cstdint>
#include <utility>

namespace quenlor {

template <class Map, class Make, class Prefetch>
void insert_all_traversed(const Map& from, Map& to, Make&& make, Prefetch&& prefetch_entry) {
  using Entry = typename Map::EntryType;
  constexpr unsigned kAhead = 8;
  const Entry* ring[kAhead];
  auto it = from.iter();
  const auto start = [&](const Entry* e) {
    prefetch_entry(*e);
    to.prefetch_insert_path(e->key);
  };
  unsigned pending = 0;
  for (; pending < kAhead; ++pending) {
    const Entry* e = it.next();
    if (e == nullptr) break;
    start(e);
    ring[pending] = e;
  }
  // ring[i] is always the oldest pending entry; once the walk is over, the
  // remaining ones follow it round the ring in order.
  for (unsigned i = 0; pending != 0; i = (i + 1) % kAhead) {
    auto [key, value] = make(*ring[i]);
    to.insert(std::move(key), std::move(value));
    if (const Entry* e = it.next()) {
      start(e);
      ring[i] = e;
    } else {
      --pending;
    }
  }
}

}  // namespace quenlor
