// ExtractIf: removing traversal. Hands out, in traversal order, the entries
// `pred(key, value)` accepts, vacating their slots. It never rebuilds while
// running; when it goes, the map purges if some table is now mostly DELETED.
// Holds the map exclusively while alive.
//
// The map provides (to this class only): traversal() (the Seq of TableIter),
// take_traversed(table, slot), take_tail_if(index, pred) and
// purge_after_extraction(table, several), told which tables lost entries:
// only those can newly need a purge.
#pragma once

#include <cstdint>
#include <optional>
#include <type_traits>
#include <utility>

#include "common/layout/traversal_cursor.hpp"

namespace quenlor {

template <class Map, class P>
class ExtractIf {
 public:
  using EntryType = typename Map::EntryType;

  ExtractIf(Map& map, P pred) : map_(&map), pred_(std::move(pred)) {}
  ExtractIf(ExtractIf&& o) noexcept(std::is_nothrow_move_constructible_v<P>)
      : map_(std::exchange(o.map_, nullptr)),
        pred_(std::move(o.pred_)),
        cursor_(o.cursor_),
        tail_(o.tail_),
        vacated_(o.vacated_),
        several_(o.several_) {}
  ExtractIf(const ExtractIf&) = delete;
  ExtractIf& operator=(const ExtractIf&) = delete;
  ExtractIf& operator=(ExtractIf&&) = delete;
  ~ExtractIf() {
    if (map_ != nullptr) map_->purge_after_extraction(vacated_, several_);
  }

  std::optional<EntryType> next() {
    if (map_ == nullptr) return std::nullopt;
    const auto seq = std::as_const(*map_).traversal();
    uint64_t slot;
    while (cursor_.next(seq, slot)) {
      const EntryType& e = seq.table(cursor_.table).entry(slot);
      if (pred_(std::as_const(e.key), std::as_const(e.value))) {
        several_ = several_ || (vacated_ != kNoTable && vacated_ != cursor_.table);
        vacated_ = cursor_.table;
        return std::optional<EntryType>(map_->take_traversed(cursor_.table, slot));
      }
    }
    auto taken = map_->take_tail_if(tail_, pred_);
    several_ = several_ || taken.has_value();  // the tail is outside every table
    return taken;
  }

  // f(key, value) of the entry the next call looks at first, when it lies in
  // the group the last one came from; nothing is taken. Lets a caller start
  // loading what that entry points to.
  template <class F>
  void peek(F&& f) const {
    if (map_ == nullptr || !cursor_.lanes) return;
    const EntryType& e = std::as_const(*map_)
                             .traversal()
                             .table(cursor_.table)
                             .entry(cursor_.group_base + cursor_.lanes.lowest());
    f(e.key, e.value);
  }

 private:
  Map* map_;
  P pred_;
  TraversalCursor cursor_;
  uint64_t tail_ = 0;  // next tail entry to offer; a taken one closes its gap
  static constexpr uint64_t kNoTable = ~uint64_t{0};
  uint64_t vacated_ = kNoTable;  // the table entries were taken from
  bool several_ = false;         // entries taken from more than one place
};

}  // namespace quenlor
