// One level of the elastic map: a RawTable of 16 × 2^k slots plus its counters
// and its precomputed probe budgets.
//
// Probing is group at a time along a triangular sequence: the first group is
// (salt ^ h) & group_mask and the j-th step adds j, so with a power-of-two
// group count the first `groups` visits cover every group exactly once. The
// per-level salt decorrelates the start positions of different levels.
//
// Invariants: len counts full slots and tombstones counts DELETED ones; an
// entry is reachable from the start of its key's sequence without crossing a
// group that holds an EMPTY byte (insertion takes the first group with a free
// lane, and EMPTY bytes are only ever turned into full ones until a reset).
//
// probe_limits[f], for f free slots, is how many groups a budgeted insertion
// probe may visit: about 1 + (probe_scale / 16) × min(log2²(slots / f),
// log2(1 / δ)). It is precomputed so that insertion only indexes an array.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <memory>
#include <span>
#include <utility>
#include <vector>

#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/entry.hpp"
#include "common/layout/group.hpp"
#include "common/layout/raw_table.hpp"
#include "common/saturating.hpp"
#include "elastic/level_geometry.hpp"

namespace quenlor {

template <class K, class V, class A = ZeroedAllocator>
class Level {
 public:
  using Slot = Entry<K, V>;
  using Table = RawTable<Slot, A>;
  static constexpr uint64_t kNoSlot = ~uint64_t{0};

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

  // `slots` is 16 × a power of two (partition_levels guarantees it).
  // Throws std::bad_alloc (LayoutOverflow for impossible sizes).
  static Level with_capacity_in(uint64_t slots, uint64_t index, double delta, double probe_scale,
                                A alloc = A()) {
    Level lv;
    lv.table_ = Table::with_capacity_in(slots, alloc);
    lv.probe_limits_ =
        build_probe_limits(lv.table_.slots(), lv.table_.groups(), delta, probe_scale);
    lv.salt_ = (index + 1) * 0x9E3779B97F4A7C15ull;
    lv.group_mask_ = lv.table_.groups() == 0 ? 0 : lv.table_.groups() - 1;
    lv.reserve_threshold_ = level_reserve_threshold(lv.table_.slots(), delta);
    return lv;
  }

  Level(Level&& o) noexcept
      : table_(std::move(o.table_)),
        probe_limits_(std::move(o.probe_limits_)),
        len_(std::exchange(o.len_, 0)),
        salt_(o.salt_),
        group_mask_(std::exchange(o.group_mask_, 0)),
        tombstones_(std::exchange(o.tombstones_, 0)),
        reserve_threshold_(o.reserve_threshold_) {}
  Level& operator=(Level&& o) noexcept {
    if (this != &o) {
      std::destroy_at(this);
      std::construct_at(this, std::move(o));
    }
    return *this;
  }
  Level(const Level&) = delete;
  Level& operator=(const Level&) = delete;
  ~Level() {
    if (len_ != 0) table_.destroy_entries();
  }

  uint64_t slots() const noexcept { return table_.slots(); }
  uint64_t groups() const noexcept { return table_.groups(); }
  uint64_t len() const noexcept { return len_; }
  uint64_t tombstones() const noexcept { return tombstones_; }
  uint64_t free_slots() const noexcept { return table_.slots() - len_; }
  bool has_free_slot() const noexcept { return len_ < table_.slots(); }
  uint64_t salt() const noexcept { return salt_; }
  uint64_t group_mask() const noexcept { return group_mask_; }
  uint64_t reserve_threshold() const noexcept { return reserve_threshold_; }
  uint64_t probe_limit(uint64_t free) const noexcept { return probe_limits_[free]; }
  std::span<const uint64_t> probe_limits() const noexcept { return probe_limits_; }
  const Table& table() const noexcept { return table_; }
  const Slot& entry(uint64_t i) const noexcept { return table_.entry(i); }
  Slot& entry(uint64_t i) noexcept { return table_.entry(i); }

  ProbeSeq probe_seq(uint64_t h) const noexcept {
    return ProbeSeq((salt_ ^ h) & group_mask_, group_mask_);
  }

  // Slot of the entry whose key equals `key`, or kNoSlot. Requires groups() > 0.
  uint64_t find(uint64_t h, uint8_t tag, const K& key) const {
    ProbeSeq seq = probe_seq(h);
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      uint64_t g = seq.group();
      table_.prefetch_group_entries(g);
      Group grp = table_.group(g);
      for (unsigned lane : grp.match_tag(tag)) {
        uint64_t i = g * kGroupWidth + lane;
        if (table_.entry(i).key == key) return i;
      }
      if (grp.match_empty() || visited == table_.groups()) return kNoSlot;
    }
  }

  // First free slot within the first `budget` groups of the sequence, or
  // kNoSlot. Requires has_free_slot() and budget ≥ 1; a budget of groups()
  // always succeeds then.
  uint64_t find_free(uint64_t h, uint64_t budget) const noexcept {
    ProbeSeq seq = probe_seq(h);
    for (uint64_t visited = 1;; ++visited, seq.advance()) {
      LaneMask free = table_.match_free(seq.group());
      if (free) return seq.group() * kGroupWidth + free.lowest();
      if (visited >= budget) return kNoSlot;
    }
  }

  void place(uint64_t i, Slot&& e, uint8_t tag) noexcept {
    if (table_.write_full(i, std::move(e), tag) == DELETED) --tombstones_;
    ++len_;
  }

  // Removal always leaves DELETED: later entries of this level may have probed
  // past this slot's group.
  Slot take(uint64_t i) noexcept {
    Slot out = table_.take(i);
    table_.set_ctrl(i, DELETED);
    --len_;
    ++tombstones_;
    return out;
  }

  void clear() noexcept {
    if (len_ != 0) {
      table_.destroy_entries();
    } else if (tombstones_ != 0) {
      table_.reset_ctrl();
    }
    len_ = tombstones_ = 0;
  }

  // After the owner has moved out and destroyed every live entry itself.
  void forget_drained() noexcept {
    table_.reset_ctrl();
    len_ = tombstones_ = 0;
  }

 private:
  Level() noexcept = default;

  static std::vector<uint64_t> build_probe_limits(uint64_t slots, uint64_t groups, double delta,
                                                  double probe_scale) {
    if (slots >= std::vector<uint64_t>().max_size()) throw LayoutOverflow();
    std::vector<uint64_t> limits(slots + 1, 1);
    if (groups < 2) return limits;

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
    // Larger budgets win where thresholds overlap.
    uint64_t bound = 0;
    for (size_t j = thresholds.size(); j-- > 0;) {
      if (thresholds[j] > bound) {
        std::fill(limits.begin() + static_cast<std::ptrdiff_t>(bound + 1),
                  limits.begin() + static_cast<std::ptrdiff_t>(thresholds[j] + 1), j + 2);
        bound = thresholds[j];
      }
    }
    return limits;
  }

  Table table_;
  std::vector<uint64_t> probe_limits_;
  uint64_t len_ = 0;
  uint64_t salt_ = 0;
  uint64_t group_mask_ = 0;
  uint64_t tombstones_ = 0;
  uint64_t reserve_threshold_ = 0;
};

}  // namespace quenlor
