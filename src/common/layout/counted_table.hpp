// CountedTable: a RawTable plus the counts its owner needs, len (full slots)
// and tombstones (DELETED slots), and ownership of the entries in full slots.
// Both maps keep every table they probe in one of these; they differ only in
// the removal rule (Rule::vacated_byte), which decides what a vacated slot
// becomes.
//
// Invariants: len and tombstones equal the numbers of full and DELETED control
// bytes; entries live exactly in the full slots; while len > 0, no group before
// first_group_hint() holds a full slot.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>

#include "common/dcheck.hpp"
#include "common/errors.hpp"
#include "common/layout/allocator.hpp"
#include "common/layout/control.hpp"
#include "common/layout/group.hpp"
#include "common/layout/raw_table.hpp"

namespace quenlor {

template <class T, class Rule, class A = ZeroedAllocator, bool kGroupMarks = false>
class CountedTable {
 public:
  using Table = RawTable<T, A, kGroupMarks>;

  CountedTable() noexcept = default;
  // At least n slots in whole groups. Throws std::bad_alloc (or LayoutOverflow).
  static CountedTable with_capacity_in(uint64_t n, A alloc = A()) {
    CountedTable t;
    t.table_ = Table::with_capacity_in(n, alloc);
    return t;
  }

  // One group whose block starts short (RawTable::short_in).
  static CountedTable short_in(A alloc = A()) {
    CountedTable t;
    t.table_ = Table::short_in(alloc);
    return t;
  }

  CountedTable(CountedTable&& o) noexcept
      : table_(std::move(o.table_)),
        len_(std::exchange(o.len_, 0)),
        tombstones_(std::exchange(o.tombstones_, 0)),
        first_group_(std::exchange(o.first_group_, 0)) {}
  CountedTable& operator=(CountedTable&& o) noexcept {
    if (this != &o) {
      destroy_live();
      table_ = std::move(o.table_);
      len_ = std::exchange(o.len_, 0);
      tombstones_ = std::exchange(o.tombstones_, 0);
      first_group_ = std::exchange(o.first_group_, 0);
    }
    return *this;
  }
  CountedTable(const CountedTable&) = delete;
  CountedTable& operator=(const CountedTable&) = delete;
  ~CountedTable() {
    if (len_ != 0) table_.destroy_full_slots();
  }

  uint64_t slots() const noexcept { return table_.slots(); }
  uint64_t groups() const noexcept { return table_.groups(); }
  uint64_t len() const noexcept { return len_; }
  uint64_t tombstones() const noexcept { return tombstones_; }
  uint64_t free_slots() const noexcept { return table_.slots() - len_; }
  bool has_free_slot() const noexcept { return len_ < table_.slots(); }
  // More than half the slots DELETED: lookups pay for them, a rebuild drops them.
  bool needs_purge() const noexcept { return tombstones_ > table_.slots() / 2; }
  const Table& table() const noexcept { return table_; }
  void mark_group(uint64_t g, uint8_t bit) noexcept { table_.mark_group(g, bit); }
  const T& entry(uint64_t i) const noexcept { return table_.entry(i); }
  T& entry(uint64_t i) noexcept { return table_.entry(i); }

  // Room for an entry in free slot i before it is placed there: a short
  // block widens. Throws std::bad_alloc with the table unchanged.
  void make_room(uint64_t i) {
    if (!table_.has_lane(i)) [[unlikely]]
      widen_to(i);
  }
  // Every slot with room: what a placement that must not fail needs.
  void widen_fully() {
    if (table_.slots() != 0) make_room(table_.slots() - 1);
  }

  // Lowest group that may hold a full slot (meaningful while len > 0). Walks
  // start there, so draining from the front (popitem) does not rescan the
  // groups earlier calls emptied.
  uint64_t first_group_hint() const noexcept { return first_group_; }
  // A walk that started at the hint found group g without full slots. Only a
  // cache, hence callable on a const table.
  void note_group_without_entries(uint64_t g) const noexcept {
    if (g == first_group_) first_group_ = hint_of(g + 1);
  }

  // Moves `e` into free slot i under `tag`.
  void place(uint64_t i, T&& e, uint8_t tag) noexcept {
    place_made(i, tag, [&e]() -> T&& { return std::move(e); });
  }

  // Builds the entry make() returns in free slot i, under `tag`; make must
  // not throw.
  template <class Make>
  void place_made(uint64_t i, uint8_t tag, Make&& make) noexcept {
    const uint64_t g = i / kGroupWidth;
    if (len_ == 0 || g < first_group_) first_group_ = hint_of(g);
    if (table_.write_full_made(i, make, tag) == DELETED) {
      QUENLOR_DCHECK(tombstones_ > 0);
      --tombstones_;
    }
    ++len_;
    QUENLOR_DCHECK(len_ + tombstones_ <= table_.slots());
  }

  // place() of a fill of this table from empty (no DELETED byte), which
  // leaves the hint at or below the first full group, as it may be; the
  // fill's end sets it where place() would have (restore_hint).
  void place_during_fill(uint64_t i, T&& e, uint8_t tag) noexcept {
    place_made_during_fill(i, tag, [&e]() -> T&& { return std::move(e); });
  }
  template <class Make>
  void place_made_during_fill(uint64_t i, uint8_t tag, Make&& make) noexcept {
    QUENLOR_DCHECK(tombstones_ == 0);
    table_.write_full_made(i, make, tag);
    ++len_;
  }
  void restore_hint() noexcept {
    if (len_ == 0) return;
    uint64_t g = 0;
    while (!table_.match_full(g)) ++g;
    first_group_ = hint_of(g);
  }

  // Moves the entry out of full slot i; the slot becomes what the rule says.
  T vacate(uint64_t i) noexcept {
    QUENLOR_DCHECK(len_ > 0);
    T out = table_.take(i);
    const uint8_t byte = Rule::vacated_byte(table_, i);
    table_.set_ctrl(i, byte);
    tombstones_ += byte == DELETED;
    --len_;
    return out;
  }

  // Destroys every entry; all slots EMPTY again, the table kept.
  void clear() noexcept {
    if (len_ != 0) {
      table_.destroy_entries();
    } else if (tombstones_ != 0) {
      table_.reset_ctrl();
    }
    len_ = tombstones_ = 0;
  }

  // Moves every entry out, in slot order, to f(T&&); leaves the table empty,
  // as a new one is. Used by rebuilds and purges, which must not fail
  // half-way, hence noexcept. A table without full or DELETED bytes is all
  // EMPTY already and is not rewritten.
  template <class F>
  void drain(F&& f) noexcept {
    if ((len_ | tombstones_) == 0) return;
    const uint64_t from = len_ != 0 ? first_group_ : table_.groups();
    uint64_t left = len_;
    for (uint64_t g = from; left != 0 && g < table_.groups(); ++g)
      for (unsigned lane : table_.match_full(g)) {
        f(table_.take(g * kGroupWidth + lane));
        --left;
      }
    table_.reset_ctrl();
    len_ = tombstones_ = 0;
    first_group_ = 0;
  }

  // Puts every entry back, in slot order, through place(T&&, g, tag) as into
  // an empty table, g being the group it came from and tag its control byte:
  // each group is emptied just before its own entries go back. place must put
  // each entry into group g or into tables already re-placed, never into a
  // later group of this one; a funnel level keeps that rule, since a key's
  // only group in the level is the one it was found in. Spares a rebuild the
  // buffer for these entries.
  template <class Place>
  void replace_group_by_group(Place&& place) noexcept {
    if ((len_ | tombstones_) == 0) return;
    const uint64_t groups = table_.groups();
    const bool deleted = tombstones_ != 0;
    uint64_t g = len_ != 0 ? first_group_ : groups;
    if (deleted) table_.reset_group_ctrl(0, g);  // no entries before the hint
    uint64_t left = len_;
    len_ = tombstones_ = 0;
    first_group_ = 0;
    for (; left != 0; ++g) {
      QUENLOR_DCHECK(g < groups);
      alignas(T) unsigned char raw[kGroupWidth * sizeof(T)];
      T* held = reinterpret_cast<T*>(raw);
      uint8_t tags[kGroupWidth];
      unsigned n = 0;
      for (unsigned lane : table_.match_full(g)) {
        if (n == kGroupWidth) __builtin_unreachable();  // 16 lanes (GCC cannot tell)
        tags[n] = table_.ctrl_byte(g * kGroupWidth + lane);
        std::construct_at(held + n++, table_.take(g * kGroupWidth + lane));
      }
      table_.reset_group_ctrl(g, 1);
      left -= n;
      for (unsigned j = 0; j < n; ++j) {
        place(std::move(held[j]), g, tags[j]);
        std::destroy_at(held + j);
      }
    }
    if (deleted) table_.reset_group_ctrl(g, groups - g);
  }

  // Moves each group's entries to its lowest lanes, in lane order and under
  // the tags they have, and leaves the group's other slots EMPTY: what taking
  // every entry out and putting it back into the first free slot of its own
  // group, group by group, does (a funnel purge's first level), without
  // moving the entries that are already in place. counted(g, n) learns that
  // group g now holds n entries.
  template <class Counted>
  void compact_groups(Counted&& counted) noexcept {
    if ((len_ | tombstones_) == 0) return;
    const uint64_t groups = table_.groups();
    uint64_t g = len_ != 0 ? first_group_ : groups;
    if (tombstones_ != 0) table_.reset_group_ctrl(0, g);  // no entries before the hint
    uint64_t left = len_;
    for (; left != 0; ++g) {
      QUENLOR_DCHECK(g < groups);
      const uint64_t base = g * kGroupWidth;
      unsigned n = 0;
      for (unsigned lane : table_.match_full(g)) {
        if (lane != n) {
          const uint8_t tag = table_.ctrl_byte(base + lane);
          T moved = table_.take(base + lane);
          table_.set_ctrl(base + lane, EMPTY);
          table_.write_full(base + n, std::move(moved), tag);
        }
        ++n;
      }
      for (unsigned lane = n; lane < kGroupWidth; ++lane) table_.set_ctrl(base + lane, EMPTY);
      left -= n;
      counted(g, n);
    }
    if (tombstones_ != 0) table_.reset_group_ctrl(g, groups - g);
    tombstones_ = 0;
    first_group_ = 0;  // a lower bound; the caller's fill sets it exactly
  }

  // Recounts the control bytes against len and tombstones (O(slots)).
  void check_counts(const char* what) const {
    uint64_t full = 0, deleted = 0;
    for (uint64_t g = 0; g < table_.groups(); ++g) {
      const Group grp = table_.group(g);
      full += static_cast<uint64_t>(__builtin_popcount(grp.match_full().bits()));
      deleted += static_cast<uint64_t>(__builtin_popcount(grp.match_deleted().bits()));
    }
    if (full != len_) fatal(what);
    if (table_.lanes() < table_.slots() && table_.groups() != 1)
      fatal("a table of several groups with a short block");
    for (uint64_t g = 0; g < table_.groups(); ++g)
      for (unsigned lane : table_.match_full(g))
        if (!table_.has_lane(g * kGroupWidth + lane)) fatal("an entry beyond its table's block");
    if (deleted != tombstones_) fatal(what);
    if (len_ != 0)
      for (uint64_t g = 0; g < first_group_ && g < table_.groups(); ++g)
        if (table_.match_full(g)) fatal(what);
  }

 private:
  // The hint is a lower bound, so a table of more groups than 32 bits count
  // may keep a smaller one; 32 bits leave the rest of its word to the
  // owner's own fields.
  static uint32_t hint_of(uint64_t g) noexcept {
    return g < UINT32_MAX ? static_cast<uint32_t>(g) : UINT32_MAX;
  }
  [[gnu::noinline]] void widen_to(uint64_t i) { table_.widen_to(i); }
  void destroy_live() noexcept {
    if (len_ != 0) table_.destroy_entries();
    len_ = tombstones_ = 0;
  }

  Table table_;
  uint64_t len_ = 0;
  uint64_t tombstones_ = 0;
  mutable uint32_t first_group_ = 0;
};

}  // namespace quenlor
