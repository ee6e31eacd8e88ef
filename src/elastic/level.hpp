// One level of the elastic map: a counted table of 16 × 2^k slots plus its
// probe sequence and its precomputed probe budgets.
//
// Probing is group at a time along a triangular sequence: the first group is
// (salt ^ h) & group_mask and the j-th step adds j, so with a power-of-two
// group count the first `groups` visits cover every group exactly once. The
// per-level salt decorrelates the start positions of different levels.
//
// Removal always leaves DELETED (AlwaysDeleted): a key's sequence crosses
// several groups, so later entries may have probed past any slot.
//
// Invariants: an entry is reachable from the start of its key's sequence
// without crossing a group that holds an EMPTY byte (insertion takes the first
// group with a free lane, and EMPTY bytes are only ever turned into full ones
// until a reset), and every group it went past carries its hash's mark (set by
// note_placed, cleared only by a reset). At high load almost every group is
// full, so the marks are what keeps a search short: a miss stops at the first
// group no key with its mark went past.
//
// The level's reserve threshold and probe budgets (LevelBudget) live in its
// map's plan, shared by the levels of every map built from it; the level
// points to them. Its slot count is its group mask's, so the record holds
// only what searches read and what changes.
//
// A level's table is allocated at its first placement (or up front, see
// with_capacity_in): until then the level has its geometry but no block, holds
// nothing, and answers slot choice as an all-EMPTY table would, so keys land in
// the same slots whether or not the block existed beforehand. A one-group
// level's block starts short (RawTable::short_in) and widens as keys fill its
// lanes, unless a rebuild or purge that moves entries in needs it whole.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/key_match.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/counted_table.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/hasher.hpp"
#include "common/layout/lane_mask.hpp"
#include "common/layout/removal_rule.hpp"
#include "common/saturating.hpp"
#include "elastic/level_geometry.hpp"
#include "elastic/placement.hpp"

namespace quenlor {

template <class K, class V, class A = ZeroedAllocator>
class Level : public CountedTable<Entry<K, V>, AlwaysDeleted, A, true> {
  using Base = CountedTable<Entry<K, V>, AlwaysDeleted, A, true>;

 public:
  using Slot = Entry<K, V>;
  using Table = typename Base::Table;
  static constexpr uint64_t kNoSlot = kNoLevelSlot;

  // Position along the level's triangular group sequence.
  class ProbeSeq {
   public:
    ProbeSeq(uint64_t first, uint64_t mask) noexcept : group_(first), mask_(mask) {}
    uint64_t group() const noexcept { return group_; }
    void advance() noexcept {
      ++stride_;
      group_ = (group_ + stride_) & mask_;
    }

   private:
    uint64_t group_;
    uint64_t mask_;
    uint64_t stride_ = 0;
  };

  using ProbeStep = quenlor::ProbeStep;

  // `slots` is 16 × a power of two (partition_levels guarantees it), and
  // `budget` that of its size, outliving the level. The level built in
  // place, with its whole block when `with_block` (otherwise allocate() adds
  // one later). Throws std::bad_alloc (LayoutOverflow for impossible sizes).
  Level(uint64_t slots, uint64_t index, const LevelBudget& budget, A alloc, bool with_block)
      : budget_(&budget),
        salt_(table_salt(index)),
        group_mask_(slots / kGroupWidth - 1),
        alloc_(alloc) {
    QUENLOR_DCHECK(slots >= kGroupWidth && slots % kGroupWidth == 0 &&
                   std::has_single_bit(slots / kGroupWidth));
    // Most levels of a new map start without a block: no table to move in.
    if (with_block) allocate(true);
  }

  // The level's geometry without its block. Throws std::bad_alloc.
  static Level planned(uint64_t slots, uint64_t index, const LevelBudget& budget, A alloc = A()) {
    return Level(slots, index, budget, alloc, false);
  }

  // The level with its block.
  static Level with_capacity_in(uint64_t slots, uint64_t index, const LevelBudget& budget,
                                A alloc = A()) {
    return Level(slots, index, budget, alloc, true);
  }

  Level(Level&&) noexcept = default;
  Level& operator=(Level&&) noexcept = default;

  bool allocated() const noexcept { return this->table().slots() != 0; }
  // Gives the level its all-EMPTY block: a one-group level a short one
  // (RawTable::short_in) unless `whole`. Throws std::bad_alloc with the level
  // unchanged.
  void allocate(bool whole = false) {
    QUENLOR_DCHECK(!allocated());
    static_cast<Base&>(*this) =
        whole || groups() > 1 ? Base::with_capacity_in(slots(), alloc_) : Base::short_in(alloc_);
    QUENLOR_DCHECK(this->table().slots() == slots());
  }
  // What a placement into free slot i needs first: the block, with room at
  // i. Throws std::bad_alloc with the level unchanged.
  void make_room(uint64_t i) {
    if (!this->table().has_lane(i)) [[unlikely]]
      provide_lane(i);
  }
  // The whole block, for placements that must not fail (rebuilds, purges).
  void allocate_fully() {
    if (!allocated()) {
      allocate(true);
    } else {
      this->widen_fully();
    }
  }

  // The geometry, whether or not the block exists yet.
  uint64_t slots() const noexcept { return groups() * kGroupWidth; }
  uint64_t groups() const noexcept { return group_mask_ + 1; }
  uint64_t free_slots() const noexcept { return slots() - this->len(); }
  bool has_free_slot() const noexcept { return this->len() < slots(); }
  bool needs_purge() const noexcept { return this->tombstones() > slots() / 2; }

  uint64_t salt() const noexcept { return salt_; }
  uint64_t group_mask() const noexcept { return group_mask_; }
  uint64_t reserve_threshold() const noexcept { return budget_->reserve_threshold; }
  // At most groups(): the whole sequence is the largest budget that means anything.
  uint64_t probe_limit(uint64_t free) const noexcept {
    QUENLOR_DCHECK(free <= slots());
    return budget_->probe_limit(free);
  }
  std::span<const ProbeStep> probe_steps() const noexcept { return budget_->steps; }
  const LevelBudget& budget() const noexcept { return *budget_; }

  ProbeSeq probe_seq(uint64_t h) const noexcept {
    return ProbeSeq((salt_ ^ h) & group_mask_, group_mask_);
  }

  // Removals leave DELETED bytes and never EMPTY ones, so after churn few
  // groups show EMPTY and a miss would walk most of the level. Every entry
  // lies within the longest sequence prefix any placement used since the
  // level was last emptied, so searches stop there.
  uint64_t longest_probe() const noexcept { return longest_probe_; }
  // A placement of a key with hash h found its slot in the `probes`-th
  // group of its sequence (FreeSlot::probes); the groups before it, full,
  // get the key's mark.
  void note_placed(uint64_t h, uint64_t probes) noexcept {
    QUENLOR_DCHECK(probes >= 1 && probes <= this->groups());
    if (probes > 1) {
      const uint8_t bit = Table::mark_bit(h);
      ProbeSeq seq = probe_seq(h);
      for (uint64_t passed = 1; passed < probes; ++passed, seq.advance())
        this->mark_group(seq.group(), bit);
    }
    if (probes > longest_probe_) longest_probe_ = probes;
  }
  void clear() noexcept {
    Base::clear();
    longest_probe_ = 0;
  }
  // Base::drain, leaving the level as a new one: no probe made yet.
  template <class F>
  void drain(F&& f) noexcept {
    Base::drain(f);
    longest_probe_ = 0;
  }

  // The first entry along h's sequence, up to the first group showing EMPTY,
  // the first no key like this one went past (its mark) or the longest
  // probe, whose key satisfies `is_key`, as its address (0: none). Requires
  // groups() > 0. kPrefetch: start loading a group's entries with its
  // control bytes (worth it beyond the caches only). kQuick: compare by
  // is_key.quick() only; the first candidate it cannot decide ends the
  // search, returned with kUndecided added, for the caller to compare in full
  // (see KeyEquals). An address rather than a slot: a hit then needs no
  // second address computation, nor a test of which answer came back.
  static constexpr uintptr_t kUndecided = 1;  // entries are aligned
  template <bool kPrefetch, bool kQuick, class IsKey>
  [[gnu::always_inline]] uintptr_t find(uint64_t h, Group::SpreadTag tag,
                                        const IsKey& is_key) const {
    static_assert(alignof(Entry<K, V>) > kUndecided);
    const Table& t = this->table();
    ProbeSeq seq = probe_seq(h);
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      const uint64_t g = seq.group();
      if constexpr (kPrefetch) t.prefetch_group_entries(g);
      const Group grp = t.group(g);
      for (unsigned lane : grp.match_tag(tag)) {
        const auto& e = t.entry(g * kGroupWidth + lane);
        const auto at = reinterpret_cast<uintptr_t>(&e);
        if constexpr (kQuick) {
          const KeyMatch verdict = is_key.quick(e.key);
          if (verdict == KeyMatch::Equal) return at;
          if (verdict == KeyMatch::Undecided) return at | kUndecided;
        } else if (is_key(e.key)) {
          return at;
        }
      }
      // A single group has no marks, and its longest probe is 1.
      if (grp.match_empty() || visited >= longest_probe_ || !t.group_marked(g, Table::mark_bit(h)))
        return 0;
    }
  }

  // First free slot within the first `budget` groups of the sequence and the
  // number of groups visited to find it, or kNoSlot. Requires
  // has_free_slot() and budget ≥ 1; a budget of groups() always succeeds
  // then. kAllocated: the caller knows the level has its block.
  template <bool kAllocated = false>
  FreeSlot find_free_slot(uint64_t h, uint64_t budget) const noexcept {
    const Table& t = this->table();
    return find_free_slot<kAllocated>(h, budget, [&t](uint64_t g) { return t.match_free(g); });
  }
  // The same with each group's free lanes from free_lanes(g) (a fill's
  // counts, see FillCounts) rather than from its control bytes.
  template <bool kAllocated, class FreeLanes>
  FreeSlot find_free_slot(uint64_t h, uint64_t budget, FreeLanes&& free_lanes) const noexcept {
    QUENLOR_DCHECK(this->has_free_slot() && budget >= 1 && budget <= this->groups());
    QUENLOR_DCHECK(!kAllocated || allocated());
    const Table& t = this->table();
    ProbeSeq seq = probe_seq(h);
    // No block yet: every group is free, the first one wins.
    if (!kAllocated && t.slots() == 0) [[unlikely]]
      return {seq.group() * kGroupWidth, 1};
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      LaneMask free = free_lanes(seq.group());
      if (free) return {seq.group() * kGroupWidth + free.lowest(), visited};
      if (visited >= budget) return {kNoSlot, 0};
    }
  }

 private:
  [[gnu::noinline]] void provide_lane(uint64_t i) {
    if (!allocated()) allocate();
    Base::make_room(i);
  }

  const LevelBudget* budget_;  // in the map's plan
  uint64_t salt_ = 0;
  uint64_t group_mask_ = 0;  // groups - 1
  [[no_unique_address]] A alloc_{};
  uint64_t longest_probe_ = 0;  // in groups, at most groups()
};

// The levels as a table sequence for traversal (TableIter, ExtractIf).
template <class L>
struct ElasticLevels {
  const L* levels;
  uint64_t count;

  uint64_t table_count() const noexcept { return count; }
  const L& table(uint64_t i) const noexcept { return levels[i]; }
  const typename L::Slot* tail_entry(uint64_t) const noexcept { return nullptr; }
};

}  // namespace quenlor
