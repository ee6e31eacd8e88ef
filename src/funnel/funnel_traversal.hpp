// Traversal order of the funnel map: the levels by index, then the special
// primary, then the fallback, each by slot index (TraversalCursor), then the
// overflow area in insertion order. A key's position therefore depends only on
// where it was placed; a rebuild re-places entries and may change the order.
#pragma once

#include <cstdint>

namespace quenlor {

// The map's tables as a table sequence for traversal (TableIter, ExtractIf):
// levels, special primary, fallback, then the overflow entries.
template <class Tables>
struct FunnelTraversal {
  const Tables* tables;

  uint64_t table_count() const noexcept { return tables->area_count(); }
  const auto& table(uint64_t a) const noexcept { return tables->area(a); }
  const auto* tail_entry(uint64_t i) const noexcept {
    return i < tables->overflow.size() ? &tables->overflow[i].entry : nullptr;
  }
};

}  // namespace quenlor
