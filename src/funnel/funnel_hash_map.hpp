// FunnelHashMap: funnel hashing over grouped slot tables.
//
// Every key has a fixed, small set of places derived from its hash h alone,
// tried in this order (the placement order):
//   1. one group per bucket level, level 0 first (BucketLevel::probe_group);
//   2. up to k groups of the special primary along a double-hashing sequence;
//   3. every slot of two fallback buckets.
// A new key takes the first free slot in that order. Entries never move
// except in a full rebuild, and a vacated slot becomes EMPTY only if its group
// already shows an EMPTY byte (EmptyIfGroupShowsEmpty). So every group before a
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
// Traversal order: see funnel/funnel_traversal.hpp.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/extract_if.hpp"
#include "common/growth.hpp"
#include "common/inline_body.hpp"
#include "common/key_match.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/hasher.hpp"
#include "common/reset_on_move.hpp"
#include "common/saturating.hpp"
#include "common/table_iter.hpp"
#include "funnel/funnel_lookup.hpp"
#include "funnel/funnel_options.hpp"
#include "funnel/funnel_tables.hpp"
#include "funnel/funnel_traversal.hpp"

namespace quenlor {

template <class K, class V, class S = SeededHasher, class A = ZeroedAllocator>
class FunnelHashMap {
 public:
  using Options = FunnelOptions;
  using EntryType = Entry<K, V>;
  using Level = BucketLevel<K, V, A>;
  using Tables = FunnelTables<K, V, A>;
  using Iter = TableIter<FunnelTraversal<Tables>>;
  template <class P>
  using ExtractIf = quenlor::ExtractIf<FunnelHashMap, P>;

  // Throws std::bad_alloc (or LayoutOverflow) when the tables cannot be allocated.
  static FunnelHashMap with_options(const FunnelOptions& o, A alloc = A()) {
    const double delta = sanitize_funnel_reserve_fraction(o.reserve_fraction);
    return FunnelHashMap(o.capacity, delta,
                         resolve_primary_probe_limit(o.primary_probe_limit, o.capacity), alloc);
  }

  // A moved-from map is empty with capacity 0 and stays usable.
  FunnelHashMap(FunnelHashMap&&) noexcept = default;
  FunnelHashMap& operator=(FunnelHashMap&&) noexcept = default;
  FunnelHashMap(const FunnelHashMap&) = delete;
  FunnelHashMap& operator=(const FunnelHashMap&) = delete;
  ~FunnelHashMap() = default;  // the areas and the overflow vector destroy their entries

  uint64_t len() const noexcept { return len_; }
  uint64_t capacity() const noexcept { return capacity_; }

  V* get(const K& key) { return const_cast<V*>(std::as_const(*this).get(key)); }
  [[gnu::always_inline]] const V* get(const K& key) const {
    const EntryType* e = find_matching(hash_of(key), equal_to(key));
    return e != nullptr ? &e->value : nullptr;
  }
  [[gnu::always_inline]] bool contains_key(const K& key) const { return get(key) != nullptr; }

  // The entry a lookup for slot hash h (slot_hash) finds when is_key(stored)
  // decides which stored key is the one sought; null if none. Lets a caller
  // compare keys its own way (bulk equality). kLookAhead false: the caller
  // has loaded the search path (prefetch_candidate_entries).
  template <bool kLookAhead = true, class IsKey>
  [[gnu::always_inline]] const EntryType* find_matching(uint64_t h, IsKey&& is_key) const {
    const uint8_t t = tag_of(h);
    bool absent = false;
    if (const EntryType* e =
            find_in_levels<false, kLookAhead>(tables_, level_search_end(), h, t, is_key, absent))
      return e;
    if (absent) return nullptr;
    const FunnelSearch r = search_beyond_levels(tables_, h, t, is_key);
    return r.found() ? &entry_at(r.loc) : nullptr;
  }

  [[gnu::always_inline]] std::optional<V> insert(K key, V value) {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    // One pass serves the lookup and the slot choice: the first free slot met
    // in the levels searched is the key's place if it turns out to be new.
    FirstFreeSlot free;
    const uint64_t end = level_search_end();
    bool absent = false;
    if (EntryType* e = find_in_levels<true>(tables_, end, h, t, equal_to(key), absent, free))
      return replace_value(*e, std::move(value));
    std::optional<SlotLocation> beyond;
    if (!absent) {
      const FunnelSearch r = search_beyond_levels(tables_, h, t, equal_to(key));
      if (r.found()) return replace_value(tables_.entry_at(r.loc), std::move(value));
      if (!free) beyond = tables_.choose_slot(h, end);
    }
    // (A slot beyond a short block takes the slow path, which widens it.)
    if (free && len_ < max_insertions_ && tables_.levels[free.level].table().has_lane(free.slot))
        [[likely]] {
      tables_.levels[free.level].place(free.slot, EntryType{std::move(key), std::move(value)}, t);
      note_populated(tables_.first_level + free.level);
      ++len_;
    } else {
      if (free)
        beyond = SlotLocation{SlotKind::Level, static_cast<uint32_t>(free.level), free.slot};
      insert_at_location_after_resize_check(beyond, h, std::move(key), std::move(value), t);
    }
    return std::nullopt;
  }

  // insert() of a key the caller knows no stored key equals (for instance
  // one copied from a map whose keys' equality cannot have changed): the
  // same place and the same growth, without the search.
  void insert_new(K key, V value) {
    const uint64_t h = hash_of(key);
    insert_new_made(h, [&] { return EntryType{std::move(key), std::move(value)}; });
  }

  // insert_new of the entry make() returns, built in its slot; h is
  // slot_hash() of its key. make() must not throw; it is called once, also
  // when growth fails (its entry is then released), but not when a short
  // block cannot widen (std::bad_alloc before anything changed).
  template <class Make>
  void insert_new_made(uint64_t h, Make&& make) {
    const uint8_t t = tag_of(h);
    uint64_t populated = max_populated_level_;
    if (len_ < max_insertions_ && tables_.place_new_made(h, t, make, populated)) [[likely]] {
      note_populated(populated);
      ++len_;
      return;
    }
    // At the growth limit, or no place: the growth check decides.
    EntryType e = make();
    insert_at_location_after_resize_check(std::nullopt, h, std::move(e.key), std::move(e.value), t);
  }

  // Inserts keys the caller knows are new: no stored key equals one, nor
  // does any other key inserted through it (a copy of a map's keys into an
  // empty map, say). Each lands, and the map grows, exactly as by
  // insert_new_made, with the level bounds and counts kept locally between
  // insertions. The map must not be used otherwise until finish() or the
  // end of this object.
  class NewKeys {
   public:
    explicit NewKeys(FunnelHashMap& m) noexcept : m_(m), stored_(m.tables_) { load(); }
    NewKeys(const NewKeys&) = delete;
    NewKeys& operator=(const NewKeys&) = delete;
    ~NewKeys() { finish(); }

    uint64_t slot_hash(const K& key) const noexcept { return m_.slot_hash(key); }
    uint64_t capacity() const noexcept { return m_.capacity(); }
    void prefetch_new(uint64_t h) const noexcept { m_.prefetch_new(h); }
    void prefetch_new_slot(uint64_t h) const noexcept { m_.prefetch_new_slot(h); }

    // insert_new_made(h, make).
    template <class Make>
    [[gnu::always_inline]] void insert_made(uint64_t h, Make&& make) {
      if (len_ < m_.max_insertions_ &&
          m_.tables_.place_new_made(stored_, h, tag_of(h), make, populated_)) [[likely]] {
        ++len_;
        return;
      }
      finish();  // growth or the special array: the map's own path
      m_.insert_new_made(h, make);
      load();
    }
    void finish() noexcept {
      if (!loaded_) return;
      loaded_ = false;
      m_.len_ = len_;
      m_.note_populated(populated_);
    }

   private:
    void load() noexcept {
      stored_ = typename Tables::StoredLevels(m_.tables_);
      len_ = m_.len_;
      populated_ = m_.max_populated_level_;
      loaded_ = true;
    }

    FunnelHashMap& m_;
    typename Tables::StoredLevels stored_;
    uint64_t len_ = 0, populated_ = 0;
    bool loaded_ = false;
  };

  // The hash that places `key` in this map.
  uint64_t slot_hash(const K& key) const noexcept { return hash_of(key); }

  // Loads the first groups an insertion of a new key with hash h (slot_hash)
  // will probe. Changes nothing.
  void prefetch_new(uint64_t h) const noexcept {
    const uint64_t end = std::min<uint64_t>(tables_.levels.size(), 2);
    for (uint64_t i = 0; i < end; ++i) {
      const Level& lv = tables_.levels[i];
      if (lv.slots() != 0) lv.table().prefetch_group_ctrl(lv.probe_group(h));
    }
  }

  // Loads, to be written, the slot a new key with hash h takes when it stays
  // in the first two levels: the first free lane of its group in the first
  // of them that has one. Worth it only once prefetch_new's groups have
  // arrived. Changes nothing.
  void prefetch_new_slot(uint64_t h) const noexcept {
    const uint64_t end = std::min<uint64_t>(tables_.levels.size(), 2);
    for (uint64_t i = 0; i < end; ++i) {
      const Level& lv = tables_.levels[i];
      if (!lv.has_free_slot()) continue;
      const uint64_t g = lv.probe_group(h);
      if (const LaneMask free = lv.table().match_free(g)) {
        lv.table().prefetch_slot_write(g * kGroupWidth + free.lowest());
        return;
      }
    }
  }

  // Loads the first groups a search for `key` probes (a lookup, or the
  // search an insertion starts with), so that a bulk walk can issue them
  // several keys ahead. Changes nothing.
  void prefetch_search_path(const K& key) const noexcept {
    const uint64_t h = hash_of(key);
    const uint64_t end = look_ahead_levels();
    for (uint64_t i = 0; i < end; ++i) {
      const Level& lv = tables_.levels[i];
      if (lv.slots() != 0) lv.table().prefetch_group_ctrl(lv.probe_group(h));
    }
  }

  // Calls f(entry) for each entry whose tag matches the key's in the groups
  // prefetch_search_path() loads, up to where a search for the key ends: the
  // entries a lookup compares first, whose objects a bulk walk loads ahead
  // (map against map). Changes nothing.
  template <class F>
  void for_each_candidate(const K& key, F&& f) const {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    for_each_loaded_group(h, [&](const Level& lv, uint64_t g) {
      const Group grp = lv.table().group(g);
      for (unsigned lane : grp.match_tag(t)) f(lv.entry(g * kGroupWidth + lane));
      return !grp.match_empty().any();  // where a search for the key ends
    });
  }

  // Starts loading, in the key's group of each level the look-ahead covers
  // (look_ahead_levels), the entry a lookup of `key` compares first there
  // (the lowest whose tag matches), without a branch on the match: a
  // lookup's look-ahead, where for_each_candidate's loop over the matches
  // mispredicted.
  void prefetch_candidate_entries(const K& key) const noexcept {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    for_each_loaded_group(h, [&](const Level& lv, uint64_t g) {
      lv.table().prefetch_first_of(g, lv.table().group(g).match_tag(t));
      return true;
    });
  }

  [[gnu::always_inline]] std::optional<V> remove(const K& key) {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    // Nearly every key lives in a level: it is taken from where the level
    // search found it.
    bool absent = false;
    funnel_detail::LevelPosition at;
    if (find_in_levels_at(tables_, level_search_end(), h, t, equal_to(key), absent, at))
      return take_from(tables_.levels[at.level], at.slot);
    if (absent) return std::nullopt;
    const FunnelSearch r = search_beyond_levels(tables_, h, t, equal_to(key));
    if (!r.found()) return std::nullopt;
    if (r.loc.kind == SlotKind::Overflow) [[unlikely]] {
      --len_;
      EntryType e = tables_.take(r.loc);
      lower_max_populated_level();
      return std::optional<V>(std::move(e.value));
    }
    const uint64_t special = tables_.levels.size();  // the primary's area number
    return take_from(tables_.area(r.loc.kind == SlotKind::SpecialPrimary ? special : special + 1),
                     r.loc.slot);
  }

  void clear() noexcept {
    for (Level& lv : tables_.levels) lv.clear();
    tables_.special.clear();
    tables_.overflow.clear();
    len_ = 0;
    max_populated_level_ = 0;
    update_search_end();
  }

  // Empties the map and draws a new seed: it is then the map with_options
  // builds from its options, on the tables it has, for reuse by a caller that
  // keeps small maps instead of freeing and building them again.
  void renew() noexcept {
    clear();
    purge_deferred_ = false;
    hasher_ = S::make();
  }

  // Makes room for len + additional entries at the default load limit.
  void reserve(uint64_t additional) {
    const uint64_t need = sat_add(len_, additional);
    if (need <= max_insertions_) return;
    rebuild(capacity_to_fit(capacity_, need, reserve_fraction_), 0);
  }

  // Rebuilds for `new_capacity` (any value, even below len), keeping every entry.
  void resize(uint64_t new_capacity) { rebuild(new_capacity, 0); }

  // f is forced inline into the walk: bulk copies pass their whole
  // insertion as f, which GCC otherwise calls once per entry.
  template <class F>
  void for_each(F&& f) const {
    all_of([&](const EntryType& e) QUENLOR_INLINE_BODY {
      f(e.key, e.value);
      return true;
    });
  }

  // p(entry) for the entries in traversal order (as iter() gives them) while
  // it returns true; whether it always did. Tighter than a pull iterator.
  template <class P>
  bool all_of(P&& p) const {
    for (uint64_t a = 0; a < tables_.area_count(); ++a) {
      const auto& area = tables_.area(a);
      if (area.len() != 0 &&
          !area.table().all_full([&](uint64_t, const EntryType& e) { return p(e); }))
        return false;
    }
    for (const auto& oe : tables_.overflow)
      if (!p(oe.entry)) return false;
    return true;
  }

  Iter iter() const noexcept { return Iter(traversal()); }

  template <class P>
  ExtractIf<P> extract_if(P pred) {
    return ExtractIf<P>(*this, std::move(pred));
  }

  // Introspection (read-only, cheap).
  uint64_t max_insertions() const noexcept { return max_insertions_; }
  double reserve_fraction() const noexcept { return reserve_fraction_; }
  uint64_t primary_probe_limit() const noexcept { return primary_probe_limit_; }
  uint64_t max_populated_level() const noexcept { return max_populated_level_; }
  uint64_t level_count() const noexcept { return tables_.level_count; }
  // The stored levels: levels()[j] is level first_stored_level() + j; the
  // levels before and after them have no buckets.
  const RecordVector<Level, A>& levels() const noexcept { return tables_.levels; }
  uint64_t first_stored_level() const noexcept { return tables_.first_level; }
  const SpecialArray<K, V, A>& special() const noexcept { return *tables_.special; }
  uint64_t overflow_len() const noexcept { return tables_.overflow.size(); }
  uint64_t usable_slots() const noexcept { return tables_.usable_slots; }
  const S& hasher() const noexcept { return hasher_; }

  // Where `key` is stored (`level` counted from level 0, stored or not).
  std::optional<SlotLocation> find_location(const K& key) const {
    const FunnelSearch r = find(key);
    if (!r.found()) return std::nullopt;
    return with_level_index(r.loc);
  }

  // Where a new key with hash h would be placed now (no growth considered).
  std::optional<SlotLocation> choose_slot_for_new_key(uint64_t h) const noexcept {
    const auto loc = tables_.choose_slot(h);
    if (!loc) return std::nullopt;
    return with_level_index(*loc);
  }

  // Verifies the map's invariants in O(slots); throws InternalError naming the
  // first one broken (funnel/funnel_consistency.hpp).
  void check_consistency() const;

  // Tests only: purge through a full rebuild at the same capacity, the plain
  // procedure the in-place purge must match exactly.
  static inline bool purge_by_rebuild = false;

 private:
  template <class, class>
  friend class quenlor::ExtractIf;

  // The tables are built in place.
  FunnelHashMap(uint64_t capacity, double delta, uint64_t probe_limit, const A& alloc)
      : tables_(Tables::build(capacity, delta, probe_limit, alloc, false)),
        capacity_(capacity),
        max_insertions_(max_insertions_for(capacity, delta)),
        reserve_fraction_(delta),
        primary_probe_limit_(probe_limit),
        hasher_(S::make()),
        alloc_(alloc) {
    update_search_end();
  }

  uint64_t hash_of(const K& key) const noexcept { return hasher_.hash(hash_word(key)); }

  static KeyEquals<K> equal_to(const K& key) noexcept { return {key}; }

  // Stored levels a search visits.
  uint64_t level_search_end() const noexcept {
    QUENLOR_DCHECK(search_end_ == tables_.stored_levels_through(max_populated_level_));
    return search_end_;
  }
  // A placement into level `level` (a level index, not a stored one).
  void note_populated(uint64_t level) noexcept {
    if (level <= max_populated_level_) return;
    max_populated_level_ = level;
    update_search_end();
  }

  // After every change of max_populated_level_ or of the tables.
  void update_search_end() noexcept {
    search_end_ = static_cast<uint32_t>(tables_.stored_levels_through(max_populated_level_));
    look_ahead_end_ = static_cast<uint8_t>(look_ahead_levels_of(search_end_));
  }

  SlotLocation with_level_index(SlotLocation loc) const noexcept {
    if (loc.kind == SlotKind::Level) loc.level += static_cast<uint32_t>(tables_.first_level);
    return loc;
  }

  // Every place of the key in placement order, then the overflow area.
  template <class IsKey>
  FunnelSearch search(uint64_t h, uint8_t t, const IsKey& is_key) const {
    const FunnelSearch r = search_levels(tables_, level_search_end(), h, t, is_key);
    return r.undetermined() ? search_beyond_levels(tables_, h, t, is_key) : r;
  }
  FunnelSearch find(const K& key) const {
    const uint64_t h = hash_of(key);
    return search(h, tag_of(h), equal_to(key));
  }

  const EntryType& entry_at(const SlotLocation& loc) const noexcept {
    return const_cast<Tables&>(tables_).entry_at(loc);
  }

  // --- Insertion and growth ----------------------------------------------

  void place_new_entry(const SlotLocation& loc, K&& key, V&& value, uint8_t t) noexcept {
    tables_.place(loc, EntryType{std::move(key), std::move(value)}, t, max_populated_level_);
    update_search_end();
    ++len_;
  }

  // Appending may throw std::bad_alloc, leaving the map as it was.
  void place_in_overflow(uint64_t h, K&& key, V&& value) {
    tables_.overflow.push_back(OverflowEntry<K, V>{EntryType{std::move(key), std::move(value)}, h});
    ++len_;
  }

  bool growth_may_find_slot() const noexcept { return sat_mul(len_, 2) >= tables_.usable_slots; }

  // `where` by reference: passed by value (24 bytes) it went on the stack,
  // and the inlined insert() set up a frame for that on every call.
  [[gnu::noinline]] void insert_at_location_after_resize_check(
      const std::optional<SlotLocation>& where, uint64_t h, K&& key, V&& value, uint8_t t) {
    std::optional<SlotLocation> loc = where;
    if (len_ >= max_insertions_ || (!loc && growth_may_find_slot())) {
      rebuild(grown_capacity(capacity_),
              1);  // one spare overflow place: the append below cannot fail
      loc = tables_.choose_slot(h);
    }
    if (loc) {
      tables_.make_room(*loc);
      place_new_entry(*loc, std::move(key), std::move(value), t);
    } else {
      place_in_overflow(h, std::move(key), std::move(value));
    }
  }

  // Builds the geometry for `new_capacity` and moves every entry into it.
  // Throws only before anything moved; the map is then unchanged.
  [[gnu::noinline]] void rebuild(uint64_t new_capacity, uint64_t spare_overflow) {
    // Entries move in without a chance to fail: whole blocks for them.
    Tables fresh =
        Tables::build(new_capacity, reserve_fraction_, primary_probe_limit_, alloc_, len_ != 0);
    // Every entry could end up without a place; reserving now keeps the
    // moving phase free of allocation. An empty map growing for its first
    // key needs none: in empty tables with a usable slot every key has a
    // place, so the spare is never used.
    if (len_ != 0 || fresh.usable_slots == 0) fresh.overflow.reserve(sat_add(len_, spare_overflow));

    typename Tables::Fill fill(fresh, alloc_);
    // Forced inline: at -O2 GCC calls it, per entry, with a frame of its own.
    const auto rehome = [&](EntryType&& e, uint64_t h) QUENLOR_INLINE_BODY {
      if (!fill.place(h, std::move(e), tag_of(h)))
        fresh.overflow.push_back(OverflowEntry<K, V>{std::move(e), h});
    };
    for (uint64_t a = 0; a < tables_.area_count(); ++a)
      tables_.area(a).drain([&](EntryType&& e) QUENLOR_INLINE_BODY {
        const uint64_t h = hash_of(e.key);
        rehome(std::move(e), h);
      });
    for (auto& oe : tables_.overflow) rehome(std::move(oe.entry), oe.hash);
    tables_.overflow.clear();
    fit_overflow(fresh.overflow, spare_overflow);
    const uint64_t populated = fill.finish();

    tables_ = std::move(fresh);
    capacity_ = new_capacity;
    max_insertions_ = max_insertions_for(new_capacity, reserve_fraction_);
    max_populated_level_ = populated;
    update_search_end();
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

  // How many of the `searched` levels a bulk walk loads ahead: the first
  // two, and the third (over a quarter of the keys of a map of 100,000) once
  // it outgrows the first cache levels, as long as the map stays within the
  // last: beyond it the lines in flight set the pace, and the third level's
  // would take their places from the first two's.
  uint64_t look_ahead_levels_of(uint64_t searched) const noexcept {
    if (searched > 2 && worth_prefetching(tables_.levels[2].slots()) &&
        !beyond_cache(tables_.usable_slots))
      return 3;
    return std::min<uint64_t>(searched, 2);
  }
  // The same for the levels searched now, kept beside the search end: every
  // walked entry asks for it up to three times.
  uint64_t look_ahead_levels() const noexcept {
    QUENLOR_DCHECK(look_ahead_end_ == look_ahead_levels_of(level_search_end()));
    return look_ahead_end_;
  }

  // Calls f(level, g) for the group of slot hash h in each of the levels
  // holding entries that prefetch_search_path() loads, until f returns
  // false.
  template <class F>
  [[gnu::always_inline]] void for_each_loaded_group(uint64_t h, F&& f) const {
    const uint64_t end = look_ahead_levels();
    for (uint64_t i = 0; i < end; ++i) {
      const Level& lv = tables_.levels[i];
      if (lv.len() != 0 && !f(lv, lv.probe_group(h))) return;
    }
  }

  // --- Removal -----------------------------------------------------------

  // Empties full slot `slot` of `area`, then checks that table for a purge.
  std::optional<V> take_from(typename Tables::Area& area, uint64_t slot) {
    --len_;
    EntryType e = area.vacate(slot);
    lower_max_populated_level();
    if (area.needs_purge()) [[unlikely]]
      purge();
    return std::optional<V>(std::move(e.value));
  }

  void lower_max_populated_level() noexcept {
    const uint64_t first = tables_.first_level;
    // Nearly always the top populated level still holds entries: nothing moves.
    if (max_populated_level_ > first && tables_.levels[max_populated_level_ - first].len() != 0)
      return;
    while (max_populated_level_ > first && tables_.levels[max_populated_level_ - first].len() == 0)
      --max_populated_level_;
    // The levels before the first stored one are empty too.
    if (max_populated_level_ == first && (tables_.levels.empty() || tables_.levels[0].len() == 0))
      max_populated_level_ = 0;
    update_search_end();
  }

  static constexpr uint64_t kPurgeAhead = 16;

  [[gnu::noinline]] void purge() {
    // Set until the purge succeeds: with it clear, only tables emptied
    // since the last purge check can need a purge.
    purge_deferred_ = true;
    purge_unless_memory_is_short([this] {
      if (purge_by_rebuild) [[unlikely]]
        rebuild(capacity_, 0);
      else
        purge_in_place();
      purge_deferred_ = false;
    });
  }

  // rebuild(capacity_, 0) without new tables: the capacity, hence the
  // geometry, stays, so the tables are emptied in place (as new ones are)
  // and the entries are re-placed in traversal order, landing exactly where
  // a rebuild would put them. A level entry can only go back to its own
  // group or to an earlier level, so the levels are re-placed group by group
  // where they are; the entries of the special array and the overflow area
  // (few) wait in a buffer, since they may land in any group. Entries left
  // without a place gather, in order, at the front of that buffer, which
  // then becomes the overflow area. Throws std::bad_alloc (the buffer)
  // before anything moved; it needs none when the special array and the
  // overflow area are empty.
  void purge_in_place() {
    std::vector<OverflowEntry<K, V>> moved;
    moved.reserve(tables_.special->len() + tables_.overflow.size());
    tables_.widen_fully();  // an entry may land in an earlier level
    typename Tables::Fill fill(tables_, alloc_);
    for (uint64_t a = tables_.levels.size(); a < tables_.area_count(); ++a)
      tables_.area(a).drain([&](EntryType&& e) {
        const uint64_t h = hash_of(e.key);
        moved.push_back(OverflowEntry<K, V>{std::move(e), h});
      });
    for (auto& oe : tables_.overflow) moved.push_back(std::move(oe));
    tables_.overflow.clear();
    if (tables_.special.owned()) tables_.special->primary.group_summaries.zero();

    // The first stored level goes first, and each of its entries back to its
    // own group (its bucket's only one), where nothing else has landed yet:
    // its first free slot, under the tag it has, with no hash to compute.
    if (!tables_.levels.empty()) fill.compact_first(0);
    for (uint64_t i = 1; i < tables_.levels.size(); ++i)
      tables_.levels[i].replace_group_by_group([&](EntryType&& e, uint64_t, uint8_t) {
        const uint64_t h = hash_of(e.key);
        [[maybe_unused]] const bool placed = fill.place(h, std::move(e), tag_of(h));
        QUENLOR_DCHECK(placed);
      });

    uint64_t unplaced = 0;
    const uint64_t count = moved.size();
    // Entries land all over the tables: the places of the ones a few steps
    // ahead in the first two levels start loading early, so that the misses
    // overlap. (Written out here: behind a helper function GCC dropped it.)
    uint64_t prefetched_levels = 0;
    while (prefetched_levels < std::min<uint64_t>(tables_.levels.size(), 2) &&
           worth_prefetching(tables_.levels[prefetched_levels].slots()))
      ++prefetched_levels;
    for (uint64_t i = 0; i < count; ++i) {
      if (prefetched_levels != 0 && i + kPurgeAhead < count) {
        const uint64_t ahead = moved[i + kPurgeAhead].hash;
        for (uint64_t j = 0; j < prefetched_levels; ++j) {
          const Level& lv = tables_.levels[j];
          lv.table().prefetch_group_ctrl(lv.probe_group(ahead));
          lv.table().prefetch_group_entries(lv.probe_group(ahead));
        }
      }
      auto& oe = moved[i];
      if (fill.place(oe.hash, std::move(oe.entry), tag_of(oe.hash))) continue;
      OverflowEntry<K, V>& to = moved[unplaced++];
      if (&to == &oe) continue;
      std::destroy_at(&to);  // moved from
      std::construct_at(&to, std::move(oe));
    }
    while (moved.size() > unplaced) moved.pop_back();  // moved from; needs no assignment
    tables_.overflow.swap(moved);
    fit_overflow(tables_.overflow, 0);
    max_populated_level_ = fill.finish();
    update_search_end();
  }

  // --- What ExtractIf needs ----------------------------------------------

  FunnelTraversal<Tables> traversal() const noexcept { return {&tables_}; }
  EntryType take_traversed(uint64_t area, uint64_t slot) noexcept {
    --len_;
    return tables_.area(area).vacate(slot);
  }
  template <class P>
  std::optional<EntryType> take_tail_if(uint64_t& index, P& pred) {  // pred may throw
    auto& ov = tables_.overflow;
    for (; index < ov.size(); ++index) {
      const EntryType& e = ov[index].entry;
      if (pred(std::as_const(e.key), std::as_const(e.value))) {
        --len_;
        return std::optional<EntryType>(tables_.take({SlotKind::Overflow, 0, index}));
      }
    }
    return std::nullopt;
  }
  // The purge check of a removing walk that vacated slots of table `table`
  // only (kNoTable: none), or of several tables.
  void purge_after_extraction(uint64_t table, bool several) {
    if (several || purge_deferred_) return purge_if_any_table_needs_it();
    if (table < tables_.area_count() && tables_.area(table).needs_purge()) purge();
  }
  void purge_if_any_table_needs_it() {
    if (tables_.any_area_needs_purge()) purge();
  }

  Tables tables_;
  ResetOnMove<uint64_t> len_;
  ResetOnMove<uint64_t> capacity_;
  ResetOnMove<uint64_t> max_insertions_;
  double reserve_fraction_ = kDefaultReserveFraction;
  uint64_t primary_probe_limit_ = 1;
  ResetOnMove<uint64_t> max_populated_level_;
  ResetOnMove<uint32_t> search_end_;     // stored levels up to max_populated_level_ (<= 90)
  bool purge_deferred_ = false;          // a purge was skipped for lack of memory
  ResetOnMove<uint8_t> look_ahead_end_;  // look_ahead_levels_of(search_end_)
  S hasher_;
  [[no_unique_address]] A alloc_;
};

}  // namespace quenlor

#include "funnel/funnel_consistency.hpp"
