// walk_ahead: visits every entry of a traversal in order, calling start(e) a
// few entries before visit(e). Traversal order scatters the objects an entry
// points to, so what start() begins loading (the entry's objects, the other
// side's first probe groups) arrives while earlier entries are visited: the
// cache misses overlap instead of stalling each visit in turn.
#pragma once

#include <type_traits>

namespace quenlor {

// visit(entry) returns false to stop the walk early; walk_ahead then returns
// false. The traversal must not change while it runs.
template <unsigned kAhead = 8, class Iter, class Start, class Visit>
bool walk_ahead(Iter it, Start&& start, Visit&& visit) {
  using EntryPtr = decltype(it.next());
  EntryPtr ring[kAhead];
  unsigned pending = 0;
  for (; pending < kAhead; ++pending) {
    EntryPtr e = it.next();
    if (e == nullptr) break;
    start(*e);
    ring[pending] = e;
  }
  // ring[i] is always the oldest pending entry; once the walk is over, the
  // remaining ones follow it round the ring in order.
  for (unsigned i = 0; pending != 0; i = (i + 1) % kAhead) {
    if (!visit(*ring[i])) return false;
    if (EntryPtr e = it.next()) {
      start(*e);
      ring[i] = e;
    } else {
      --pending;
    }
  }
  return true;
}

}  // namespace quenlor
