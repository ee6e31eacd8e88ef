// FunnelTables: everything one funnel geometry owns (the bucket levels, the
// special array and the overflow area) and the rules that depend on those
// tables alone: where a new key goes (choose_slot, in placement order), how
// an entry is stored and taken out, and the area numbering used by traversal.
//
// Areas are numbered stored levels 0..L-1, then L for the special primary and
// L+1 for the fallback. Overflow entries, kept in insertion order, sit outside every
// area and have no slot.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "common/dcheck.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/fill_counts.hpp"
#include "common/layout/group.hpp"
#include "common/layout/lane_mask.hpp"
#include "common/reset_on_move.hpp"
#include "common/saturating.hpp"
#include "common/small_plan_cache.hpp"
#include "funnel/bucket_level.hpp"
#include "funnel/funnel_geometry.hpp"
#include "funnel/funnel_options.hpp"
#include "funnel/special_array.hpp"

namespace quenlor {

enum class SlotKind : uint8_t { Level, SpecialPrimary, SpecialFallback, Overflow };

// A slot of one area: `slot` is within the named table, or the index in the
// overflow area; `level` is meaningful for Level only (a stored level, see
// FunnelTables::levels).
struct SlotLocation {
  SlotKind kind = SlotKind::Level;
  uint32_t level = 0;
  uint64_t slot = 0;
  friend bool operator==(const SlotLocation&, const SlotLocation&) = default;
};

// The funnel plan of a capacity (small ones cached per thread).
struct FunnelPlanCache {
  struct Item {
    uint64_t capacity = 0;
    double delta = 0.0;
    double scale = 0.0;  // funnel plans have none
    bool used = false;
    FunnelShape shape{};
    FunnelPlan plan{};
  };

  // Throws std::bad_alloc.
  static const Item& get(uint64_t capacity, double delta, std::optional<Item>& scratch) {
    return SmallPlanCache<Item>::get(capacity, delta, 0.0, scratch,
                                     [&] { return compute(capacity, delta); });
  }

  static Item compute(uint64_t capacity, double delta) {
    Item it;
    it.capacity = capacity;
    it.delta = delta;
    it.used = true;
    it.shape = funnel_shape(delta);
    it.plan = plan_funnel_geometry(capacity, it.shape.level_count, it.shape.bucket_width, delta);
    return it;
  }
};

template <class K, class V>
struct OverflowEntry {
  Entry<K, V> entry;
  uint64_t hash;  // h, kept so searches compare it before the key
};

template <class K, class V, class A>
struct FunnelTables {
  using Level = BucketLevel<K, V, A>;
  using Area = FunnelArea<K, V, A>;

  // The levels from the first to the last one with buckets: the levels
  // without buckets before and after them (all of them at capacity 0; at
  // capacity 16 the one bucket sits on the last level) hold no slot, so no
  // key is ever placed or searched there and they are not stored.
  // levels[j] is level first_level + j; level_count says how many levels the
  // geometry has. Searches, SlotLocation::level and the area numbers count
  // stored levels; only salts and max_populated_level use level indices.
  RecordVector<Level, A> levels;
  SpecialStore<K, V, A> special;  // no block while it has no slots
  std::vector<OverflowEntry<K, V>> overflow;
  ResetOnMove<uint64_t> usable_slots;  // slots some key can be placed in
  // Both at most 90 (funnel_shape): 32 bits keep the map object small.
  ResetOnMove<uint32_t> level_count;  // levels of the geometry, stored or not
  ResetOnMove<uint32_t> first_level;  // index of levels[0] (0 when none is stored)

  // Tests only: store the leading levels without buckets too, the plain
  // layout the stored one must behave exactly like.
  static inline bool store_leading_levels = false;

  FunnelTables() noexcept = default;

  // The empty geometry for `capacity`, built in place in the caller's object.
  // `whole`: every table gets its whole block, as tables that entries are
  // moved into without a chance to fail need; otherwise a level of one group
  // starts short (make_room widens it). Throws std::bad_alloc (or
  // LayoutOverflow).
  static FunnelTables build(uint64_t capacity, double delta, uint64_t probe_limit, const A& alloc,
                            bool whole) {
    // Every new map starts at 0: no slots, nothing to plan but the level count.
    if (capacity == 0) return FunnelTables(funnel_shape(delta).level_count, probe_limit, alloc);
    std::optional<FunnelPlanCache::Item> scratch;
    const FunnelPlanCache::Item& planned = FunnelPlanCache::get(capacity, delta, scratch);
    return FunnelTables(planned.plan, planned.shape.bucket_width, probe_limit, alloc, whole);
  }

  // Room for a placement at free place `loc`: only a level's block can be
  // short. Throws std::bad_alloc with the tables unchanged.
  void make_room(const SlotLocation& loc) {
    if (loc.kind == SlotKind::Level) levels[loc.level].make_room(loc.slot);
  }
  // Every level's whole block, before placements that must not fail.
  void widen_fully() {
    for (Level& lv : levels) lv.widen_fully();
  }

  // Stored levels a search of levels up to `max_populated_level` visits.
  uint64_t stored_levels_through(uint64_t max_populated_level) const noexcept {
    const uint64_t past = max_populated_level + 1;
    const uint64_t first = first_level;
    return past <= first ? 0 : std::min<uint64_t>(past - first, levels.size());
  }

  uint64_t area_count() const noexcept { return levels.size() + 2; }

  const Area& area(uint64_t a) const noexcept {
    QUENLOR_DCHECK(a < area_count());
    if (a < levels.size()) return levels[a];
    return a == levels.size() ? static_cast<const Area&>(special->primary) : special->fallback;
  }
  Area& area(uint64_t a) noexcept { return const_cast<Area&>(std::as_const(*this).area(a)); }

  SlotLocation location_of(uint64_t a, uint64_t slot) const noexcept {
    if (a < levels.size()) return {SlotKind::Level, static_cast<uint32_t>(a), slot};
    return {a == levels.size() ? SlotKind::SpecialPrimary : SlotKind::SpecialFallback, 0, slot};
  }

  Entry<K, V>& entry_at(const SlotLocation& loc) noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        return levels[loc.level].entry(loc.slot);
      case SlotKind::SpecialPrimary:
        return special->primary.entry(loc.slot);
      case SlotKind::SpecialFallback:
        return special->fallback.entry(loc.slot);
      case SlotKind::Overflow:
        break;
    }
    return overflow[loc.slot].entry;
  }

  // The first free place of a key with hash h in placement order, starting at
  // stored level `from` (the levels before it are known to have none). Out of
  // line: insertion finds its slot during the lookup almost always.
  [[gnu::noinline]] std::optional<SlotLocation> choose_slot(uint64_t h,
                                                            uint64_t from = 0) const noexcept {
    for (uint64_t i = from; i < levels.size(); ++i) {
      const Level& lv = levels[i];
      if (!lv.has_free_slot()) continue;  // full, or no slots at all
      const uint64_t g = lv.probe_group(h);
      if (const LaneMask free = lv.table().match_free(g))
        return SlotLocation{SlotKind::Level, static_cast<uint32_t>(i),
                            g * kGroupWidth + free.lowest()};
    }
    const auto& pr = special->primary;
    if (pr.has_free_slot()) {
      uint64_t g = pr.first_group(h);
      const uint64_t step = pr.group_step(h);
      for (uint64_t j = 0; j < pr.probe_groups; ++j) {
        if (const LaneMask free = pr.table().match_free(g))
          return SlotLocation{SlotKind::SpecialPrimary, 0, g * kGroupWidth + free.lowest()};
        g = (g + step) & pr.group_mask;
      }
    }
    const auto& fb = special->fallback;
    if (fb.has_free_slot()) {
      if (const auto s = fb.first_free(fb.first_bucket(h)))
        return SlotLocation{SlotKind::SpecialFallback, 0, *s};
      if (const auto s = fb.first_free(fb.second_bucket(h)))
        return SlotLocation{SlotKind::SpecialFallback, 0, *s};
    }
    return std::nullopt;
  }

  // choose_slot and place in one step, for a key no stored key equals, of
  // the entry make() returns, built in its slot: the levels inline, since
  // nearly every key stops there, the rest through choose_slot. make() is
  // called only when the key has a place, and must not throw; false when
  // the key has none. Throws std::bad_alloc, with nothing placed, only when
  // a short block must widen (never in tables with whole blocks).
  template <class Make>
  [[gnu::always_inline]] bool place_new_made(uint64_t h, uint8_t tag, Make&& make,
                                             uint64_t& max_populated_level) {
    return place_new_made(StoredLevels{*this}, h, tag, make, max_populated_level);
  }

  // The stored levels' array, read once by a caller placing many entries
  // while the tables keep their shape (rebuilds, purges, fills of new
  // keys): the entries written in between could alias the vector's bounds
  // for the compiler.
  struct StoredLevels {
    Level* first;
    uint64_t count;
    explicit StoredLevels(FunnelTables& t) noexcept
        : first(t.levels.data()), count(t.levels.size()) {}
  };

  // place_new_made of `e` with the stored levels given, into tables whose
  // levels have their whole blocks (rebuilds, purges): nothing can fail.
  // `e` is untouched when the key has no place.
  [[gnu::always_inline]] bool place_new(const StoredLevels& stored, uint64_t h, Entry<K, V>&& e,
                                        uint8_t tag, uint64_t& max_populated_level) noexcept {
    return place_new_in<false>(
        stored, h, tag, [&e]() -> Entry<K, V>&& { return std::move(e); }, max_populated_level);
  }

  // A fill of these tables from empty: a rebuild's, or a purge's, which
  // empties each group of the levels just before any entry can land there.
  // Each key lands where place_new would put it, the levels' free lanes read
  // from FillCounts. finish() then sets what place_new keeps up as it goes:
  // each level's hint, and the highest level holding an entry, which it
  // returns.
  class Fill {
   public:
    // Without memory for the counts it places by the control bytes.
    Fill(FunnelTables& t, const A& alloc) noexcept
        : t_(t),
          stored_(t),
          counts_(std::span<const Level>(stored_.first, stored_.count), alloc),
          plainly_(fill_plainly || !counts_.available()) {}

    // place_new(h, e, tag): false, `e` untouched, when the key has no place.
    [[gnu::always_inline]] bool place(uint64_t h, Entry<K, V>&& e, uint8_t tag) noexcept {
      if (plainly_) [[unlikely]]
        return t_.place_new(stored_, h, std::move(e), tag, populated_);
      for (uint64_t i = 0; i < stored_.count; ++i) {
        Level& lv = stored_.first[i];
        if (!lv.has_free_slot()) continue;  // full, or no slots at all
        const uint64_t g = lv.probe_group(h);
        uint8_t& used = counts_.of(i, g);
        if (used < kGroupWidth) {
          QUENLOR_DCHECK(lv.table().match_free(g).lowest() == used);
          lv.place_during_fill(g * kGroupWidth + used, std::move(e), tag);
          ++used;
          return true;
        }
      }
      const std::optional<SlotLocation> loc = t_.choose_slot(h, stored_.count);
      if (!loc) return false;
      uint64_t unused = 0;  // the special array raises no level
      t_.place(*loc, std::move(e), tag, unused);
      return true;
    }

    // Stored level i's entries, each back to the first free slot of its own
    // group, the only place its key has there: a purge's first level, which
    // goes first, so that nothing else has landed in it yet.
    void compact_first(uint64_t i) noexcept {
      Level& lv = stored_.first[i];
      if (plainly_) [[unlikely]] {
        lv.replace_group_by_group([&](Entry<K, V>&& e, uint64_t g, uint8_t tag) {
          lv.place(g * kGroupWidth + lv.table().match_free(g).lowest(), std::move(e), tag);
          populated_ = std::max<uint64_t>(populated_, t_.first_level + i);
        });
        return;
      }
      uint8_t* const counts = counts_.of(i);
      lv.compact_groups([counts](uint64_t g, unsigned n) { counts[g] = static_cast<uint8_t>(n); });
    }

    uint64_t finish() noexcept {
      if (plainly_) [[unlikely]]
        return populated_;
      uint64_t populated = 0;
      for (uint64_t i = 0; i < stored_.count; ++i) {
        Level& lv = stored_.first[i];
        lv.restore_hint();
        if (lv.len() != 0) populated = t_.first_level + i;
      }
      return populated;
    }

   private:
    FunnelTables& t_;
    const StoredLevels stored_;
    FillCounts<A> counts_;
    const bool plainly_;
    uint64_t populated_ = 0;  // when placing plainly
  };
  // Tests only: fills place through place_new, reading control bytes, the
  // plain procedure the counted one must match exactly (and the one taken
  // when memory for the counts is short).
  static inline bool fill_plainly = false;

  template <class Make>
  [[gnu::always_inline]] bool place_new_made(const StoredLevels& stored, uint64_t h, uint8_t tag,
                                             Make&& make, uint64_t& max_populated_level) {
    return place_new_in<true>(stored, h, tag, make, max_populated_level);
  }

 private:
  // kWiden: a level's block may be short. The special array's never is.
  template <bool kWiden, class Make>
  [[gnu::always_inline]] bool place_new_in(const StoredLevels& stored, uint64_t h, uint8_t tag,
                                           Make&& make,
                                           uint64_t& max_populated_level) noexcept(!kWiden) {
    QUENLOR_DCHECK(stored.first == levels.data() && stored.count == levels.size());
    for (uint64_t i = 0; i < stored.count; ++i) {
      Level& lv = stored.first[i];
      if (!lv.has_free_slot()) continue;
      const uint64_t g = lv.probe_group(h);
      if (const LaneMask free = lv.table().match_free(g)) {
        const uint64_t slot = g * kGroupWidth + free.lowest();
        if constexpr (kWiden) lv.make_room(slot);
        lv.place_made(slot, tag, make);
        max_populated_level = std::max<uint64_t>(max_populated_level, first_level + i);
        return true;
      }
    }
    const std::optional<SlotLocation> loc = choose_slot(h, stored.count);
    if (!loc) return false;
    place(*loc, make(), tag, max_populated_level);
    return true;
  }

 public:
  // Stores `e` at free place `loc` (never Overflow) under `tag`.
  void place(const SlotLocation& loc, Entry<K, V>&& e, uint8_t tag,
             uint64_t& max_populated_level) noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        QUENLOR_DCHECK(loc.level < levels.size());
        levels[loc.level].place(loc.slot, std::move(e), tag);
        max_populated_level = std::max<uint64_t>(max_populated_level, first_level + loc.level);
        return;
      case SlotKind::SpecialPrimary:
        special->primary.place(loc.slot, std::move(e), tag);
        return;
      case SlotKind::SpecialFallback:
        special->fallback.place(loc.slot, std::move(e), tag);
        return;
      case SlotKind::Overflow:
        QUENLOR_DCHECK(!"overflow entries have no slot");
        return;
    }
  }

  // Moves the entry at `loc` out: a table slot by the removal rule, an
  // overflow entry by closing its gap.
  Entry<K, V> take(const SlotLocation& loc) noexcept {
    if (loc.kind != SlotKind::Overflow) return area(area_of(loc)).vacate(loc.slot);
    // Move construction only: keys and values need not be assignable.
    Entry<K, V> e(std::move(overflow[loc.slot].entry));
    for (uint64_t j = loc.slot; j + 1 < overflow.size(); ++j) {
      std::destroy_at(&overflow[j]);
      std::construct_at(&overflow[j], std::move(overflow[j + 1]));
    }
    overflow.pop_back();
    return e;
  }

  bool needs_purge(const SlotLocation& loc) const noexcept {
    return loc.kind != SlotKind::Overflow && area(area_of(loc)).needs_purge();
  }
  bool any_area_needs_purge() const noexcept {
    for (uint64_t a = 0; a < area_count(); ++a)
      if (area(a).needs_purge()) return true;
    return false;
  }

 private:
  // No slots at all.
  FunnelTables(uint64_t levels_in_geometry, uint64_t probe_limit, const A& alloc)
      : special(0, probe_limit, alloc) {
    level_count = static_cast<uint32_t>(levels_in_geometry);
  }

  FunnelTables(const FunnelPlan& plan, uint64_t bucket_width, uint64_t probe_limit, const A& alloc,
               bool whole)
      : special(plan.special_capacity, probe_limit, alloc) {
    const uint64_t end = plan.end_with_buckets;
    const uint64_t first = store_leading_levels ? 0 : plan.first_with_buckets;
    levels.reserve(end - first);
    uint64_t usable = 0;
    for (uint64_t i = first; i < end; ++i) {
      if (plan.bucket_counts[i] == 0) {
        levels.emplace_back(i, bucket_width);
        continue;
      }
      levels.emplace_back(i, plan.bucket_counts[i], bucket_width, alloc, whole);
      usable = sat_add(usable, sat_mul(levels.back().bucket_count(), kGroupWidth));
    }
    usable_slots = sat_add(usable, special->usable_slots());
    level_count = static_cast<uint32_t>(plan.bucket_counts.size());
    first_level = static_cast<uint32_t>(first);
  }

  uint64_t area_of(const SlotLocation& loc) const noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        return loc.level;
      case SlotKind::SpecialPrimary:
        return levels.size();
      default:
        return levels.size() + 1;
    }
  }
};

}  // namespace quenlor
