// ElasticHashMap: open addressing over levels of halving size, filled in
// batches, that never moves an entry once placed (only a whole-map rebuild
// does).
//
//   level 0  [ 16·2^a slots ]   ← batch 0 fills it to 3/4
//   level 1  [ 16·2^b slots ]   ← batch 1 finishes level 0 to its reserve
//   level 2  [ ...          ]     threshold and fills level 1 to 3/4, ...
//
// A new key goes where the current batch says (its level pair, see
// elastic/placement.hpp); while the earlier level of the pair still has
// plenty of room it is tried first with a probe budget that grows as that
// level fills (Level::probe_limit). Lookups scan levels 0..max_populated_level,
// skipping empty ones, and stop in each at the first group holding an EMPTY
// byte, the first group no key like theirs went past (its group mark) or the
// longest probe. Removal leaves DELETED; once a level is more than half
// tombstones every entry of the map is re-placed at the same capacity.
//
// Invariants: keys are unique across all levels; len is the sum of the level
// lens and never exceeds the total slot count; max_populated_level is at least
// the index of every level holding a live entry; the batch quotas sum to
// max_insertions, and reaching max_insertions doubles the capacity; every
// level has a record, except the levels after level 0 while the map is in
// batch 0 (record_every_level).
//
// Rebuilds construct the complete new geometry first (the only step that can
// throw, leaving the map untouched), then move every entry straight from the
// old levels into the new ones by the placement rule alone: in level order,
// slot order, from batch 0, with no key comparison, so keys whose equality has
// changed since they were stored cannot collapse into one another.
//
// Requirements: K and V are nothrow move-constructible; K has an ADL
// `hash_word(const K&)` that does not throw and `operator==` with the stored
// key on the left.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <type_traits>
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
#include "common/layout/fill_counts.hpp"
#include "common/layout/group.hpp"
#include "common/layout/hasher.hpp"
#include "common/layout/lane_mask.hpp"
#include "common/reset_on_move.hpp"
#include "common/saturating.hpp"
#include "common/table_iter.hpp"
#include "elastic/elastic_options.hpp"
#include "elastic/level.hpp"
#include "elastic/level_geometry.hpp"
#include "elastic/placement.hpp"

namespace quenlor {

template <class K, class V, class S = SeededHasher, class A = ZeroedAllocator>
class ElasticHashMap {
  static_assert(std::is_nothrow_move_constructible_v<K>, "keys must be nothrow movable");
  static_assert(std::is_nothrow_move_constructible_v<V>, "values must be nothrow movable");

 public:
  using Options = ElasticOptions;
  using LevelType = Level<K, V, A>;
  using EntryType = Entry<K, V>;
  using Iter = TableIter<ElasticLevels<LevelType>>;
  static constexpr uint64_t kNoSlot = LevelType::kNoSlot;

  using SlotPosition = LevelSlot;

  template <class P>
  using ExtractIf = quenlor::ExtractIf<ElasticHashMap, P>;

  // Throws std::bad_alloc when the tables cannot be allocated.
  static ElasticHashMap with_options(const ElasticOptions& options, A alloc = A()) {
    const ElasticOptions o = sanitized(options);
    ElasticHashMap map(S::make(), alloc, o.reserve_fraction, o.probe_scale);
    // A map of capacity 0 (every new map) has no levels and no plan: as
    // constructed, it is what installing its empty geometry would leave.
    if (o.capacity != 0) map.install(map.build_geometry(o.capacity, false), o.capacity);
    return map;
  }

  // A moved-from map is empty with capacity 0 and stays usable.
  ElasticHashMap(ElasticHashMap&&) noexcept = default;
  ElasticHashMap& operator=(ElasticHashMap&&) noexcept = default;
  ElasticHashMap(const ElasticHashMap&) = delete;
  ElasticHashMap& operator=(const ElasticHashMap&) = delete;
  ~ElasticHashMap() = default;  // each Level destroys its live entries

  uint64_t len() const noexcept { return len_; }
  uint64_t capacity() const noexcept { return capacity_; }

  // ---- lookup -------------------------------------------------------------

  [[gnu::always_inline]] V* get(const K& key) {
    return const_cast<V*>(std::as_const(*this).get(key));
  }
  [[gnu::always_inline]] const V* get(const K& key) const {
    const uint64_t h = hash_of(key);
    const EntryType* e = find_entry(h, tag_of(h), equal_to(key));
    return e == nullptr ? nullptr : &e->value;
  }
  [[gnu::always_inline]] bool contains_key(const K& key) const { return get(key) != nullptr; }

  // The entry a lookup for slot hash h (slot_hash) finds when is_key(stored)
  // decides which stored key is the one sought; null if none. Lets a caller
  // compare keys its own way (bulk equality). kLookAhead false: the caller
  // has loaded the search path (prefetch_candidate_entries).
  template <bool kLookAhead = true, class IsKey>
  const EntryType* find_matching(uint64_t h, IsKey&& is_key) const {
    if constexpr (!kLookAhead) {
      return find_in_levels<false>(searched_end(), h, tag_of(h), is_key).entry;
    }
    return find_entry(h, tag_of(h), is_key);
  }

  // Where the key's entry lives, if present (introspection).
  std::optional<SlotPosition> position_of(const K& key) const {
    const uint64_t h = hash_of(key);
    SlotPosition at = find_position(h, tag_of(h), equal_to(key));
    if (at.slot == kNoSlot) return std::nullopt;
    return at;
  }

  // ---- insertion ----------------------------------------------------------

  // An equal stored key keeps its key object and gets the new value; the old
  // value is returned. On std::bad_alloc (growth failed) the map is unchanged
  // and `key` and `value` are destroyed with the parameters.
  [[gnu::always_inline]] std::optional<V> insert(K key, V value) {
    const uint64_t h = hash_of(key);
    if (const EntryType* e = find_entry(h, tag_of(h), equal_to(key)))
      return quenlor::replace_value(const_cast<EntryType&>(*e), std::move(value));
    if (len_ >= max_insertions_) [[unlikely]]
      grow();
    place_absent_key(EntryType{std::move(key), std::move(value)}, h);
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
  // slot_hash() of its key. make() must not throw; it is not called when
  // growth fails.
  template <class Make>
  void insert_new_made(uint64_t h, Make&& make) {
    if (len_ >= max_insertions_) [[unlikely]]
      grow();
    place_made_by_batch_rule(h, make);
  }

  // The hash that places `key` in this map.
  uint64_t slot_hash(const K& key) const noexcept { return hash_of(key); }

  // Loads the first group a new key with hash h (slot_hash) probes in the
  // levels the current batch places into. Changes nothing.
  void prefetch_new(uint64_t h) const noexcept {
    prefetch_batch_levels(levels_.data(), levels_.size(), batch_index_, h);
  }
  // Loads, to be written, the slot a new key with hash h most likely takes:
  // the first free one in its first group of the current batch's levels.
  // Worth it only once prefetch_new's groups have arrived. Changes nothing.
  void prefetch_new_slot(uint64_t h) const noexcept {
    prefetch_batch_slot(levels_.data(), levels_.size(), batch_index_, h);
  }

  // Loads the first group a search for `key` probes in each populated level
  // (a lookup, or the search an insertion starts with) and in the levels the
  // current batch places into, so that a bulk walk can issue them several
  // keys ahead. Changes nothing.
  void prefetch_search_path(const K& key) const noexcept {
    const uint64_t h = hash_of(key);
    const uint64_t end =
        std::min<uint64_t>(levels_.size(), std::max(max_populated_level_, batch_index_) + 1);
    for (uint64_t i = 0; i < end && i < 4; ++i) {
      const LevelType& lv = levels_[i];
      if (lv.groups() != 0) lv.table().prefetch_group_ctrl(lv.probe_seq(h).group());
    }
  }

  // Starts loading, in the first group of each of the first four levels
  // searched, the entry a lookup of `key` compares first there (the lowest
  // whose tag matches), without a branch on the match (see the funnel map's).
  void prefetch_candidate_entries(const K& key) const noexcept {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    for_each_first_group(h, [&](const LevelType& lv, uint64_t g) {
      lv.table().prefetch_first_of(g, lv.table().group(g).match_tag(t));
    });
  }

  // Calls f(entry) for each entry whose tag matches the key's in the first
  // group of each of the first four levels searched: the entries a lookup
  // compares first, whose objects a bulk walk loads ahead (map against map).
  // Changes nothing.
  template <class F>
  void for_each_candidate(const K& key, F&& f) const {
    const uint64_t h = hash_of(key);
    const uint8_t t = tag_of(h);
    for_each_first_group(h, [&](const LevelType& lv, uint64_t g) {
      for (unsigned lane : lv.table().group(g).match_tag(t)) f(lv.entry(g * kGroupWidth + lane));
    });
  }

  // ---- removal ------------------------------------------------------------

  [[gnu::always_inline]] std::optional<V> remove(const K& key) {
    const uint64_t h = hash_of(key);
    SlotPosition at = find_position(h, tag_of(h), equal_to(key));
    if (at.slot == kNoSlot) return std::nullopt;
    LevelType& lv = levels_[at.level];
    EntryType removed = lv.vacate(at.slot);
    --len_;
    if (lv.needs_purge()) [[unlikely]]
      purge();
    return std::optional<V>(std::move(removed.value));
  }

  // Keeps capacity, levels and plan; the next insertions start at batch 0.
  void clear() noexcept {
    for (LevelType& lv : levels_) lv.clear();
    len_ = 0;
    reset_batches();
  }

  // Empties the map and draws a new seed: it is then the map with_options
  // builds from its options, on the levels it has, for reuse by a caller that
  // keeps small maps instead of freeing and building them again.
  void renew() noexcept {
    clear();
    purge_deferred_ = false;
    hasher_ = S::make();
  }

  // ---- growth -------------------------------------------------------------

  // Makes room for len + additional entries before the next growth, at the
  // smallest max(capacity, 16) × 2^k that covers them. Throws std::bad_alloc
  // (map unchanged), also when no representable capacity could.
  void reserve(uint64_t additional) {
    const uint64_t needed = sat_add(len_, additional);
    if (needed <= max_insertions_) return;
    rebuild(capacity_to_fit(capacity_, needed, reserve_fraction_));
  }

  // Rebuilds for new_capacity, keeping every entry. Throws std::bad_alloc with
  // the map unchanged; InternalError (map unchanged) when the new levels have
  // fewer slots than there are entries.
  void resize(uint64_t new_capacity) { rebuild(new_capacity); }

  // ---- traversal ----------------------------------------------------------

  Iter iter() const noexcept { return Iter(traversal()); }

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
  [[gnu::always_inline]] bool all_of(P&& p) const {
    const auto visit = [&](uint64_t, const EntryType& e) QUENLOR_INLINE_BODY { return p(e); };
    for (const LevelType& lv : levels_)
      if (lv.len() != 0 && !lv.table().all_full(visit)) return false;
    return true;
  }

  template <class P>
  ExtractIf<P> extract_if(P pred) {
    return ExtractIf<P>(*this, std::move(pred));
  }

  // ---- introspection ------------------------------------------------------

  // Verifies the map's invariants in O(slots); throws InternalError naming the
  // first one broken (elastic/elastic_consistency.hpp).
  void check_consistency() const;

  // Tests only: purge through a full rebuild at the same capacity, the plain
  // procedure the in-place purge must match exactly.
  static inline bool purge_by_rebuild = false;
  // Tests only: rebuilds and purges re-place every entry as an insertion of
  // a new key does, the plain procedure their own loop must match exactly.
  static inline bool refill_plainly = false;

  // Gives every level its record and its block now instead of when the map
  // first reaches it; the map behaves the same either way (a test oracle).
  // Throws std::bad_alloc.
  void allocate_all_levels() {
    record_every_level();
    for (LevelType& lv : levels_) lv.allocate_fully();
  }

  // The levels of the geometry, and those of them with a record (see
  // record_every_level); level(i) for i below the latter.
  uint64_t level_count() const noexcept { return batch_plan_.level_count(); }
  uint64_t recorded_levels() const noexcept { return levels_.size(); }
  const LevelType& level(uint64_t i) const noexcept { return levels_[i]; }
  const std::vector<uint64_t>& batch_plan() const noexcept { return batch_plan_.get(); }
  uint64_t batch_index() const noexcept { return batch_index_; }
  uint64_t batch_remaining() const noexcept { return batch_remaining_; }
  uint64_t max_populated_level() const noexcept { return max_populated_level_; }
  uint64_t max_insertions() const noexcept { return max_insertions_; }
  double reserve_fraction() const noexcept { return reserve_fraction_; }
  double probe_scale() const noexcept { return probe_scale_; }
  const S& hasher() const noexcept { return hasher_; }

 private:
  struct Geometry {
    RecordVector<LevelType, A> levels;
    SharedElasticPlan plan;  // the levels point into it
    uint64_t max_insertions = 0;
  };

  ElasticHashMap(S hasher, A alloc, double reserve_fraction, double probe_scale) noexcept
      : reserve_fraction_(reserve_fraction),
        probe_scale_(probe_scale),
        hasher_(hasher),
        alloc_(alloc) {}

  uint64_t hash_of(const K& key) const noexcept { return hasher_.hash(hash_word(key)); }

  static KeyEquals<K> equal_to(const K& key) noexcept { return {key}; }

  // The levels a key can be in: up to max_populated_level, which is below
  // the level count whenever there are levels.
  const LevelType* searched_end() const noexcept {
    QUENLOR_DCHECK(levels_.empty() || max_populated_level_ < levels_.size());
    return levels_.empty() ? levels_.data() : levels_.data() + max_populated_level_ + 1;
  }

  // Calls f(level, g) for the first group of slot hash h's sequence in each
  // of the first four levels searched that hold entries (the groups
  // prefetch_search_path() loads).
  template <class F>
  [[gnu::always_inline]] void for_each_first_group(uint64_t h, F&& f) const {
    const LevelType* const end = std::min(searched_end(), levels_.data() + 4);
    for (const LevelType* lv = levels_.data(); lv < end; ++lv)
      if (lv->len() != 0) f(*lv, lv->probe_seq(h).group());
  }

  // The level holding the key and its entry there (both null if none).
  struct Found {
    const LevelType* level;
    const EntryType* entry;
  };
  template <class IsKey>
  [[gnu::always_inline]] Found locate(uint64_t h, uint8_t tag, IsKey&& is_key) const {
    const LevelType* const end = searched_end();
    if (levels_.empty() || !worth_prefetching(levels_[0].slots()))
      return find_in_levels<false>(end, h, tag, is_key);
    // Beyond the caches every level searched is a miss of its own, and where
    // the search starts in each is known from h alone: ask for the later
    // levels' first groups before comparing in the first.
    for (const LevelType* lv = levels_.data() + 1; lv < end; ++lv)
      if (lv->len() != 0) lv->table().prefetch_group_ctrl(lv->probe_seq(h).group());
    return find_in_levels<true>(end, h, tag, is_key);
  }
  // The levels up to `end`. A two-step is_key (KeyEquals) compares quickly
  // in the loop, which then makes no call, and in full only the candidate
  // the quick comparison left undecided, after the loop; if that is not the
  // key either (equal hashes of unequal keys: rare), the search is made
  // again with full comparisons, passing over that candidate.
  template <bool kPrefetch, class IsKey>
  [[gnu::always_inline]] Found find_in_levels(const LevelType* end, uint64_t h, uint8_t tag,
                                              const IsKey& is_key) const {
    if constexpr (!TwoStepKeyTest<IsKey, K>) {
      return found(search_levels<kPrefetch, false>(end, h, tag, is_key));
    } else {
      const LevelMatch m = search_levels<kPrefetch, true>(end, h, tag, is_key);
      if ((m.at & LevelType::kUndecided) == 0) [[likely]]
        return found(m);
      const Found f = found({m.level, m.at & ~LevelType::kUndecided});
      if (is_key(f.entry->key)) return f;
      return found(search_levels_past<kPrefetch>(end, h, tag, is_key, &f.entry->key));
    }
  }
  // A level and what its find() returned; both 0 when no level matched.
  struct LevelMatch {
    const LevelType* level;
    uintptr_t at;
  };
  static Found found(LevelMatch m) noexcept {
    return {m.level, reinterpret_cast<const EntryType*>(m.at)};
  }
  template <bool kPrefetch, bool kQuick, class IsKey>
  [[gnu::always_inline]] LevelMatch search_levels(const LevelType* end, uint64_t h, uint8_t tag,
                                                  const IsKey& is_key) const {
    const Group::SpreadTag spread = Group::spread(tag);
    for (const LevelType* lv = levels_.data(); lv != end; ++lv) {
      if (lv->len() == 0) continue;
      const uintptr_t at = lv->template find<kPrefetch, kQuick>(h, spread, is_key);
      if (at != 0) return {lv, at};
    }
    return {nullptr, 0};
  }
  // The full search, taking `decided` (compared already: not the key) as
  // not the key without comparing it again.
  template <bool kPrefetch, class IsKey>
  [[gnu::noinline]] LevelMatch search_levels_past(const LevelType* end, uint64_t h, uint8_t tag,
                                                  const IsKey& is_key, const K* decided) const {
    return search_levels<kPrefetch, false>(end, h, tag, PassingOver<IsKey, K>{is_key, decided});
  }

  template <class IsKey>
  [[gnu::always_inline]] SlotPosition find_position(uint64_t h, uint8_t tag, IsKey&& is_key) const {
    const Found f = locate(h, tag, is_key);
    if (f.entry == nullptr) return {0, kNoSlot};
    return {static_cast<uint64_t>(f.level - levels_.data()), f.level->table().slot_of(*f.entry)};
  }

  // Lookups: the entry itself, so a hit needs no level index.
  template <class IsKey>
  [[gnu::always_inline]] const EntryType* find_entry(uint64_t h, uint8_t tag,
                                                     IsKey&& is_key) const {
    return locate(h, tag, is_key).entry;
  }

  // Moves to the next batch with a non-zero quota once the current one is used
  // up; past the last one the map keeps placing under the last index. Throws
  // std::bad_alloc (the level records) before the batch moves.
  void advance_batch() {
    if (batch_remaining_ != 0) return;
    if (levels_.size() != batch_plan_.level_count()) [[unlikely]]
      record_every_level();
    next_batch(batch_plan_.get().data(), batch_plan_.size(), batch_index_, batch_remaining_);
  }

  // A new map, or one rebuilt while empty, keeps a record for level 0 only:
  // batch 0 places there alone (its quota is at most three quarters of the
  // level, so the level always has a free slot), and no key lies in a level
  // beyond the current batch's, so a map that stays in batch 0 (a small
  // one) never pays for the records of the levels it has not reached. The
  // others are added when batch 0 ends, or before a purge re-places
  // entries. Throws std::bad_alloc with the map unchanged.
  [[gnu::noinline]] void record_every_level() {
    const uint64_t count = batch_plan_.level_count();
    if (levels_.size() == count) return;
    levels_.reserve(count);  // moves the records there are; nothing can fail after it
    for (uint64_t i = levels_.size(); i < count; ++i)
      levels_.emplace_back(batch_plan_.level_sizes()[i], i, batch_plan_.budget(i), alloc_, false);
  }
  // Moves batch `b` on to the next one with a non-zero quota, which
  // `remaining` takes; with none left, to the last one.
  static void next_batch(const uint64_t* plan, uint64_t size, uint64_t& b,
                         uint64_t& remaining) noexcept {
    for (uint64_t j = b + 1; j < size; ++j) {
      b = j;
      remaining = plan[j];
      if (remaining != 0) break;
    }
  }
  // Calls f(level, g), while it returns true, for the first group g a key
  // with hash h probes in each level batch b places into (those with a
  // block), in level order.
  template <class F>
  static void for_each_batch_first_group(const LevelType* levels, uint64_t count, uint64_t b,
                                         uint64_t h, F&& f) noexcept {
    const uint64_t first = b == 0 ? 0 : b - 1;
    const uint64_t end = std::min(count, b + 1);
    for (uint64_t i = first; i < end; ++i) {
      const LevelType& lv = levels[i];
      if (lv.allocated() && !f(lv, lv.probe_seq(h).group())) return;
    }
  }
  // Loads those groups.
  static void prefetch_batch_levels(const LevelType* levels, uint64_t count, uint64_t b,
                                    uint64_t h) noexcept {
    for_each_batch_first_group(levels, count, b, h, [](const LevelType& lv, uint64_t g) {
      lv.table().prefetch_group_ctrl(g);
      return true;
    });
  }
  // Loads, to be written, the first free slot of the first of those groups
  // that has one: where nearly every key of batch 0 goes, and a guess in
  // later batches, whose rule may pick the other level or probe on.
  static void prefetch_batch_slot(const LevelType* levels, uint64_t count, uint64_t b,
                                  uint64_t h) noexcept {
    for_each_batch_first_group(levels, count, b, h, [](const LevelType& lv, uint64_t g) {
      const LaneMask free = lv.table().match_free(g);
      if (!free) return true;
      lv.table().prefetch_slot_write(g * kGroupWidth + free.lowest());
      return false;
    });
  }

  ElasticPlace choose_slot_for_new_key(uint64_t h) const noexcept {
    return choose_elastic_slot(std::span<const LevelType>(levels_), batch_index_, h);
  }

  void place_new_entry(ElasticPlace at, EntryType&& e, uint64_t h) noexcept {
    place_new_entry_made(
        at, [&e]() -> EntryType&& { return std::move(e); }, h);
  }
  template <class Make>
  void place_new_entry_made(ElasticPlace at, Make&& make, uint64_t h) noexcept {
    const uint8_t tag = tag_of(h);
    QUENLOR_DCHECK(at.level < levels_.size() && levels_[at.level].has_free_slot());
    levels_[at.level].place_made(at.slot, tag, make);
    levels_[at.level].note_placed(h, at.probes);
    if (at.level > max_populated_level_) max_populated_level_ = at.level;
    ++len_;
    if (batch_remaining_ > 0) --batch_remaining_;
  }

  // Batch advance, slot choice and placement: everything a new key needs once
  // it is known to be absent and the map has room.
  void place_by_batch_rule(EntryType&& e, uint64_t h) {
    place_new_entry(slot_by_batch_rule(h), std::move(e), h);
  }
  // The re-placement Refill must match (tests only).
  [[gnu::noinline]] void place_plainly(EntryType&& e) noexcept {
    const uint64_t h = hash_of(e.key);
    place_by_batch_rule(std::move(e), h);
  }
  // insert()'s placement, out of line so that its search stays inline.
  [[gnu::noinline]] void place_absent_key(EntryType&& e, uint64_t h) {
    place_new_entry(slot_by_batch_rule_inline(h), std::move(e), h);
  }
  template <class Make>
  void place_made_by_batch_rule(uint64_t h, Make&& make) {
    place_new_entry_made(slot_by_batch_rule(h), make, h);
  }
  // Batch advance and slot choice. The rare callers (insert_new_made, the
  // tests' plain placement) share one out-of-line slot choice; insert()'s
  // own out-of-line placement (place_absent_key) is better off with
  // everything inlined (20 instructions per insertion).
  ElasticPlace slot_by_batch_rule(uint64_t h) {
    return batch_rule_slot(h, [this](uint64_t hh) { return choose_slot_for_new_key(hh); });
  }
  [[gnu::always_inline]] ElasticPlace slot_by_batch_rule_inline(uint64_t h) {
    return batch_rule_slot(h, [this](uint64_t hh) {
      return choose_elastic_slot(std::span<const LevelType>(levels_), batch_index_, hh);
    });
  }
  template <class Choose>
  [[gnu::always_inline]] ElasticPlace batch_rule_slot(uint64_t h, Choose&& choose) {
    const uint64_t batch_before = batch_index_;
    advance_batch();
    QUENLOR_DCHECK(batch_plan_.empty() || batch_index_ < batch_plan_.size());
    if (levels_.empty()) fatal("no free slot found after resize");
    ElasticPlace at = choose(h);
    if (at.slot == kNoSlot) fatal("no free slot found after resize");
    // The first key of a level brings its block, a key beyond a short block
    // a wider one. Rebuilds that move entries give every level its whole
    // block up front.
    if (!levels_[at.level].table().has_lane(at.slot)) [[unlikely]]
      make_room_or_step_back(levels_[at.level], at.slot, batch_index_, batch_remaining_,
                             batch_before);
    return at;
  }
  // Level::make_room for a placement that may have moved the batch (`b`,
  // `remaining`) on from `batch_before`: a refused block leaves the map as it
  // was, the batch position included.
  [[gnu::noinline]] static void make_room_or_step_back(LevelType& lv, uint64_t slot, uint64_t& b,
                                                       uint64_t& remaining, uint64_t batch_before) {
    try {
      lv.make_room(slot);
    } catch (...) {
      if (b != batch_before) b = batch_before, remaining = 0;
      throw;
    }
  }

  void reset_batches() noexcept {
    batch_index_ = 0;
    batch_remaining_ = batch_plan_.empty() ? 0 : batch_plan_[0];
    max_populated_level_ = 0;
  }

  // Placement by the batch rule with the batch position and the counts kept
  // locally until finish() (the destructor calls it too): each entry lands
  // exactly where place_by_batch_rule would put it, and no key is compared.
  //
  // kRefill: the re-placement of a rebuild or purge. Entries moved out of the
  // map, in traversal order, go back from batch 0 into levels emptied for
  // them (no DELETED bytes; every level has its block once there is an entry
  // to place), so no level is checked for its block and nothing can fail.
  // Otherwise (NewKeys) a level gets its block at its first key, which can
  // throw std::bad_alloc with nothing placed; the caller sees to the room.
  template <bool kRefill>
  class BatchPlacer {
   public:
    explicit BatchPlacer(ElasticHashMap& m) noexcept requires(!kRefill) : m_(m) { load(); }
    // A refill, which reads the levels' free lanes from `counts` (made for
    // the map's levels, all empty).
    BatchPlacer(ElasticHashMap& m, FillCounts<A>& counts) noexcept requires kRefill
        : m_(m),
          counts_(&counts),
          first_counts_(counts.of(0)) {
      load();
      const auto has_tombstones = [](const LevelType& lv) { return lv.tombstones() != 0; };
      QUENLOR_DCHECK(std::none_of(levels_, levels_ + count_, has_tombstones));
    }
    BatchPlacer(const BatchPlacer&) = delete;
    BatchPlacer& operator=(const BatchPlacer&) = delete;
    ~BatchPlacer() { finish(); }

    uint64_t len() const noexcept { return len_; }
    bool loaded() const noexcept { return loaded_; }

    // Starts loading the first group a key with hash h probes in the levels
    // of the current batch.
    void prefetch(uint64_t h) const noexcept { prefetch_batch_levels(levels_, count_, b_, h); }
    // The same for the slot such a key most likely takes (prefetch_new_slot).
    void prefetch_slot(uint64_t h) const noexcept { prefetch_batch_slot(levels_, count_, b_, h); }

    // h is hash_of of the key make() returns; make() must not throw and is
    // not called when the level's block cannot be had.
    template <class Make>
    [[gnu::always_inline]] void place_made(uint64_t h, Make&& make) noexcept(kRefill) {
      if (b_ == 0 && remaining_ != 0) [[likely]]
        return place_in_batch_zero(h, make);
      const uint64_t batch_before = b_;
      if (remaining_ == 0) [[unlikely]]
        advance();
      const ElasticPlace at = choose(h);
      LevelType& lv = levels_[at.level];
      if constexpr (!kRefill) {
        if (at.slot == kNoSlot) [[unlikely]]
          fatal("no free slot found after resize");
        if (!lv.table().has_lane(at.slot)) [[unlikely]]
          make_room_or_step_back(lv, at.slot, b_, remaining_, batch_before);
      }
      QUENLOR_DCHECK(at.slot != kNoSlot && lv.allocated() && lv.table().has_lane(at.slot));
      put(lv, at.level, at.slot, tag_of(h), make);
      lv.note_placed(h, at.probes);
      if (at.level > populated_) populated_ = at.level;
      ++len_;
      if (remaining_ != 0) --remaining_;
    }
    [[gnu::always_inline]] void place(EntryType&& e, uint64_t h) noexcept(kRefill) {
      place_made(h, [&e]() -> EntryType&& { return std::move(e); });
    }

    // Hands the batch position and the counts back to the map, which may then
    // change on its own until load() takes them up again.
    void finish() noexcept {
      if (!loaded_) return;
      loaded_ = false;
      if constexpr (kRefill)
        for (uint64_t i = 0; i < count_; ++i) levels_[i].restore_hint();
      m_.batch_index_ = b_;
      m_.batch_remaining_ = remaining_;
      m_.max_populated_level_ = populated_;
      m_.len_ = len_;
    }
    void load() noexcept {
      levels_ = m_.levels_.data();
      count_ = m_.levels_.size();
      plan_ = m_.batch_plan_.get().data();
      plan_size_ = m_.batch_plan_.size();
      b_ = m_.batch_index_;
      remaining_ = m_.batch_remaining_;
      populated_ = m_.max_populated_level_;
      len_ = m_.len_;
      loaded_ = true;
    }

   private:
    // The batch rule's choice in batch 0 (level 0 alone, which has room for
    // the batch's quota, anywhere along the key's sequence), without the
    // cases of the later batches: most entries of a rebuild, a purge or a
    // copy go there.
    template <class Make>
    [[gnu::always_inline]] void place_in_batch_zero(uint64_t h, Make&& make) noexcept(kRefill) {
      LevelType& lv = levels_[0];
      QUENLOR_DCHECK(lv.has_free_slot());
      const FreeSlot free = first_level_free_slot(lv, h);
      if constexpr (!kRefill) lv.make_room(free.slot);
      put(lv, 0, free.slot, tag_of(h), make);
      lv.note_placed(h, free.probes);
      ++len_;
      --remaining_;
    }

    // The slot choices. A refill reads the levels' free lanes from its counts
    // (see FillCounts) rather than load control bytes it has just written.
    [[gnu::always_inline]] ElasticPlace choose(uint64_t h) const noexcept {
      const std::span<const LevelType> levels(levels_, count_);
      if constexpr (kRefill)
        return choose_elastic_slot<true>(
            levels, b_, h, [this](uint64_t i, uint64_t g) { return counts_->free_lanes(i, g); });
      else
        return choose_elastic_slot(levels, b_, h);
    }
    [[gnu::always_inline]] FreeSlot first_level_free_slot(const LevelType& lv,
                                                          uint64_t h) const noexcept {
      if constexpr (kRefill)
        return lv.template find_free_slot<true>(h, lv.groups(), [this](uint64_t g) {
          return FillCounts<A>::free_lanes(first_counts_[g]);
        });
      else
        return lv.find_free_slot(h, lv.groups());
    }
    // Level i's place_made; a refill counts the entry in, and leaves the
    // level's hint to finish().
    template <class Make>
    [[gnu::always_inline]] void put(LevelType& lv, uint64_t i, uint64_t slot, uint8_t tag,
                                    Make& make) noexcept(kRefill) {
      if constexpr (kRefill) {
        QUENLOR_DCHECK(lv.table().match_free(slot / kGroupWidth).lowest() == slot % kGroupWidth);
        // Two steps: GCC 12 with -fsanitize=undefined miscompiles
        // ++(c ? p : f())[k], incrementing the wrong count.
        uint8_t* const level_counts = i == 0 ? first_counts_ : counts_->of(i);
        ++level_counts[slot / kGroupWidth];
        lv.place_made_during_fill(slot, tag, make);
      } else {
        lv.place_made(slot, tag, make);
      }
    }

    // advance_batch on the local copies. A refill finds every level recorded.
    // The copies go in and out by value: a placer whose address reached a
    // call that is not inlined would keep them in memory, reloaded after
    // every entry it writes.
    struct Position {
      LevelType* levels;
      uint64_t count, b, remaining;
    };
    void advance() noexcept(kRefill) {
      const Position p = advanced(m_, {levels_, count_, b_, remaining_}, plan_, plan_size_);
      levels_ = p.levels;
      count_ = p.count;
      b_ = p.b;
      remaining_ = p.remaining;
    }
    [[gnu::noinline]] static Position advanced(ElasticHashMap& m, Position p, const uint64_t* plan,
                                               uint64_t plan_size) noexcept(kRefill) {
      if constexpr (!kRefill) {
        m.record_every_level();  // may move the records
        p.levels = m.levels_.data();
        p.count = m.levels_.size();
      }
      QUENLOR_DCHECK(p.count == m.batch_plan_.level_count());
      next_batch(plan, plan_size, p.b, p.remaining);
      return p;
    }

    ElasticHashMap& m_;
    FillCounts<A>* counts_ = nullptr;  // a refill's
    uint8_t* first_counts_ = nullptr;  // its counts of level 0
    LevelType* levels_;
    uint64_t count_;
    const uint64_t* plan_;
    uint64_t plan_size_;
    uint64_t b_, remaining_, populated_, len_;
    bool loaded_ = false;
  };
  using Refill = BatchPlacer<true>;

 public:
  // Inserts keys the caller knows are new: no stored key equals one, nor
  // does any other key inserted through it (a copy of a map's keys into an
  // empty map, say). Each lands, and the map grows, exactly as by
  // insert_new_made, with the batch position kept locally between
  // insertions. The map must not be used otherwise until finish() or the
  // end of this object.
  class NewKeys {
   public:
    explicit NewKeys(ElasticHashMap& m) noexcept : m_(m), placer_(m) {}

    uint64_t slot_hash(const K& key) const noexcept { return m_.slot_hash(key); }
    uint64_t capacity() const noexcept { return m_.capacity(); }
    // The placer's batch is ahead of the map's until finish().
    void prefetch_new(uint64_t h) const noexcept {
      if (placer_.loaded()) {
        placer_.prefetch(h);
      } else {
        m_.prefetch_new(h);
      }
    }

    void prefetch_new_slot(uint64_t h) const noexcept {
      if (placer_.loaded()) {
        placer_.prefetch_slot(h);
      } else {
        m_.prefetch_new_slot(h);
      }
    }

    // insert_new_made(h, make).
    template <class Make>
    [[gnu::always_inline]] void insert_made(uint64_t h, Make&& make) {
      if (placer_.len() < m_.max_insertions_) [[likely]]
        return placer_.place_made(h, make);
      placer_.finish();  // growth: the map's own path, then its new levels
      m_.insert_new_made(h, make);
      placer_.load();
    }
    void finish() noexcept { placer_.finish(); }

   private:
    ElasticHashMap& m_;
    BatchPlacer<false> placer_;
  };

 private:
  // ---- rebuild (cold) -----------------------------------------------------

  // With `every_level` every level gets its record and its block now.
  // Otherwise only level 0, where the first keys go, gets either (see
  // record_every_level); the others get their blocks at their first
  // placement, so a map that stays small never pays for levels it does not
  // use.
  Geometry build_geometry(uint64_t capacity, bool every_level) const {
    Geometry g;
    if (capacity == 0) return g;  // every new map: no levels, no plan, nothing to look up
    g.max_insertions = max_insertions_for(capacity, reserve_fraction_);
    std::optional<ElasticPlanCache::Item> scratch;
    g.plan =
        ElasticPlanCache::get(capacity, g.max_insertions, reserve_fraction_, probe_scale_, scratch)
            .plan;
    // Read through locals: every level built would otherwise reload them.
    const uint64_t* const sizes = g.plan.level_sizes().data();
    const LevelBudget* const budgets = &g.plan.budget(0);
    const uint64_t count = every_level ? g.plan.level_count() : 1;
    g.levels.reserve(count);
    for (uint64_t i = 0; i < count; ++i)
      g.levels.emplace_back(sizes[i], i, budgets[i], alloc_, every_level);
    // Searches start in level 0, so it has a block; a map that moves no
    // entries in takes a short one if the level is a single group.
    if (!every_level) g.levels[0].allocate();
    return g;
  }

  // Leaves the map empty on the new geometry; the caller re-places entries.
  void install(Geometry&& g, uint64_t capacity) noexcept {
    levels_ = std::move(g.levels);
    batch_plan_ = std::move(g.plan);
    capacity_ = capacity;
    max_insertions_ = g.max_insertions;
    len_ = 0;
    reset_batches();
  }

  [[gnu::noinline]] void rebuild(uint64_t new_capacity) {
    // Entries are moved in without a chance to fail, so every level a moved
    // entry could land in must already have its block.
    Geometry g = build_geometry(new_capacity, len_ != 0);
    if (g.plan.total_slots() < len_) fatal("no free slot found after resize");
    FillCounts<A> counts(g.levels, alloc_);  // none when memory is short
    RecordVector<LevelType, A> old = std::move(levels_);
    const SharedElasticPlan old_plan = std::move(batch_plan_);  // what `old` points into
    install(std::move(g), new_capacity);
    // Every entry finds a slot: the new levels have at least len slots and
    // the fallback probes every group of every level.
    // Without memory for the counts (or in tests), as insertions of new keys.
    if (refill_plainly || !counts.available()) [[unlikely]] {
      for (LevelType& lv : old) lv.drain([this](EntryType&& e) { place_plainly(std::move(e)); });
      return;
    }
    Refill r(*this, counts);
    for (LevelType& lv : old)
      lv.drain([&r, this](EntryType&& e) {
        const uint64_t h = hash_of(e.key);
        r.place(std::move(e), h);
      });
  }

  [[gnu::noinline]] void grow() { rebuild(grown_capacity(capacity_)); }

  [[gnu::noinline]] void purge() {
    // Set until the purge succeeds: with it clear, only tables emptied
    // since the last purge check can need a purge.
    purge_deferred_ = true;
    purge_unless_memory_is_short([this] {
      if (purge_by_rebuild) [[unlikely]]
        rebuild(capacity_);
      else
        purge_in_place();
      purge_deferred_ = false;
    });
  }

  // rebuild(capacity_) without new levels: the capacity, hence the geometry
  // and the plan, stays, so the levels are emptied in place (as new ones
  // are) and the entries, moved out in traversal order, are re-placed in
  // that order from batch 0, landing exactly where a rebuild would put them.
  // Like a rebuild it compares no keys. Throws std::bad_alloc (the buffer,
  // or the block of a level that has none yet, which a re-placed entry
  // might need) before anything moved.
  void purge_in_place() {
    std::vector<EntryType> moved;
    if (len_ != 0) {
      moved.reserve(len_);
      allocate_all_levels();
    }
    FillCounts<A> counts(levels_, alloc_);
    for (LevelType& lv : levels_) lv.drain([&](EntryType&& e) { moved.push_back(std::move(e)); });
    len_ = 0;
    reset_batches();
    if (refill_plainly || !counts.available()) [[unlikely]] {
      for (EntryType& e : moved) place_plainly(std::move(e));
      return;
    }
    // Entries land all over the levels: the first group of the ones a few
    // steps ahead starts loading early, in the levels of the current batch,
    // so that the misses overlap.
    constexpr uint64_t kAhead = 16;
    const uint64_t count = moved.size();
    const bool prefetch = !levels_.empty() && worth_prefetching(levels_[0].slots());
    Refill r(*this, counts);
    for (uint64_t i = 0; i < count; ++i) {
      if (prefetch && i + kAhead < count) r.prefetch(hash_of(moved[i + kAhead].key));
      const uint64_t h = hash_of(moved[i].key);
      r.place(std::move(moved[i]), h);
    }
  }

  // ---- what TableIter and ExtractIf need --------------------------------------

  template <class, class>
  friend class quenlor::ExtractIf;

  ElasticLevels<LevelType> traversal() const noexcept { return {levels_.data(), levels_.size()}; }
  EntryType take_traversed(uint64_t level, uint64_t slot) noexcept {
    --len_;
    return levels_[level].vacate(slot);
  }
  template <class P>
  std::optional<EntryType> take_tail_if(uint64_t&, P&) noexcept {
    return std::nullopt;
  }
  // The purge check of a removing walk that vacated slots of table `table`
  // only (kNoTable: none), or of several tables.
  void purge_after_extraction(uint64_t table, bool several) {
    if (several || purge_deferred_) return purge_if_any_table_needs_it();
    if (table < levels_.size() && levels_[table].needs_purge()) purge();
  }
  void purge_if_any_table_needs_it() {
    for (const LevelType& lv : levels_) {
      if (lv.needs_purge()) {
        purge();
        return;
      }
    }
  }

  RecordVector<LevelType, A> levels_;
  SharedElasticPlan batch_plan_;  // quotas, and the budgets levels_ point into
  ResetOnMove<uint64_t> len_;
  ResetOnMove<uint64_t> capacity_;
  ResetOnMove<uint64_t> max_insertions_;
  double reserve_fraction_;
  double probe_scale_;
  ResetOnMove<uint64_t> batch_index_;
  ResetOnMove<uint64_t> batch_remaining_;
  ResetOnMove<uint64_t> max_populated_level_;
  bool purge_deferred_ = false;  // a purge was skipped for lack of memory
  S hasher_;
  [[no_unique_address]] A alloc_;
};

}  // namespace quenlor

#include "elastic/elastic_consistency.hpp"
