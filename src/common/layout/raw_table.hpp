// RawTable: a fixed array of entry slots in groups of 16 with one control byte
// per slot, in a single 64-byte-aligned block whose control bytes start EMPTY:
//
//   [ slots x T entries | pad to 64 | slots control bytes | group marks ]
//
// Group loads never reach past the last control byte, so the block ends
// there: a one-group table is 400 bytes, not 448.
// A one-group table may start short (short_in): its block holds the first 4
// or 8 entry slots only, and widen_to() moves it into a larger block before a
// later lane is written. Its owner places into the lowest free lane of the
// group, so a small map fills the lanes in order and pays for the ones it
// uses (with 24-byte entries, 112 bytes for 4 instead of 400). Only the block
// is short: the slot count, the control bytes and every placement are those
// of the full table.
// Group marks (kGroupMarks, tables of two groups or more): one byte per group
// for owners that probe from group to group. Bit b of a group's byte is set
// once a key whose hash selects b (mark_bit) went past the group because it
// was full; a clear bit proves that no such key lies further along a sequence
// through the group, so a search can stop there. Bits are only cleared by a
// reset, like EMPTY bytes.
// A table is built once with its final slot count, which never changes; an
// entry stays in its slot until it is taken out or the table is discarded.
// The table knows nothing of keys or hashing and keeps no counts: owners
// track full and DELETED slots, destroy live entries before dropping the
// table, and decide what a vacated slot's control byte becomes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <utility>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/group.hpp"
#include "common/probe_stats.hpp"

namespace quenlor {

template <class T, class A = ZeroedAllocator, bool kGroupMarks = false>
class RawTable {
 public:
  struct Layout {
    std::size_t ctrl_offset;
    std::size_t total;
  };

  // Group marks of a table with `slots` slots: none for a single group,
  // which no probe goes past.
  static uint64_t mark_bytes(uint64_t slots) noexcept {
    return kGroupMarks && slots > kGroupWidth ? slots / kGroupWidth : 0;
  }

  // Byte layout for `slots` slots; LayoutOverflow when it cannot be represented.
  static Layout layout_for(uint64_t slots) {
    constexpr uint64_t kMaxSigned = uint64_t{1} << 63;
    constexpr uint64_t kMaxBytes = kMaxSigned - 64;
    if (slots > (kMaxSigned - 1) / sizeof(T)) throw LayoutOverflow();
    uint64_t entry_bytes = slots * sizeof(T);
    uint64_t ctrl_offset = (entry_bytes + 63) & ~uint64_t{63};
    if (slots > kMaxBytes || ctrl_offset > kMaxBytes - slots) throw LayoutOverflow();
    uint64_t total = ctrl_offset + slots + mark_bytes(slots);
    if (total > SIZE_MAX) throw LayoutOverflow();
    return {static_cast<std::size_t>(ctrl_offset), static_cast<std::size_t>(total)};
  }

  // The fewest entry slots a short block has.
  static constexpr uint64_t kShortLanes = 4;

  RawTable() noexcept = default;

  // At least n slots, rounded up to whole groups; n = 0 allocates nothing.
  static RawTable with_capacity_in(uint64_t n, A alloc = A()) {
    RawTable t;
    t.alloc_ = alloc;
    if (n == 0) return t;
    uint64_t groups = n / kGroupWidth + (n % kGroupWidth != 0 ? 1 : 0);
    uint64_t slots = groups * kGroupWidth;
    const Layout lay = layout_for(slots);
    t.adopt(t.allocate_block(lay, slots + mark_bytes(slots)), lay, slots);
    return t;
  }

  // A one-group table whose block has room for its first kShortLanes entries.
  static RawTable short_in(A alloc = A()) {
    RawTable t;
    t.alloc_ = alloc;
    const Layout lay = short_layout(kShortLanes);
    t.adopt(t.allocate_block(lay, kGroupWidth), lay, kGroupWidth);
    return t;
  }

  RawTable(RawTable&& o) noexcept { steal(o); }
  RawTable& operator=(RawTable&& o) noexcept {
    if (this != &o) {
      release_block();
      steal(o);
    }
    return *this;
  }
  RawTable(const RawTable&) = delete;
  RawTable& operator=(const RawTable&) = delete;
  ~RawTable() { release_block(); }

  uint64_t slots() const noexcept { return slots_; }
  // Kept as slots only: a table record is one word smaller in every level.
  uint64_t groups() const noexcept { return slots_ / kGroupWidth; }

  // Whether slot i has room for an entry: false beyond a short block and
  // everywhere in a table without a block.
  bool has_lane(uint64_t i) const noexcept {
    return reinterpret_cast<uintptr_t>(entries_) + (i + 1) * sizeof(T) <=
           reinterpret_cast<uintptr_t>(ctrl_);
  }
  // The entry slots the block has room for: slots() unless it is short.
  uint64_t lanes() const noexcept {
    return slots_ == 0 ? 0 : std::min<uint64_t>(slots_, block_entry_bytes() / sizeof(T));
  }

  // Moves a short block's entries and control bytes into a block with room
  // up to slot i at least. Throws std::bad_alloc with the table unchanged.
  void widen_to(uint64_t i) {
    QUENLOR_DCHECK(slots_ == kGroupWidth && i < slots_ && !has_lane(i));
    const Layout lay = short_layout(lanes_for(std::max(i + 1, 2 * lanes())));
    unsigned char* block = allocate_block(lay, 0);
    T* entries = reinterpret_cast<T*>(block);
    std::memcpy(block + lay.ctrl_offset, ctrl_, kGroupWidth);
    for (unsigned lane : match_full(0)) {
      ::new (static_cast<void*>(entries + lane)) T(std::move(entry(lane)));
      entry(lane).~T();
    }
    alloc_.deallocate(entries_, block_bytes());
    adopt(block, lay, kGroupWidth);
  }

  uint8_t ctrl_byte(uint64_t i) const noexcept { return ctrl_[i]; }
  void set_ctrl(uint64_t i, uint8_t c) noexcept {
    QUENLOR_DCHECK(i < slots_);
    ctrl_[i] = c;
  }
  T& entry(uint64_t i) noexcept { return *std::launder(entries_ + i); }
  const T& entry(uint64_t i) const noexcept { return *std::launder(entries_ + i); }
  // The slot of an entry of this table.
  uint64_t slot_of(const T& e) const noexcept { return static_cast<uint64_t>(&e - entries_); }

  // Every search reads control bytes through here (the match_* helpers too).
  Group group(uint64_t g) const noexcept {
    probe_stats::count_group_load();
    return Group::load(ctrl_ + g * kGroupWidth);
  }
  LaneMask match_tag(uint64_t g, uint8_t t) const noexcept { return group(g).match_tag(t); }
  LaneMask match_empty(uint64_t g) const noexcept { return group(g).match_empty(); }
  LaneMask match_free(uint64_t g) const noexcept { return group(g).match_free(); }
  LaneMask match_full(uint64_t g) const noexcept { return group(g).match_full(); }

  void prefetch_group_entries(uint64_t g) const noexcept {
    prefetch_read(entries_ + g * kGroupWidth);
  }
  void prefetch_group_ctrl(uint64_t g) const noexcept { prefetch_read(ctrl_ + g * kGroupWidth); }
  // Starts loading slot i's entry to be written. Address arithmetic only:
  // the slot may lie beyond a short block, where nothing is read.
  void prefetch_slot_write(uint64_t i) const noexcept {
    prefetch_write(
        reinterpret_cast<const void*>(reinterpret_cast<uintptr_t>(entries_) + i * sizeof(T)));
  }
  // Starts loading the entry of group g's lowest lane in `lanes`; with none,
  // the group's control bytes (just read, so nearly free) instead. No branch
  // on the lanes: whether a key's tag matches in a group is a coin toss.
  void prefetch_first_of(uint64_t g, LaneMask lanes) const noexcept {
    const auto entry =
        reinterpret_cast<uintptr_t>(entries_ + g * kGroupWidth + lanes.lowest_or_zero());
    const auto ctrl = reinterpret_cast<uintptr_t>(ctrl_ + g * kGroupWidth);
    const uintptr_t pick = uintptr_t{0} - uintptr_t{lanes.any()};
    prefetch_read(reinterpret_cast<const void*>((entry & pick) | (ctrl & ~pick)));
  }

  // Moves `e` into free slot i and tags it; returns the previous control byte
  // so the owner can lower its DELETED count.
  uint8_t write_full(uint64_t i, T&& e, uint8_t tag) noexcept {
    QUENLOR_DCHECK(i < slots_ && has_lane(i) && is_free(ctrl_[i]) && is_full(tag));
    ::new (static_cast<void*>(entries_ + i)) T(std::move(e));
    uint8_t prev = ctrl_[i];
    ctrl_[i] = tag;
    return prev;
  }

  // write_full with the entry make() returns built in the slot itself.
  template <class Make>
  uint8_t write_full_made(uint64_t i, Make&& make, uint8_t tag) noexcept {
    QUENLOR_DCHECK(i < slots_ && has_lane(i) && is_free(ctrl_[i]) && is_full(tag));
    ::new (static_cast<void*>(entries_ + i)) T(make());
    uint8_t prev = ctrl_[i];
    ctrl_[i] = tag;
    return prev;
  }

  // Moves the entry out of full slot i. The owner writes EMPTY or DELETED.
  T take(uint64_t i) noexcept {
    QUENLOR_DCHECK(i < slots_ && is_full(ctrl_[i]));
    T& slot = entry(i);
    T out(std::move(slot));
    slot.~T();
    return out;
  }

  // The bit of a key with hash h in a group's mark byte.
  static uint8_t mark_bit(uint64_t h) noexcept {
    return static_cast<uint8_t>(uint8_t{1} << ((h >> 54) & 7));  // clear of tags and group indices
  }
  bool group_marked(uint64_t g, uint8_t bit) const noexcept {
    static_assert(kGroupMarks);
    QUENLOR_DCHECK(groups() >= 2 && g < groups());
    return (ctrl_[slots_ + g] & bit) != 0;
  }
  void mark_group(uint64_t g, uint8_t bit) noexcept {
    static_assert(kGroupMarks);
    QUENLOR_DCHECK(groups() >= 2 && g < groups());
    ctrl_[slots_ + g] |= bit;
  }

  // Every control byte EMPTY and every group mark clear (both are 0).
  void reset_ctrl() noexcept {
    static_assert(EMPTY == 0);
    if (slots_ != 0) std::memset(ctrl_, EMPTY, slots_ + mark_bytes(slots_));
  }
  // reset_ctrl for `count` groups from group `first` (their marks stay).
  void reset_group_ctrl(uint64_t first, uint64_t count) noexcept {
    static_assert(!kGroupMarks);
    QUENLOR_DCHECK(first + count <= groups());
    if (count != 0) std::memset(ctrl_ + first * kGroupWidth, EMPTY, count * kGroupWidth);
  }

  // Destroys every live entry and marks all slots EMPTY.
  void destroy_entries() noexcept {
    destroy_full_slots();
    reset_ctrl();
  }
  // Destroys every live entry and leaves the control bytes as they are: for
  // a table about to release its block.
  void destroy_full_slots() noexcept {
    if constexpr (requires(const T& e) { e.prefetch_release(); }) {
      // Beyond the caches each entry's release writes to memory of its own
      // (the objects' reference counts): ask for it a few groups ahead.
      if (worth_prefetching(slots_)) {
        constexpr uint64_t kAhead = 2;
        const auto ask = [this](uint64_t g) {
          for (unsigned lane : match_full(g)) entry(g * kGroupWidth + lane).prefetch_release();
        };
        const uint64_t groups = this->groups();
        for (uint64_t g = 0; g < std::min(groups, kAhead); ++g) ask(g);
        for (uint64_t g = 0; g < groups; ++g) {
          if (g + kAhead < groups) ask(g + kAhead);
          for (unsigned lane : match_full(g)) entry(g * kGroupWidth + lane).~T();
        }
        return;
      }
    }
    for (uint64_t g = 0, end = groups(); g < end; ++g)
      for (unsigned lane : match_full(g)) entry(g * kGroupWidth + lane).~T();
  }

  // Visits full slots in increasing index: f(slot_index, entry).
  template <class F>
  void for_each_full(F&& f) const {
    all_full([&](uint64_t i, const T& e) {
      f(i, e);
      return true;
    });
  }

  // As for_each_full while p(slot_index, entry) returns true; whether it
  // always did.
  template <class P>
  [[gnu::always_inline]] bool all_full(P&& p) const {
    for (uint64_t g = 0, end = groups(); g < end; ++g)
      for (unsigned lane : match_full(g)) {
        uint64_t i = g * kGroupWidth + lane;
        if (!p(i, entry(i))) return false;
      }
    return true;
  }

 private:
  // The fewest lanes, doubling from kShortLanes up to one group, that
  // reach `wanted`.
  static uint64_t lanes_for(uint64_t wanted) noexcept {
    uint64_t lanes = kShortLanes;
    while (lanes < wanted && lanes < kGroupWidth) lanes *= 2;
    return lanes;
  }
  // The block of a one-group table with room for `lanes` entries; the
  // control bytes follow the last one (all 16: layout_for's own block).
  static Layout short_layout(uint64_t lanes) noexcept {
    return {static_cast<std::size_t>(lanes * sizeof(T)),
            static_cast<std::size_t>(lanes * sizeof(T) + kGroupWidth)};
  }
  // A block of lay.total bytes whose first `ctrl_bytes` control bytes (and
  // group marks) are EMPTY. Entry slots are only read once written, so only
  // the control bytes need a value; allocators without uninitialised blocks
  // hand out zeroed ones.
  unsigned char* allocate_block(const Layout& lay, uint64_t ctrl_bytes) {
    unsigned char* block;
    if constexpr (requires { alloc_.allocate(lay.total); }) {
      block = static_cast<unsigned char*>(alloc_.allocate(lay.total));
      if (ctrl_bytes != 0) std::memset(block + lay.ctrl_offset, EMPTY, ctrl_bytes);
    } else {
      block = static_cast<unsigned char*>(alloc_.allocate_zeroed(lay.total));
    }
    return block;
  }
  void adopt(unsigned char* block, const Layout& lay, uint64_t slots) noexcept {
    entries_ = reinterpret_cast<T*>(block);
    ctrl_ = block + lay.ctrl_offset;
    slots_ = slots;
  }
  std::size_t block_entry_bytes() const noexcept {
    return static_cast<std::size_t>(ctrl_ - reinterpret_cast<const uint8_t*>(entries_));
  }
  // What the block was allocated with: its entry bytes (and padding), the
  // control bytes and the group marks.
  std::size_t block_bytes() const noexcept {
    return block_entry_bytes() + slots_ + mark_bytes(slots_);
  }

  void steal(RawTable& o) noexcept {
    entries_ = std::exchange(o.entries_, placeholder());
    ctrl_ = std::exchange(o.ctrl_, placeholder_ctrl());
    slots_ = std::exchange(o.slots_, 0);
    alloc_ = o.alloc_;
  }
  void release_block() noexcept {
    if (slots_ != 0) alloc_.deallocate(entries_, block_bytes());
    entries_ = placeholder();
    ctrl_ = placeholder_ctrl();
    slots_ = 0;
  }
  // Non-null pointers for the empty table; never dereferenced. The control
  // bytes sit below the entries, so has_lane() is false for every slot.
  static T* placeholder() noexcept { return reinterpret_cast<T*>(kTableAlign); }
  static uint8_t* placeholder_ctrl() noexcept { return reinterpret_cast<uint8_t*>(alignof(T)); }

  T* entries_ = placeholder();
  uint8_t* ctrl_ = placeholder_ctrl();
  uint64_t slots_ = 0;
  [[no_unique_address]] A alloc_{};
};

}  // namespace quenlor
