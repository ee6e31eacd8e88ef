// What a vacated slot's control byte becomes. Lookups stop at the first group
// showing an EMPTY byte, so a removal may write EMPTY only where no later
// entry can have probed past the slot's group.
#pragma once

#include <cstdint>

#include "common/layout/control.hpp"
#include "common/layout/group.hpp"

namespace quenlor {

// For tables whose probe sequences cross several groups per key: any group may
// have been passed over by some later entry, so a removal always leaves DELETED.
struct AlwaysDeleted {
  template <class Table>
  static uint8_t vacated_byte(const Table&, uint64_t) noexcept {
    return DELETED;
  }
};

// For tables where a key's search stops at a group showing EMPTY: a group that
// already shows one was never passed over, so the slot can be EMPTY again; a
// group that was full may have been, and keeps a DELETED.
struct EmptyIfGroupShowsEmpty {
  template <class Table>
  static uint8_t vacated_byte(const Table& t, uint64_t slot) noexcept {
    return t.match_empty(slot / kGroupWidth).any() ? EMPTY : DELETED;
  }
};

}  // namespace quenlor
