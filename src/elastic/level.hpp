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
// Invariant: an
// entry is reachable from the start of its key's sequence without crossing a
// group that holds an EMPTY byte (insertion takes the first group with a free
// lane, and EMPTY bytes are only ever turned into full ones until a reset).
//
// probe_limit(f), for f free slots, is how many groups a budgeted insertion
// probe may visit: about 1 + (probe_scale / 16) × min(log2²(slots / f),
// log2(1 / δ)). It is a step function of f with few steps (three at the
// default options), so the level keeps the steps, computed once at
// construction, rather than one budget per free-slot count: no logarithms,
// roots or powers per insertion, and no memory in proportion to the slots.
//
// A level's table is allocated at its first placement (or up front, see
// with_capacity_in): until then the level has its geometry but no block, holds
// nothing, and answers slot choice as an all-EMPTY table would, so keys land in
// the same slots whether or not the block existed beforehand.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/counted_table.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/hasher.hpp"
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

  // One step of the budget function: free counts above the previous step's
  // `most_free` and up to this one allow `groups` groups; above the last
  // step, one group.
  struct ProbeStep {
    uint64_t most_free;
    uint64_t groups;
    friend bool operator==(const ProbeStep&, const ProbeStep&) = default;
  };

  // `slots` is 16 × a power of two (partition_levels guarantees it). The
  // level built in place, with its block when `with_block` (otherwise
  // allocate() adds it later). Throws std::bad_alloc (LayoutOverflow for
  // impossible sizes) before any budget is computed.
  Level(uint64_t slots, uint64_t index, double delta, double probe_scale, A alloc, bool with_block)
      : Level(slots, index, delta, probe_scale, alloc, with_block,
              level_reserve_threshold(slots, delta)) {}
  // The same with level_reserve_threshold(slots, delta) already known.
  Level(uint64_t slots, uint64_t index, double delta, double probe_scale, A alloc, bool with_block,
        uint64_t reserve_threshold)
      : Base(with_block ? Base::with_capacity_in(slots, alloc) : Base()),
        slots_(slots),
        salt_(table_salt(index)),
        group_mask_(slots < kGroupWidth ? 0 : slots / kGroupWidth - 1),
        reserve_threshold_(reserve_threshold),
        alloc_(alloc) {
    QUENLOR_DCHECK(!with_block || this->table().slots() == slots_);
    if (groups() >= 2) probe_steps_ = build_probe_steps(slots, groups(), delta, probe_scale);
  }

  // The level's geometry without its block. Throws std::bad_alloc.
  static Level planned(uint64_t slots, uint64_t index, double delta, double probe_scale,
                       A alloc = A()) {
    return Level(slots, index, delta, probe_scale, alloc, false);
  }

  // The level with its block.
  static Level with_capacity_in(uint64_t slots, uint64_t index, double delta, double probe_scale,
                                A alloc = A()) {
    return Level(slots, index, delta, probe_scale, alloc, true);
  }

  Level(Level&&) noexcept = default;
  Level& operator=(Level&&) noexcept = default;

  bool allocated() const noexcept { return this->table().slots() != 0 || slots_ == 0; }
  // Gives the level its all-EMPTY block. Throws std::bad_alloc with the level
  // unchanged.
  void allocate() {
    QUENLOR_DCHECK(!allocated());
    static_cast<Base&>(*this) = Base::with_capacity_in(slots_, alloc_);
    QUENLOR_DCHECK(this->table().slots() == slots_);
  }

  // The geometry, whether or not the block exists yet.
  uint64_t slots() const noexcept { return slots_; }
  uint64_t groups() const noexcept { return slots_ / kGroupWidth; }
  uint64_t free_slots() const noexcept { return slots_ - this->len(); }
  bool has_free_slot() const noexcept { return this->len() < slots_; }
  bool needs_purge() const noexcept { return this->tombstones() > slots_ / 2; }

  uint64_t salt() const noexcept { return salt_; }
  uint64_t group_mask() const noexcept { return group_mask_; }
  uint64_t reserve_threshold() const noexcept { return reserve_threshold_; }
  // At most groups(): the whole sequence is the largest budget that means anything.
  uint64_t probe_limit(uint64_t free) const noexcept {
    QUENLOR_DCHECK(free <= slots_);
    if (free == 0) return 1;
    const auto it = std::partition_point(probe_steps_.begin(), probe_steps_.end(),
                                         [free](const ProbeStep& s) { return s.most_free < free; });
    return it == probe_steps_.end() ? 1 : it->groups;
  }
  std::span<const ProbeStep> probe_steps() const noexcept { return probe_steps_; }

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

  // Slot of the first entry along h's sequence, up to the first group showing
  // EMPTY, the first no key like this one went past (its mark) or the longest
  // probe, whose key satisfies `is_key`, or kNoSlot. Requires groups() > 0.
  // kPrefetch: start loading a group's entries with its control bytes (worth
  // it beyond the caches only).
  template <bool kPrefetch, class IsKey>
  uint64_t find(uint64_t h, uint8_t tag, IsKey&& is_key) const {
    const Table& t = this->table();
    ProbeSeq seq = probe_seq(h);
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      uint64_t g = seq.group();
      if constexpr (kPrefetch) t.prefetch_group_entries(g);
      Group grp = t.group(g);
      for (unsigned lane : grp.match_tag(tag)) {
        uint64_t i = g * kGroupWidth + lane;
        if (is_key(t.entry(i).key)) return i;
      }
      // A single group has no marks, and its longest probe is 1.
      if (grp.match_empty() || visited >= longest_probe_ || !t.group_marked(g, Table::mark_bit(h)))
        return kNoSlot;
    }
  }

  // First free slot within the first `budget` groups of the sequence and the
  // number of groups visited to find it, or kNoSlot. Requires
  // has_free_slot() and budget ≥ 1; a budget of groups() always succeeds
  // then. kAllocated: the caller knows the level has its block.
  template <bool kAllocated = false>
  FreeSlot find_free_slot(uint64_t h, uint64_t budget) const noexcept {
    QUENLOR_DCHECK(this->has_free_slot() && budget >= 1 && budget <= this->groups());
    QUENLOR_DCHECK(!kAllocated || allocated());
    const Table& t = this->table();
    ProbeSeq seq = probe_seq(h);
    // No block yet: every group is free, the first one wins.
    if (!kAllocated && t.slots() == 0) [[unlikely]]
      return {seq.group() * kGroupWidth, 1};
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      LaneMask free = t.match_free(seq.group());
      if (free) return {seq.group() * kGroupWidth + free.lowest(), visited};
      if (visited >= budget) return {kNoSlot, 0};
    }
  }

 private:
  static std::vector<ProbeStep> build_probe_steps(uint64_t slots, uint64_t groups, double delta,
                                                  double probe_scale) {
    std::vector<ProbeStep> steps;
    if (groups < 2) return steps;

    // thresholds[k - 2]: the most free slots at which k groups are allowed.
    const double log2_inv_delta = std::log2(1.0 / delta);
    std::vector<uint64_t> thresholds;
    for (uint64_t k = 2; k <= groups; ++k) {
      double x = static_cast<double>(16 * (k - 1)) / probe_scale;
      if (x >= log2_inv_delta) break;
      uint64_t t = f64_to_u64_sat(std::ceil(static_cast<double>(slots) / std::exp2(std::sqrt(x))));
      if (t < 2) break;
      thresholds.push_back(std::min(slots, t - 1));
    }
    // Larger budgets win where thresholds overlap: walking from the largest
    // budget down, a smaller one only adds the free counts above the bound.
    uint64_t bound = 0;
    for (size_t j = thresholds.size(); j-- > 0;) {
      if (thresholds[j] > bound) {
        steps.push_back({thresholds[j], j + 2});
        bound = thresholds[j];
      }
    }
    steps.shrink_to_fit();
    return steps;
  }

  std::vector<ProbeStep> probe_steps_;  // most_free increasing, groups decreasing
  uint64_t slots_ = 0;
  uint64_t salt_ = 0;
  uint64_t group_mask_ = 0;
  uint64_t reserve_threshold_ = 0;
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
