// insert_all_traversed: inserts a copy of every entry of one map into another
// of the same kind, in the source's traversal order, exactly as a plain loop
// of insert() calls would, loading ahead what the copy will touch in the entry
// (prefetch_entry) and the target's first probe groups.
//
// The source must not change during the call; make(entry) returns the
// (key, value) pair to insert, and may throw, as may insert.
#pragma once

#include <cstdint>
#include <utility>

#include "common/walk_ahead.hpp"

namespace quenlor {

template <class Map, class Make, class Prefetch>
void insert_all_traversed(const Map& from, Map& to, Make&& make, Prefetch&& prefetch_entry) {
  using Entry = typename Map::EntryType;
  walk_ahead(
      from.iter(),
      [&](const Entry& e) {
        prefetch_entry(e);
        to.prefetch_insert_path(e.key);
      },
      [&](const Entry& e) {
        auto [key, value] = make(e);
        to.insert(std::move(key), std::move(value));
        return true;
      });
}

}  // namespace quenlor
