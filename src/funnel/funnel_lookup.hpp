// Lookup in the funnel tables. A key may only be in its places, searched in
// placement order: one group per level up to max_populated_level, up to k
// groups of the special primary, two fallback buckets, and last the overflow
// area. Since a vacated slot turns EMPTY only in a group that already showed
// one, a level group showing EMPTY ends the search (the key would have been
// placed there), and so does a primary group showing EMPTY and no DELETED.
//
// Each step reports Found (with the location), Absent (the search may stop),
// or Undetermined (go on to the next places). `is_key(stored)` decides what
// counts as the key: equality for lookups, identity for consistency checks.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "common/key_match.hpp"
#include "common/layout/group.hpp"
#include "common/layout/lane_mask.hpp"
#include "funnel/funnel_tables.hpp"

namespace quenlor {

struct FunnelSearch {
  enum class Outcome : uint8_t { Found, Absent, Undetermined };
  Outcome outcome;
  SlotLocation loc;

  bool found() const noexcept { return outcome == Outcome::Found; }
  bool undetermined() const noexcept { return outcome == Outcome::Undetermined; }
  static FunnelSearch found_at(SlotLocation l) noexcept { return {Outcome::Found, l}; }
  static FunnelSearch absent() noexcept { return {Outcome::Absent, {}}; }
  static FunnelSearch undetermined_yet() noexcept { return {Outcome::Undetermined, {}}; }
};

// Level groups are the hash's alone, so the next levels' control loads can
// start before the current level is compared; four keeps a few cache misses
// in flight without fetching lines the search rarely reaches.
inline constexpr uint64_t kLevelsAhead = 4;

// The level and special-array searches are forced inline into each caller
// (lookup, insert): their loops are the hot path. What follows the levels is
// left to the compiler, which keeps insertion compact that way.

// The first free level slot an insertion's search met (level kNone: none).
struct FirstFreeSlot {
  static constexpr uint64_t kNone = ~uint64_t{0};
  uint64_t level = kNone;
  uint64_t slot = 0;
  explicit operator bool() const noexcept { return level != kNone; }
};

namespace funnel_detail {

// Where a level search found its key.
struct LevelPosition {
  uint64_t level = 0;
  uint64_t slot = 0;
};

// find_in_levels for one choice of kAhead, so that the search of tables that
// fit in the caches carries no prefetching code at all. kQuick: compare by
// is_key.quick() only; the first candidate it cannot decide ends the search,
// returned (with `at`) and `undecided` set, for the caller to compare in full
// (see KeyEquals).
template <bool kFindFree, bool kAhead, bool kQuick, class Tables, class IsKey, class Free>
[[gnu::always_inline]] inline auto* search_levels_for_entry(Tables& t, uint64_t end, uint64_t h,
                                                            uint8_t tag, const IsKey& is_key,
                                                            bool& absent, Free& free,
                                                            LevelPosition& at, bool& undecided) {
  using EntryPtr = decltype(&t.levels[0].entry(0));
  if constexpr (kAhead)
    for (uint64_t j = 1; j < std::min<uint64_t>(end, 1 + kLevelsAhead); ++j) {
      const auto& next = t.levels[j];
      if (next.len() != 0) next.table().prefetch_group_ctrl(next.probe_group(h));
    }
  for (uint64_t i = 0; i < end; ++i) {
    auto& lv = t.levels[i];
    if (lv.len() == 0) [[unlikely]] {
      // Nothing to find, but every slot of the key's group is free.
      if constexpr (kFindFree)
        if (!free && lv.slots() != 0) free = {i, lv.probe_group(h) * kGroupWidth};
      continue;
    }
    const uint64_t g = lv.probe_group(h);
    if constexpr (kAhead) {
      if (i != 0 && i + kLevelsAhead < end) {
        const auto& next = t.levels[i + kLevelsAhead];
        if (next.len() != 0) next.table().prefetch_group_ctrl(next.probe_group(h));
      }
      lv.table().prefetch_group_entries(g);
    }
    const Group grp = lv.table().group(g);
    for (unsigned lane : grp.match_tag(tag)) {
      const uint64_t slot = g * kGroupWidth + lane;
      auto& e = lv.entry(slot);
      bool found;
      if constexpr (kQuick) {
        const KeyMatch verdict = is_key.quick(e.key);
        undecided = verdict == KeyMatch::Undecided;
        found = verdict != KeyMatch::Different;
      } else {
        found = is_key(e.key);
      }
      if (found) {
        at = {i, slot};
        return &e;
      }
    }
    // A level without DELETED bytes has no free slot but its EMPTY ones,
    // and the first group showing one ends the search: only levels with
    // tombstones need their free slots looked for on the way.
    if constexpr (kFindFree)
      if (!free && lv.tombstones() != 0)
        if (const LaneMask fr = grp.match_free()) free = {i, g * kGroupWidth + fr.lowest()};
    if (const LaneMask empty = grp.match_empty()) {
      if constexpr (kFindFree)
        if (!free) free = {i, g * kGroupWidth + empty.lowest()};
      absent = true;
      return EntryPtr{nullptr};
    }
  }
  return EntryPtr{nullptr};
}

// What a level search hands back besides the entry, gathered for the search
// made out of line (whose results go back by value: a local whose address
// reached a call would live on the stack in the quick search too).
template <class EntryPtr, class Free>
struct LevelSearchResult {
  EntryPtr entry;
  bool absent;
  Free free;
  LevelPosition at;
};

// The full search, taking `decided` (compared already: not the key) as not
// the key without comparing it again.
template <bool kFindFree, bool kAhead, class Tables, class IsKey, class Free, class K>
[[gnu::noinline]] auto search_levels_past(Tables& t, uint64_t end, uint64_t h, const IsKey& is_key,
                                          const K* decided) {
  // The tag is recomputed from h: as a seventh argument (with the result's
  // address) it would be passed on the stack, which made the callers set up
  // a frame on every lookup.
  const uint8_t tag = tag_of(h);
  bool absent = false, unused = false;
  Free free{};
  LevelPosition at;
  auto* e = search_levels_for_entry<kFindFree, kAhead, false>(
      t, end, h, tag, PassingOver<IsKey, K>{is_key, decided}, absent, free, at, unused);
  return LevelSearchResult<decltype(e), Free>{e, absent, free, at};
}

// search_levels_for_entry. A two-step is_key (KeyEquals) compares quickly in
// the loop, which then makes no call, and in full only the candidate the
// quick comparison left undecided, after the loop; if that is not the key
// either (equal hashes of unequal keys: rare), the search is made again
// with full comparisons, passing over that candidate.
template <bool kFindFree, bool kAhead, class Tables, class IsKey, class Free>
[[gnu::always_inline]] inline auto* search_levels(Tables& t, uint64_t end, uint64_t h, uint8_t tag,
                                                  const IsKey& is_key, bool& absent, Free& free,
                                                  LevelPosition& at) {
  using K = std::remove_cvref_t<decltype(t.levels[0].entry(0).key)>;
  bool undecided = false;
  if constexpr (!TwoStepKeyTest<IsKey, K>) {
    return search_levels_for_entry<kFindFree, kAhead, false>(t, end, h, tag, is_key, absent, free,
                                                             at, undecided);
  } else {
    auto* e = search_levels_for_entry<kFindFree, kAhead, true>(t, end, h, tag, is_key, absent, free,
                                                               at, undecided);
    if (!undecided || is_key(e->key)) [[likely]]
      return e;
    const auto r =
        search_levels_past<kFindFree, kAhead, Tables, IsKey, Free>(t, end, h, is_key, &e->key);
    absent = r.absent;
    free = r.free;
    at = r.at;
    return r.entry;
  }
}

}  // namespace funnel_detail

// The level search of lookups and insertion, handing back the entry itself,
// so a hit needs no location to be decoded. Null with `absent` set when a
// level group showing EMPTY ended the search, null alone when the levels were
// searched in vain. With kFindFree (insertion), `free` also receives the
// first free slot met, which is where the key goes if new. Lookups in tables
// beyond the caches ask for the next levels' groups ahead; insertion usually
// stops early, at a free slot or its key, and does not; nor do lookups whose
// caller has loaded the groups already (kLookAhead false).
template <bool kFindFree = false, bool kLookAhead = true, class Tables, class IsKey,
          class Free = FirstFreeSlot>
[[gnu::always_inline]] inline auto* find_in_levels(Tables& t, uint64_t end, uint64_t h, uint8_t tag,
                                                   const IsKey& is_key, bool& absent,
                                                   Free&& free = Free()) {
  using funnel_detail::LevelPosition;
  using funnel_detail::search_levels;
  LevelPosition at;  // unused: the entry is the answer
  if constexpr (!kFindFree && kLookAhead)
    if (worth_prefetching(t.usable_slots))
      return search_levels<false, true>(t, end, h, tag, is_key, absent, free, at);
  return search_levels<kFindFree, false>(t, end, h, tag, is_key, absent, free, at);
}

// The same level search for removal, which needs the key's place rather than
// its entry: whether the key was found, and then in which stored level `at`
// and slot; `absent` as for find_in_levels.
template <class Tables, class IsKey>
[[gnu::always_inline]] inline bool find_in_levels_at(const Tables& t, uint64_t end, uint64_t h,
                                                     uint8_t tag, const IsKey& is_key, bool& absent,
                                                     funnel_detail::LevelPosition& at) {
  using funnel_detail::search_levels;
  FirstFreeSlot unused;
  return worth_prefetching(t.usable_slots)
             ? search_levels<false, true>(t, end, h, tag, is_key, absent, unused, at)
             : search_levels<false, false>(t, end, h, tag, is_key, absent, unused, at);
}

// The level search as a FunnelSearch (the full search, the consistency check).
template <class Tables, class IsKey>
[[gnu::always_inline]] inline FunnelSearch search_levels(const Tables& t, uint64_t end, uint64_t h,
                                                         uint8_t tag, const IsKey& is_key) {
  bool absent = false;
  funnel_detail::LevelPosition at;
  if (find_in_levels_at(t, end, h, tag, is_key, absent, at))
    return FunnelSearch::found_at({SlotKind::Level, static_cast<uint32_t>(at.level), at.slot});
  return absent ? FunnelSearch::absent() : FunnelSearch::undetermined_yet();
}

// Both fallback buckets in full (a bucket met twice is scanned once).
template <class Tables, class IsKey>
[[gnu::always_inline]] inline std::optional<uint64_t> search_fallback(const Tables& t, uint64_t h,
                                                                      uint8_t tag,
                                                                      const IsKey& is_key) {
  const auto& fb = t.special->fallback;
  if (fb.len() == 0) return std::nullopt;
  const auto tagged = [tag](const Group& g) { return g.match_tag(tag); };
  const auto matches = [&](uint64_t s) { return is_key(fb.entry(s).key); };
  const uint64_t b1 = fb.first_bucket(h);
  if (const auto s = fb.scan_bucket(b1, tagged, matches)) return s;
  const uint64_t b2 = fb.second_bucket(h);
  if (b2 == b1) return std::nullopt;
  return fb.scan_bucket(b2, tagged, matches);
}

// The special primary, then the fallback. Absent only when a primary group
// shows EMPTY and no DELETED; undetermined when both were searched in vain.
template <class Tables, class IsKey>
[[gnu::always_inline]] inline FunnelSearch search_special(const Tables& t, uint64_t h, uint8_t tag,
                                                          const IsKey& is_key) {
  const auto& pr = t.special->primary;
  if (pr.len() != 0) {
    uint64_t g = pr.first_group(h);
    const uint64_t step = pr.group_step(h);
    for (uint64_t j = 1;; ++j) {
      const uint64_t next = (g + step) & pr.group_mask;
      const bool last = j >= pr.probe_groups;
      if (!last) pr.table().prefetch_group_ctrl(next);
      const Group grp = pr.table().group(g);
      if (pr.group_summaries.may_hold(g, tag)) {
        pr.table().prefetch_group_entries(g);
        for (unsigned lane : grp.match_tag(tag)) {
          const uint64_t s = g * kGroupWidth + lane;
          if (is_key(pr.entry(s).key))
            return FunnelSearch::found_at({SlotKind::SpecialPrimary, 0, s});
        }
      }
      if (grp.match_empty().any() && !grp.match_deleted().any()) return FunnelSearch::absent();
      if (last) break;
      g = next;
    }
  }
  if (const auto s = search_fallback(t, h, tag, is_key))
    return FunnelSearch::found_at({SlotKind::SpecialFallback, 0, *s});
  return FunnelSearch::undetermined_yet();
}

template <class Tables, class IsKey>
[[gnu::noinline]] FunnelSearch search_overflow(const Tables& t, uint64_t h, const IsKey& is_key) {
  const auto& ov = t.overflow;
  for (uint64_t i = 0; i < ov.size(); ++i)
    if (ov[i].hash == h && is_key(ov[i].entry.key))
      return FunnelSearch::found_at({SlotKind::Overflow, 0, i});
  return FunnelSearch::absent();
}

// Everything after the levels: the special array, then the overflow area.
template <class Tables, class IsKey>
inline FunnelSearch search_beyond_levels(const Tables& t, uint64_t h, uint8_t tag,
                                         const IsKey& is_key) {
  FunnelSearch r = search_special(t, h, tag, is_key);
  if (r.undetermined() && !t.overflow.empty()) [[unlikely]]
    r = search_overflow(t, h, is_key);
  return r;
}

}  // namespace quenlor
