// A fingerprint of everything a map's storage decides: where each key lands,
// the traversal order, capacity and growth points, and every table's counts,
// through growth from capacity 0 to a few thousand entries, purging removals,
// clear() and growth again. The tables' records may be laid out in any way;
// this fingerprint must not move.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <random>
#include <vector>

#include "elastic/elastic_hash_map.hpp"
#include "funnel/funnel_hash_map.hpp"
#include "test_support.hpp"

namespace quenlor_test {

struct Digest {
  uint64_t h = 0xcbf29ce484222325ull;
  void add(std::initializer_list<uint64_t> xs) {
    for (uint64_t x : xs) h = (h ^ x) * 0x100000001b3ull, h ^= h >> 29;
  }
};

template <class M>
void add_tables(Digest& d, const M& m) {
  if constexpr (kElastic<M>) {
    // A level without a record (not reached yet) holds nothing.
    const std::vector<uint64_t> sizes = quenlor::partition_levels(m.capacity());
    for (uint64_t i = 0; i < m.level_count(); ++i) {
      if (i >= m.recorded_levels()) {
        d.add({sizes[i], 0, 0, 0});
        continue;
      }
      const auto& lv = m.level(i);
      d.add({lv.slots(), lv.len(), lv.tombstones(), lv.longest_probe()});
    }
    d.add({m.batch_index(), m.batch_remaining(), m.max_populated_level()});
  } else {
    const auto& pr = m.special().primary;
    const auto& fb = m.special().fallback;
    d.add({m.first_stored_level(), m.level_count()});
    for (const auto& lv : m.levels()) d.add({lv.slots(), lv.len(), lv.tombstones()});
    d.add({pr.table().slots(), fb.table().slots(), pr.len(), pr.tombstones(), fb.len(),
           fb.tombstones(), fb.usable_slots(), m.overflow_len(), m.usable_slots(),
           m.max_populated_level()});
  }
  d.add({m.capacity(), m.len(), m.max_insertions()});
  m.for_each([&](const Key& k, const Val& v) { d.add({k.id, v.v}); });
}

template <class M>
void add_position(Digest& d, const M& m, const Key& k) {
  if constexpr (kElastic<M>) {
    const auto at = m.position_of(k);
    d.add({at ? at->level : 99, at ? at->slot : 99});
  } else {
    const auto at = m.find_location(k);
    d.add({at ? static_cast<uint64_t>(at->kind) : 99, at ? at->level : 99, at ? at->slot : 99});
  }
}

// Fills to `high` entries, drains to a tenth by removals, clears, fills
// again; `words` distinct hash words (few: many equal hashes).
template <class M>
uint64_t storage_digest(const typename M::Options& o, uint64_t high, uint64_t words,
                        uint64_t seed) {
  std::mt19937_64 rng(seed);
  auto m = M::with_options(o);
  const auto k = [&](uint64_t id) { return Key(mix(id % words), id); };
  Digest d;
  // A map that loses keys would never drain: its fingerprint just differs.
  const uint64_t kMaxSteps = 100 * high;
  for (int phase = 0; phase < 3; ++phase) {
    for (uint64_t step = 0; m.len() < high && step < kMaxSteps; ++step) {
      const uint64_t id = rng() % (3 * high);
      if (rng() % 8 != 0) {
        m.insert(k(id), Val(id));
        add_position(d, m, k(id));
      } else {
        d.add({m.remove(k(id)).has_value()});
      }
      if (step % 61 == 0) add_tables(d, m);
    }
    add_tables(d, m);
    if (phase == 1) {
      m.clear();
      add_tables(d, m);
      continue;
    }
    for (uint64_t step = 0; m.len() > high / 10 && step < kMaxSteps; ++step) {
      const uint64_t id = rng() % (3 * high);
      d.add({m.remove(k(id)).has_value()});
      if (step % 61 == 0) add_tables(d, m);
    }
    add_tables(d, m);
  }
  return d.h;
}

}  // namespace quenlor_test
