// walk_ahead: visits every entry of a traversal in order, calling start(e) a
// few entries before visit(e). Traversal order scatters the objects an entry
// points to, so what start() begins loading (the entry's objects, the other
// side's first probe groups) arrives while earlier entries are visited: the
// cache misses overlap instead of stalling each visit in turn.
#pragma once

#include <type_traits>

namespace quenlor {

// walk_ahead in up to three steps, for loads that depend on earlier ones:
// far(e) runs kFar visits before visit(e), near(e) kNear visits before it and
// nearest(e) kNearest before it (all fewer for the first entries), so each
// step finds in cache what the one before asked for (a probe group, then the
// entries its tags match) and can ask for what that leads to (the objects
// those entries point to). A distance of 0 leaves its step out. visit(e)
// returns false to stop the walk early; the walk then returns false. The
// traversal must not change while it runs.
template <unsigned kFar, unsigned kNear, unsigned kNearest, class Iter, class Far, class Near,
          class Nearest, class Visit>
bool walk_three_ahead(Iter it, Far&& far, Near&& near, Nearest&& nearest, Visit&& visit) {
  static_assert(kNear < kFar && (kNearest < kNear || kNearest == 0));
  using EntryPtr = decltype(it.next());
  EntryPtr ring[kFar];
  unsigned pending = 0;
  for (; pending < kFar; ++pending) {
    EntryPtr e = it.next();
    if (e == nullptr) break;
    far(*e);
    ring[pending] = e;
  }
  for (unsigned j = 0; j < kNear && j < pending; ++j) near(*ring[j]);
  for (unsigned j = 0; j < kNearest && j < pending; ++j) nearest(*ring[j]);
  // ring[i] is always the oldest pending entry; once the walk is over, the
  // remaining ones follow it round the ring in order. Every later entry
  // passes the kNear-th and then the kNearest-th place behind the oldest
  // once, and gets near() and nearest() there.
  for (unsigned i = 0; pending != 0; i = (i + 1) % kFar) {
    if constexpr (kNear != 0)
      if (pending > kNear) near(*ring[(i + kNear) % kFar]);
    if constexpr (kNearest != 0)
      if (pending > kNearest) nearest(*ring[(i + kNearest) % kFar]);
    if (!visit(*ring[i])) return false;
    if (EntryPtr e = it.next()) {
      far(*e);
      ring[i] = e;
    } else {
      --pending;
    }
  }
  return true;
}

// The two-step walk: far(e) kFar visits before visit(e), near(e) kNear.
template <unsigned kFar, unsigned kNear, class Iter, class Far, class Near, class Visit>
bool walk_two_ahead(Iter it, Far&& far, Near&& near, Visit&& visit) {
  return walk_three_ahead<kFar, kNear, 0>(
      it, far, near, [](const auto&) {}, visit);
}

// The one-step walk: start(e) kAhead visits before visit(e).
template <unsigned kAhead = 8, class Iter, class Start, class Visit>
bool walk_ahead(Iter it, Start&& start, Visit&& visit) {
  return walk_two_ahead<kAhead, 0>(
      it, start, [](const auto&) {}, visit);
}

}  // namespace quenlor
