// TableIter: read-only traversal of a map, in traversal order: the full slots
// of its tables (TraversalCursor), then its tail entries, those kept outside
// any table (none for most maps). Invalidated by any mutation of the map.
//
// Seq is a light view of the map's tables: table_count(), table(i) and
// tail_entry(i) (nullptr past the last one).
#pragma once

#include <cstdint>

#include "common/layout/traversal_cursor.hpp"

namespace quenlor {

template <class Seq>
class TableIter {
 public:
  explicit TableIter(Seq seq) noexcept : seq_(seq) {}

  // nullptr once exhausted, and on every call after that.
  const auto* next() noexcept {
    uint64_t slot;
    if (cursor_.next(seq_, slot)) return &seq_.table(cursor_.table).entry(slot);
    const auto* e = seq_.tail_entry(tail_);
    tail_ += e != nullptr;
    return e;
  }

 private:
  Seq seq_;
  TraversalCursor cursor_;
  uint64_t tail_ = 0;
};

}  // namespace quenlor
