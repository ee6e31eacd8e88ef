// FunnelHashMap: funnel hashing over grouped slot tables.
//
// Every key has a fixed, small set of places derived from its hash h alone,
// tried in this order (the placement order):
//   1. one group per bucket level, level 0 first (BucketLevel::probe_group);
//   2. up to k groups of the special primary along a double-hashing sequence;
//   3. every slot of two fallback buckets.
// A new key takes the first free slot in that order. Entries never move
// except in a full rebuild, and a vacated slot becomes EMPTY only if its group
// already shows an EMPTY byte (SlotArea::vacate). So every group before a
// key's place had no free slot when it was placed and never shows EMPTY
// afterwards, and a lookup may stop at the first group holding an EMPTY byte
// (in the primary: EMPTY and no DELETED).
//
// Keys whose places are all taken (many keys sharing hash bits, adversarial
// input) go to the overflow area, a vector kept in insertion order. Their
// lookups never meet an EMPTY-based stop, so the overflow area is searched
// only when the normal search ran to its end, and only when non-empty.
//
// Growth: a new key grows the map (capacity doubles, 16 from 0) when
// len >= max_insertions; a key without a place grows it only when at least
// half the usable slots are taken, since otherwise its hash, not the load, is
// the problem. A rebuild builds the complete new geometry first (it may throw
// std::bad_alloc, leaving the map untouched), then moves every entry
// (noexcept) in traversal order, re-placing each by the placement order alone,
// never comparing keys.
//
// Traversal order: levels by index, then the special primary, then the
// fallback, each by slot index; then the overflow area.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/hasher.hpp"
#include "common/layout/lane_mask.hpp"
#include "common/layout/raw_table.hpp"
#include "common/saturating.hpp"
#include "funnel/bucket_level.hpp"
#include "funnel/funnel_geometry.hpp"
#include "funnel/funnel_options.hpp"
#include "funnel/special_array.hpp"

namespace quenlor {

enum class SlotKind : uint8_t { Level, SpecialPrimary, SpecialFallback, Overflow };

// A slot of one area: `slot` is within the named table, or the index in the
// overflow area; `level` is meaningful for Level only.
struct SlotLocation {
  SlotKind kind = SlotKind::Level;
  uint32_t level = 0;
  uint64_t slot = 0;
  friend bool operator==(const SlotLocation&, const SlotLocation&) = default;
};

template <class K, class V>
struct OverflowEntry {
  Entry<K, V> entry;
  uint64_t hash;  // h, kept so searches compare it before the key
};

// Everything a geometry owns. Areas are numbered for traversal: levels
// 0..L-1, then L for the special primary and L+1 for the fallback.
template <class K, class V, class A>
struct FunnelTables {
  using Level = BucketLevel<K, V, A>;

  std::vector<Level> levels;
  SpecialArray<K, V, A> special;
  std::vector<OverflowEntry<K, V>> overflow;
  uint64_t usable_slots = 0;  // slots some key can be placed in

  // The empty geometry for `capacity`. Throws std::bad_alloc (or LayoutOverflow).
  static FunnelTables build(uint64_t capacity, double delta, uint64_t probe_limit, const A& alloc) {
    const FunnelShape shape = funnel_shape(delta);
    const FunnelPlan plan =
        plan_funnel_geometry(capacity, shape.level_count, shape.bucket_width, delta);
    FunnelTables t;
    t.levels.reserve(plan.bucket_counts.size());
    uint64_t usable = 0;
    for (uint64_t i = 0; i < plan.bucket_counts.size(); ++i) {
      t.levels.push_back(
          Level::with_capacity_in(i, plan.bucket_counts[i], shape.bucket_width, alloc));
      usable = sat_add(usable, sat_mul(t.levels.back().bucket_count(), kGroupWidth));
    }
    t.special = SpecialArray<K, V, A>::with_capacity_in(plan.special_capacity, probe_limit, alloc);
    t.usable_slots = sat_add(usable, t.special.usable_slots());
    return t;
  }

  uint64_t area_count() const noexcept { return levels.size() + 2; }

  template <class F>
  decltype(auto) visit_area(uint64_t area, F&& f) {
    if (area < levels.size()) return f(levels[area]);
    if (area == levels.size()) return f(special.primary);
    return f(special.fallback);
  }
  template <class F>
  decltype(auto) visit_area(uint64_t area, F&& f) const {
    if (area < levels.size()) return f(levels[area]);
    if (area == levels.size()) return f(special.primary);
    return f(special.fallback);
  }

  SlotLocation location_of(uint64_t area, uint64_t slot) const noexcept {
    if (area < levels.size()) return {SlotKind::Level, static_cast<uint32_t>(area), slot};
    return {area == levels.size() ? SlotKind::SpecialPrimary : SlotKind::SpecialFallback, 0, slot};
  }

  // The first free place of a key with hash h in placement order, starting at
  // level `first_level` (the levels before it are known to have none).
  std::optional<SlotLocation> choose_slot(uint64_t h, uint64_t first_level = 0) const noexcept {
    for (uint64_t i = first_level; i < levels.size(); ++i) {
      const Level& lv = levels[i];
      if (lv.len >= lv.table.slots()) continue;  // full, or no slots at all
      const uint64_t g = lv.probe_group(h);
      if (const LaneMask free = lv.table.match_free(g))
        return SlotLocation{SlotKind::Level, static_cast<uint32_t>(i),
                            g * kGroupWidth + free.lowest()};
    }
    const auto& pr = special.primary;
    if (pr.len < pr.table.slots()) {
      uint64_t g = pr.first_group(h);
      const uint64_t step = pr.group_step(h);
      for (uint64_t j = 0; j < pr.probe_groups; ++j) {
        if (const LaneMask free = pr.table.match_free(g))
          return SlotLocation{SlotKind::SpecialPrimary, 0, g * kGroupWidth + free.lowest()};
        g = (g + step) & pr.group_mask;
      }
    }
    const auto& fb = special.fallback;
    if (fb.len < fb.table.slots()) {
      if (const auto s = fb.first_free(fb.first_bucket(h)))
        return SlotLocation{SlotKind::SpecialFallback, 0, *s};
      if (const auto s = fb.first_free(fb.second_bucket(h)))
        return SlotLocation{SlotKind::SpecialFallback, 0, *s};
    }
    return std::nullopt;
  }

  // Stores `e` at free place `loc` (never Overflow) under `tag`.
  void place(const SlotLocation& loc, Entry<K, V>&& e, uint8_t tag,
             uint64_t& max_populated_level) noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        levels[loc.level].write(loc.slot, std::move(e), tag);
        max_populated_level = std::max<uint64_t>(max_populated_level, loc.level);
        return;
      case SlotKind::SpecialPrimary:
        special.primary.write(loc.slot, std::move(e), tag);
        return;
      case SlotKind::SpecialFallback:
        special.fallback.write(loc.slot, std::move(e), tag);
        return;
      case SlotKind::Overflow:
        return;
    }
  }
};

namespace funnel_detail {

// Position of a traversal over the areas of a FunnelTables: group by group,
// full lanes lowest first. Areas without entries are skipped whole.
struct Cursor {
  uint64_t area = 0;
  uint64_t next_group = 0;
  uint64_t group_base = 0;
  LaneMask lanes;

  template <class Tables>
  bool next(const Tables& t, uint64_t& out_area, uint64_t& out_slot) noexcept {
    for (;;) {
      if (lanes.any()) {
        out_area = area;
        out_slot = group_base + lanes.pop_lowest();
        return true;
      }
      if (area >= t.area_count()) return false;
      const bool loaded = t.visit_area(area, [&](const auto& a) {
        if (a.len == 0 || next_group >= a.table.groups()) return false;
        lanes = a.table.match_full(next_group);
        group_base = next_group * kGroupWidth;
        ++next_group;
        return true;
      });
      if (!loaded) {
        ++area;
        next_group = 0;
      }
    }
  }
};

}  // namespace funnel_detail

// Read-only traversal in traversal order. Must not outlive or overlap a
// mutation of its map. next() returns nullptr at the end, and ever after.
template <class K, class V, class A>
class FunnelIter {
 public:
  explicit FunnelIter(const FunnelTables<K, V, A>& tables) noexcept : tables_(&tables) {}

  const Entry<K, V>* next() noexcept {
    uint64_t area = 0, slot = 0;
    if (cursor_.next(*tables_, area, slot))
      return tables_->visit_area(area, [slot](const auto& a) { return &a.table.entry(slot); });
    if (overflow_index_ < tables_->overflow.size())
      return &tables_->overflow[overflow_index_++].entry;
    return nullptr;
  }

 private:
  const FunnelTables<K, V, A>* tables_;
  funnel_detail::Cursor cursor_;
  uint64_t overflow_index_ = 0;
};

template <class K, class V, class S = SeededHasher, class A = ZeroedAllocator>
class FunnelHashMap {
 public:
  using Options = FunnelOptions;
  using Level = BucketLevel<K, V, A>;
  using Tables = FunnelTables<K, V, A>;
  using Iter = FunnelIter<K, V, A>;
  template <class P>
  class ExtractIf;

  // Throws std::bad_alloc (or LayoutOverflow) when the tables cannot be allocated.
  static FunnelHashMap with_options(const FunnelOptions& o, A alloc = A()) {
    const double delta = sanitize_funnel_reserve_fraction(o.reserve_fraction);
    FunnelHashMap m(delta, resolve_primary_probe_limit(o.primary_probe_limit, o.capacity), alloc);
    m.tables_ = Tables::build(o.capacity, delta, m.primary_probe_limit_, m.alloc_);
    m.capacity_ = o.capacity;
    m.max_insertions_ = max_insertions_for(o.capacity, delta);
    return m;
  }

  // A moved-from map is empty with capacity 0 and stays usable.
  FunnelHashMap(FunnelHashMap&& o) noexcept
      : tables_(std::exchange(o.tables_, Tables{})),
        len_(std::exchange(o.len_, 0)),
        capacity_(std::exchange(o.capacity_, 0)),
        max_insertions_(std::exchange(o.max_insertions_, 0)),
        reserve_fraction_(o.reserve_fraction_),
        primary_probe_limit_(o.primary_probe_limit_),
        max_populated_level_(std::exchange(o.max_populated_level_, 0)),
        hasher_(o.hasher_),
        alloc_(o.alloc_) {}
  FunnelHashMap& operator=(FunnelHashMap&& o) noexcept {
    if (this != &o) {
      tables_ = std::exchange(o.tables_, Tables{});
      len_ = std::exchange(o.len_, 0);
      capacity_ = std::exchange(o.capacity_, 0);
      max_insertions_ = std::exchange(o.max_insertions_, 0);
      reserve_fraction_ = o.reserve_fraction_;
      primary_probe_limit_ = o.primary_probe_limit_;
      max_populated_level_ = std::exchange(o.max_populated_level_, 0);
      hasher_ = o.hasher_;
      alloc_ = o.alloc_;
    }
    return *this;
  }
  FunnelHashMap(const FunnelHashMap&) = delete;
  FunnelHashMap& operator=(const FunnelHashMap&) = delete;
  ~FunnelHashMap() = default;  // the areas and the overflow vector destroy their entries

  uint64_t len() const noexcept { return len_; }
  uint64_t capacity() const noexcept { return capacity_; }

  V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  const V* get(const K& key) const {
    const uint64_t h = hash_of(key);
    const Lookup r = locate(key, h, tag_of(h));
    return r.probe == Probe::Found ? &entry_at(r.loc).value : nullptr;
  }
  bool contains_key(const K& key) const { return get(key) != nullptr; }

  std::optional<V> insert(K key, V value) {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    // One pass serves the lookup and the slot choice: the first free slot met
    // in the levels probed is the key's place if it turns out to be new.
    std::optional<SlotLocation> free;
    bool absent = false;
    const uint64_t end = level_search_end();
    for (uint64_t i = 0; i < end; ++i) {
      const Level& lv = tables_.levels[i];
      if (lv.len == 0) {
        // Nothing to find here, but every slot of the group is free.
        if (!free && lv.table.slots() != 0)
          free = SlotLocation{SlotKind::Level, static_cast<uint32_t>(i),
                              lv.probe_group(h) * kGroupWidth};
        continue;
      }
      const uint64_t g = lv.probe_group(h);
      lv.table.prefetch_group_entries(g);
      const Group grp = lv.table.group(g);
      for (unsigned lane : grp.match_tag(t)) {
        const uint64_t s = g * kGroupWidth + lane;
        if (lv.table.entry(s).key == key)
          return replace_value(tables_.levels[i].table.entry(s), std::move(value));
      }
      if (!free)
        if (const LaneMask fr = grp.match_free())
          free = SlotLocation{SlotKind::Level, static_cast<uint32_t>(i),
                              g * kGroupWidth + fr.lowest()};
      if (grp.match_empty().any()) {
        absent = true;
        break;
      }
    }
    if (!absent) {
      Lookup r = find_in_special_outline(key, h, t);
      if (r.probe == Probe::Undetermined && !tables_.overflow.empty()) [[unlikely]]
        r = find_in_overflow(key, h);
      if (r.probe == Probe::Found) return replace_value(entry_at(r.loc), std::move(value));
      if (!free) free = tables_.choose_slot(h, end);
    }
    if (free && len_ < max_insertions_) [[likely]] {
      place_new_entry(*free, std::move(key), std::move(value), t);
    } else {
      insert_at_location_after_resize_check(free, h, std::move(key), std::move(value), t);
    }
    return std::nullopt;
  }

  std::optional<V> remove(const K& key) {
    const uint64_t h = hash_of(key);
    const Lookup r = locate(key, h, tag_of(h));
    if (r.probe != Probe::Found) return std::nullopt;
    Entry<K, V> e = take_at(r.loc);
    lower_max_populated_level();
    if (r.loc.kind != SlotKind::Overflow && area_needs_purge(r.loc)) purge();
    return std::optional<V>(std::move(e.value));
  }

  void clear() noexcept {
    for (Level& lv : tables_.levels) lv.clear();
    tables_.special.primary.clear();
    tables_.special.fallback.clear();
    tables_.overflow.clear();
    len_ = 0;
    max_populated_level_ = 0;
  }

  // Makes room for len + additional entries at the default load limit.
  void reserve(uint64_t additional) {
    const uint64_t need = sat_add(len_, additional);
    if (need <= max_insertions_) return;
    uint64_t c = std::max<uint64_t>(capacity_, 16);
    for (;;) {
      if (max_insertions_for(c, reserve_fraction_) >= need) return rebuild(c, 0);
      if (c >= (uint64_t{1} << 63)) throw std::bad_alloc();  // can never be satisfied
      c *= 2;
    }
  }

  // Rebuilds for `new_capacity` (any value, even below len), keeping every entry.
  void resize(uint64_t new_capacity) { rebuild(new_capacity, 0); }

  template <class F>
  void for_each(F&& f) const {
    for (uint64_t a = 0; a < tables_.area_count(); ++a)
      tables_.visit_area(a, [&](const auto& area) {
        if (area.len != 0)
          area.table.for_each_full([&](uint64_t, const Entry<K, V>& e) { f(e.key, e.value); });
      });
    for (const auto& oe : tables_.overflow) f(oe.entry.key, oe.entry.value);
  }

  Iter iter() const noexcept { return Iter(tables_); }

  template <class P>
  ExtractIf<P> extract_if(P pred) {
    return ExtractIf<P>(*this, std::move(pred));
  }

  // Introspection (read-only, cheap).
  uint64_t max_insertions() const noexcept { return max_insertions_; }
  double reserve_fraction() const noexcept { return reserve_fraction_; }
  uint64_t primary_probe_limit() const noexcept { return primary_probe_limit_; }
  uint64_t max_populated_level() const noexcept { return max_populated_level_; }
  uint64_t level_count() const noexcept { return tables_.levels.size(); }
  const std::vector<Level>& levels() const noexcept { return tables_.levels; }
  const SpecialArray<K, V, A>& special() const noexcept { return tables_.special; }
  uint64_t overflow_len() const noexcept { return tables_.overflow.size(); }
  uint64_t usable_slots() const noexcept { return tables_.usable_slots; }
  const S& hasher() const noexcept { return hasher_; }

  // Where `key` is stored.
  std::optional<SlotLocation> find_location(const K& key) const {
    const uint64_t h = hash_of(key);
    const Lookup r = locate(key, h, tag_of(h));
    if (r.probe != Probe::Found) return std::nullopt;
    return r.loc;
  }

  // Where a new key with hash h would be placed now (no growth considered).
  std::optional<SlotLocation> choose_slot_for_new_key(uint64_t h) const noexcept {
    return tables_.choose_slot(h);
  }

 private:
  enum class Probe : uint8_t { Found, Absent, Undetermined };
  struct Lookup {
    Probe probe;
    SlotLocation loc;
  };

  FunnelHashMap(double delta, uint64_t probe_limit, const A& alloc)
      : reserve_fraction_(delta),
        primary_probe_limit_(probe_limit),
        hasher_(S::make()),
        alloc_(alloc) {}

  uint64_t hash_of(const K& key) const noexcept { return hasher_.hash(hash_word(key)); }

  uint64_t level_search_end() const noexcept {
    return std::min<uint64_t>(max_populated_level_ + 1, tables_.levels.size());
  }

  // --- Lookup -------------------------------------------------------------

  // Probes level i's group: found, absent (the group shows EMPTY), or neither.
  static constexpr uint64_t kLevelsAhead = 4;

  void prefetch_level_group(uint64_t i, uint64_t h) const noexcept {
    const Level& lv = tables_.levels[i];
    if (lv.len != 0) lv.table.prefetch_group_ctrl(lv.probe_group(h));
  }

  Lookup probe_level(uint64_t i, const K& key, uint64_t h, uint8_t t) const {
    const Level& lv = tables_.levels[i];
    const uint64_t g = lv.probe_group(h);
    lv.table.prefetch_group_entries(g);
    const Group grp = lv.table.group(g);
    for (unsigned lane : grp.match_tag(t)) {
      const uint64_t s = g * kGroupWidth + lane;
      if (lv.table.entry(s).key == key)
        return {Probe::Found, {SlotKind::Level, static_cast<uint32_t>(i), s}};
    }
    return {grp.match_empty().any() ? Probe::Absent : Probe::Undetermined, {}};
  }

  Lookup find_in_higher_levels(const K& key, uint64_t h, uint8_t t) const {
    const uint64_t end = level_search_end();
    // Each level's group depends on the hash alone: start the next levels'
    // control loads now so their cache misses overlap.
    for (uint64_t i = 1; i < std::min<uint64_t>(end, 1 + kLevelsAhead); ++i)
      prefetch_level_group(i, h);
    for (uint64_t i = 1; i < end; ++i) {
      if (i + kLevelsAhead < end) prefetch_level_group(i + kLevelsAhead, h);
      if (tables_.levels[i].len == 0) continue;
      const Lookup r = probe_level(i, key, h, t);
      if (r.probe != Probe::Undetermined) return r;
    }
    return {Probe::Undetermined, {}};
  }

  // The special primary, then the fallback. Absent only when a primary group
  // shows EMPTY and no DELETED; undetermined when both were searched in vain.
  Lookup find_in_special_outline(const K& key, uint64_t h, uint8_t t) const {
    const auto& pr = tables_.special.primary;
    if (pr.len != 0) {
      uint64_t g = pr.first_group(h);
      const uint64_t step = pr.group_step(h);
      for (uint64_t j = 1;; ++j) {
        const uint64_t next = (g + step) & pr.group_mask;
        const bool last = j >= pr.probe_groups;
        if (!last) pr.table.prefetch_group_ctrl(next);
        const Group grp = pr.table.group(g);
        if (pr.group_summaries.may_hold(g, t)) {
          pr.table.prefetch_group_entries(g);
          for (unsigned lane : grp.match_tag(t)) {
            const uint64_t s = g * kGroupWidth + lane;
            if (pr.table.entry(s).key == key)
              return {Probe::Found, {SlotKind::SpecialPrimary, 0, s}};
          }
        }
        if (grp.match_empty().any() && !grp.match_deleted().any()) return {Probe::Absent, {}};
        if (last) break;
        g = next;
      }
    }
    if (const auto s = find_in_special_fallback(key, h, t))
      return {Probe::Found, {SlotKind::SpecialFallback, 0, *s}};
    return {Probe::Undetermined, {}};
  }

  // Both fallback buckets in full (a bucket met twice is scanned once).
  std::optional<uint64_t> find_in_special_fallback(const K& key, uint64_t h, uint8_t t) const {
    const auto& fb = tables_.special.fallback;
    if (fb.len == 0) return std::nullopt;
    const auto tagged = [t](const Group& g) { return g.match_tag(t); };
    const auto equal = [&](uint64_t s) { return fb.table.entry(s).key == key; };
    const uint64_t b1 = fb.first_bucket(h);
    if (const auto s = fb.scan_bucket(b1, tagged, equal)) return s;
    const uint64_t b2 = fb.second_bucket(h);
    if (b2 == b1) return std::nullopt;
    return fb.scan_bucket(b2, tagged, equal);
  }

  [[gnu::noinline]] Lookup find_in_overflow(const K& key, uint64_t h) const {
    const auto& ov = tables_.overflow;
    for (uint64_t i = 0; i < ov.size(); ++i)
      if (ov[i].hash == h && ov[i].entry.key == key)
        return {Probe::Found, {SlotKind::Overflow, 0, i}};
    return {Probe::Absent, {}};
  }

  Lookup locate(const K& key, uint64_t h, uint8_t t) const {
    if (!tables_.levels.empty() && tables_.levels[0].len != 0) {
      const Lookup r = probe_level(0, key, h, t);
      if (r.probe != Probe::Undetermined) return r;
    }
    Lookup r = find_in_higher_levels(key, h, t);
    if (r.probe != Probe::Undetermined) return r;
    r = find_in_special_outline(key, h, t);
    if (r.probe == Probe::Undetermined && !tables_.overflow.empty()) [[unlikely]]
      r = find_in_overflow(key, h);
    return r;
  }

  Entry<K, V>& entry_at(const SlotLocation& loc) noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        return tables_.levels[loc.level].table.entry(loc.slot);
      case SlotKind::SpecialPrimary:
        return tables_.special.primary.table.entry(loc.slot);
      case SlotKind::SpecialFallback:
        return tables_.special.fallback.table.entry(loc.slot);
      case SlotKind::Overflow:
        break;
    }
    return tables_.overflow[loc.slot].entry;
  }
  const Entry<K, V>& entry_at(const SlotLocation& loc) const noexcept {
    return const_cast<FunnelHashMap*>(this)->entry_at(loc);
  }

  // --- Insertion and growth ----------------------------------------------

  // V need only be move-constructible, so the value is replaced in place.
  static std::optional<V> replace_value(Entry<K, V>& e, V&& value) noexcept {
    std::optional<V> old(std::in_place, std::move(e.value));
    std::destroy_at(&e.value);
    std::construct_at(&e.value, std::move(value));
    return old;
  }

  void place_new_entry(const SlotLocation& loc, K&& key, V&& value, uint8_t t) noexcept {
    tables_.place(loc, Entry<K, V>{std::move(key), std::move(value)}, t, max_populated_level_);
    ++len_;
  }

  // Appending may throw std::bad_alloc, leaving the map as it was.
  void place_in_overflow(uint64_t h, K&& key, V&& value) {
    tables_.overflow.push_back(
        OverflowEntry<K, V>{Entry<K, V>{std::move(key), std::move(value)}, h});
    ++len_;
  }

  bool growth_may_find_slot() const noexcept { return sat_mul(len_, 2) >= tables_.usable_slots; }

  uint64_t grown_capacity() const noexcept { return capacity_ == 0 ? 16 : sat_mul(capacity_, 2); }

  [[gnu::noinline]] void insert_at_location_after_resize_check(std::optional<SlotLocation> loc,
                                                               uint64_t h, K&& key, V&& value,
                                                               uint8_t t) {
    if (len_ >= max_insertions_ || (!loc && growth_may_find_slot())) {
      rebuild(grown_capacity(), 1);  // one spare overflow place: the append below cannot fail
      loc = tables_.choose_slot(h);
    }
    if (loc) {
      place_new_entry(*loc, std::move(key), std::move(value), t);
    } else {
      place_in_overflow(h, std::move(key), std::move(value));
    }
  }

  // Builds the geometry for `new_capacity` and moves every entry into it.
  // Throws only before anything moved; the map is then unchanged.
  [[gnu::noinline]] void rebuild(uint64_t new_capacity, uint64_t spare_overflow) {
    Tables fresh = Tables::build(new_capacity, reserve_fraction_, primary_probe_limit_, alloc_);
    // Every entry could end up without a place; reserving now keeps the
    // moving phase free of allocation.
    fresh.overflow.reserve(sat_add(len_, spare_overflow));

    uint64_t populated = 0;
    const auto rehome = [&](Entry<K, V>&& e, uint64_t h) noexcept {
      if (const auto loc = fresh.choose_slot(h)) {
        fresh.place(*loc, std::move(e), tag_of(h), populated);
      } else {
        fresh.overflow.push_back(OverflowEntry<K, V>{std::move(e), h});
      }
    };
    for (uint64_t a = 0; a < tables_.area_count(); ++a)
      tables_.visit_area(a, [&](auto& area) noexcept {
        if (area.len != 0)
          for (uint64_t g = 0; g < area.table.groups(); ++g)
            for (unsigned lane : area.table.match_full(g)) {
              Entry<K, V> e = area.table.take(g * kGroupWidth + lane);
              const uint64_t h = hash_of(e.key);
              rehome(std::move(e), h);
            }
        area.forget_taken();
      });
    for (auto& oe : tables_.overflow) rehome(std::move(oe.entry), oe.hash);
    tables_.overflow.clear();
    fit_overflow(fresh.overflow, spare_overflow);

    tables_ = std::move(fresh);
    capacity_ = new_capacity;
    max_insertions_ = max_insertions_for(new_capacity, reserve_fraction_);
    max_populated_level_ = populated;
  }

  // Drops the rebuild's worst-case reservation, keeping room for `spare` more.
  static void fit_overflow(std::vector<OverflowEntry<K, V>>& v, uint64_t spare) noexcept {
    const uint64_t want = v.size() + spare;
    if (want == 0) {
      std::vector<OverflowEntry<K, V>>().swap(v);
      return;
    }
    if (v.capacity() <= 2 * want) return;
    try {
      std::vector<OverflowEntry<K, V>> tight;
      tight.reserve(want);
      for (auto& e : v) tight.push_back(std::move(e));
      v.swap(tight);
    } catch (const std::bad_alloc&) {
      // Keep the larger buffer.
    }
  }

  // --- Removal -----------------------------------------------------------

  Entry<K, V> take_at(const SlotLocation& loc) noexcept {
    --len_;
    switch (loc.kind) {
      case SlotKind::Level:
        return tables_.levels[loc.level].vacate(loc.slot);
      case SlotKind::SpecialPrimary:
        return tables_.special.primary.vacate(loc.slot);
      case SlotKind::SpecialFallback:
        return tables_.special.fallback.vacate(loc.slot);
      case SlotKind::Overflow:
        break;
    }
    // Close the gap by move construction: keys and values need not be assignable.
    auto& ov = tables_.overflow;
    Entry<K, V> e(std::move(ov[loc.slot].entry));
    for (uint64_t j = loc.slot; j + 1 < ov.size(); ++j) {
      std::destroy_at(&ov[j]);
      std::construct_at(&ov[j], std::move(ov[j + 1]));
    }
    ov.pop_back();
    return e;
  }

  void lower_max_populated_level() noexcept {
    while (max_populated_level_ > 0 && tables_.levels[max_populated_level_].len == 0)
      --max_populated_level_;
  }

  bool area_needs_purge(const SlotLocation& loc) const noexcept {
    switch (loc.kind) {
      case SlotKind::Level:
        return tables_.levels[loc.level].needs_purge();
      case SlotKind::SpecialPrimary:
        return tables_.special.primary.needs_purge();
      case SlotKind::SpecialFallback:
        return tables_.special.fallback.needs_purge();
      case SlotKind::Overflow:
        break;
    }
    return false;
  }

  // Rebuilds at the same capacity to drop tombstones; skipped when memory is short.
  [[gnu::noinline]] void purge() noexcept {
    try {
      rebuild(capacity_, 0);
    } catch (const std::bad_alloc&) {
      // The map stays valid with its tombstones.
    }
  }

  void purge_if_needed() noexcept {
    for (uint64_t a = 0; a < tables_.area_count(); ++a)
      if (tables_.visit_area(a, [](const auto& area) { return area.needs_purge(); }))
        return purge();
  }

  Tables tables_;
  uint64_t len_ = 0;
  uint64_t capacity_ = 0;
  uint64_t max_insertions_ = 0;
  double reserve_fraction_ = kFunnelDefaultReserveFraction;
  uint64_t primary_probe_limit_ = 1;
  uint64_t max_populated_level_ = 0;
  S hasher_;
  [[no_unique_address]] A alloc_;
};

// Removing traversal: visits entries in traversal order and takes out those
// `pred(key, value)` accepts. Never rebuilds while running; its destruction
// purges the map if some table has more than half its slots DELETED.
template <class K, class V, class S, class A>
template <class P>
class FunnelHashMap<K, V, S, A>::ExtractIf {
 public:
  ExtractIf(ExtractIf&& o) noexcept
      : map_(std::exchange(o.map_, nullptr)),
        pred_(std::move(o.pred_)),
        cursor_(o.cursor_),
        overflow_index_(o.overflow_index_) {}
  ExtractIf(const ExtractIf&) = delete;
  ExtractIf& operator=(const ExtractIf&) = delete;
  ExtractIf& operator=(ExtractIf&&) = delete;
  ~ExtractIf() {
    if (map_ != nullptr) map_->purge_if_needed();
  }

  std::optional<Entry<K, V>> next() {
    if (map_ == nullptr) return std::nullopt;
    Tables& t = map_->tables_;
    uint64_t area = 0, slot = 0;
    while (cursor_.next(t, area, slot)) {
      const bool accept = t.visit_area(area, [&](const auto& a) {
        const Entry<K, V>& e = a.table.entry(slot);
        return static_cast<bool>(pred_(std::as_const(e.key), std::as_const(e.value)));
      });
      if (accept) return std::optional<Entry<K, V>>(map_->take_at(t.location_of(area, slot)));
    }
    while (overflow_index_ < t.overflow.size()) {
      const Entry<K, V>& e = t.overflow[overflow_index_].entry;
      if (pred_(std::as_const(e.key), std::as_const(e.value)))
        return std::optional<Entry<K, V>>(map_->take_at({SlotKind::Overflow, 0, overflow_index_}));
      ++overflow_index_;
    }
    return std::nullopt;
  }

 private:
  friend class FunnelHashMap;
  ExtractIf(FunnelHashMap& map, P pred) : map_(&map), pred_(std::move(pred)) {}

  FunnelHashMap* map_;
  P pred_;
  funnel_detail::Cursor cursor_;
  uint64_t overflow_index_ = 0;
};

}  // namespace quenlor
