// insert_all_traversed: inserts a copy of every entry of one map into another
// of the same kind, in the source's traversal order, exactly as a plain loop
// of insertions would, loading ahead what the copy will touch in the entry
// (prefetch_entry) and the target's first probe groups.
//
// The source must not change during the call; insert(to, entry) inserts a copy
// of the entry into `to` (by insert(), or insert_new() when it knows the key is
// new there), and may throw.
#pragma once

#include <cstdint>
#include <utility>

#include "common/walk_ahead.hpp"

namespace quenlor {

template <class Map, class Insert, class Prefetch>
void insert_all_traversed(const Map& from, Map& to, Insert&& insert, Prefetch&& prefetch_entry) {
  using Entry = typename Map::EntryType;
  walk_ahead(
      from.iter(),
      [&](const Entry& e) {
        prefetch_entry(e);
        to.prefetch_insert_path(e.key);
      },
      [&](const Entry& e) {
        insert(to, e);
        return true;
      });
}

}  // namespace quenlor
