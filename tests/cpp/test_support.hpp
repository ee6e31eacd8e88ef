// Types shared by the map tests: keys with a chosen hash word, keys and values
// that count live instances (leaks and double destruction leave a non-zero
// balance), an identity hasher that pins positions, an allocator that can be
// told to fail, and views of either map family that tests compare.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <utility>
#include <vector>

#include "common/layout/allocator.hpp"
#include "common/layout/hasher.hpp"
#include "elastic/elastic_hash_map.hpp"
#include "funnel/funnel_hash_map.hpp"

namespace quenlor_test {

inline int64_t live = 0;  // keys plus values

// Under IdentityHasher `word` is h itself; `id` decides equality (unless
// all_equal); `note` is outside equality and tells which key object was kept.
struct Key {
  static inline bool all_equal = false;
  static inline uint64_t comparisons = 0;
  uint64_t word, id, note;
  Key(uint64_t w, uint64_t i, uint64_t n = 0) noexcept : word(w), id(i), note(n) { ++live; }
  Key(Key&& o) noexcept : Key(o.word, o.id, o.note) {}
  ~Key() { --live; }
  bool operator==(const Key& o) const { return ++comparisons, all_equal || id == o.id; }
};
inline uint64_t hash_word(const Key& k) noexcept { return k.word; }

struct Val {
  uint64_t v;
  explicit Val(uint64_t x) noexcept : v(x) { ++live; }
  Val(Val&& o) noexcept : Val(o.v) {}
  ~Val() { --live; }
};

struct IdentityHasher {
  static IdentityHasher make() noexcept { return {}; }
  uint64_t hash(uint64_t w) const noexcept { return w; }
};

// Fails once `budget` more blocks were granted (negative: never) or when a
// block is larger than `max_bytes`; `blocks` counts those not yet returned.
// Records (level arrays, the special array) have a budget of their own.
struct TestAllocator {
  static inline int64_t budget = -1, record_budget = -1, blocks = 0;
  static inline std::size_t max_bytes = std::numeric_limits<std::size_t>::max();
  static void grant(int64_t& b, std::size_t n) {
    if (b == 0 || n > max_bytes) throw std::bad_alloc();
    b -= b > 0;
  }
  void* allocate_zeroed(std::size_t n) const {
    grant(budget, n);
    return ++blocks, quenlor::ZeroedAllocator{}.allocate_zeroed(n);
  }
  // Garbage-filled, so that reading a slot never written shows.
  void* allocate(std::size_t n) const {
    grant(budget, n);
    void* p = quenlor::ZeroedAllocator{}.allocate(n);
    std::memset(p, 0xA5, n);
    return ++blocks, p;
  }
  void deallocate(void* p, std::size_t n) const noexcept {
    --blocks, quenlor::ZeroedAllocator{}.deallocate(p, n);
  }
  void* allocate_record(std::size_t n) const {
    grant(record_budget, n);
    return quenlor::ZeroedAllocator{}.allocate_record(n);
  }
  void deallocate_record(void* p, std::size_t n) const noexcept {
    quenlor::ZeroedAllocator{}.deallocate_record(p, n);
  }
};

inline uint64_t mix(uint64_t x) { return quenlor::detail::splitmix64(x); }
inline Key key(uint64_t id) { return Key(mix(id), id); }  // well-spread hash word

using Elastic = quenlor::ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>;
using Funnel = quenlor::FunnelHashMap<Key, Val, IdentityHasher, TestAllocator>;
template <class M>
constexpr bool kElastic = requires(const M& m) {
  m.batch_index();
};

// `knob`: the elastic probe scale, or the funnel primary probe limit (0: default).
template <class M>
typename M::Options opts(uint64_t capacity, double delta = 0.1, uint64_t knob = 0) {
  if constexpr (kElastic<M>) {
    return {capacity, delta, knob == 0 ? 16.0 : static_cast<double>(knob)};
  } else {
    return {capacity, delta, knob == 0 ? std::nullopt : std::optional<uint64_t>(knob)};
  }
}

// Where a key is, ranked in traversal order: elastic (level, slot); funnel
// (level, slot) for levels, then primary, fallback and overflow (by index).
template <class M>
std::pair<uint64_t, uint64_t> place_of(const M& m, const Key& k) {
  constexpr std::pair<uint64_t, uint64_t> kNowhere{~uint64_t{0}, ~uint64_t{0}};
  if constexpr (kElastic<M>) {
    const auto at = m.position_of(k);
    return at ? std::pair(at->level, at->slot) : kNowhere;
  } else {
    const auto at = m.find_location(k);
    if (!at) return kNowhere;
    const auto kind = static_cast<uint64_t>(at->kind);
    return {kind == 0 ? at->level : m.level_count() + kind, at->slot};
  }
}

// The table of level 0, which every map with a capacity has.
template <class M>
const auto& level0_table(const M& m) {
  if constexpr (kElastic<M>) {
    return m.level(0).table();
  } else {
    return m.levels()[0].table();
  }
}

template <class M>
uint64_t tombstones(const M& m) {
  uint64_t t = 0;
  if constexpr (kElastic<M>) {
    for (uint64_t i = 0; i < m.recorded_levels(); ++i) t += m.level(i).tombstones();
  } else {
    t = m.special().primary.tombstones() + m.special().fallback.tombstones();
    for (const auto& lv : m.levels()) t += lv.tombstones();
  }
  return t;
}

template <class M>
std::vector<uint64_t> ids(const M& m) {  // in traversal order
  std::vector<uint64_t> v;
  m.for_each([&](const Key& k, const Val&) { v.push_back(k.id); });
  return v;
}

// What two maps built alike by different procedures must agree on: the
// counters, each table's tombstones (and elastic longest probes), every
// entry's value and place, in traversal order. Blind to how the tables are
// stored: levels without a record or without buckets count as empty.
template <class M>
std::vector<uint64_t> state_of(const M& m) {
  std::vector<uint64_t> s{m.len(), m.capacity(), m.max_insertions(), m.max_populated_level()};
  if constexpr (kElastic<M>) {
    s.insert(s.end(), {m.batch_index(), m.batch_remaining()});
    for (uint64_t i = 0; i < m.recorded_levels(); ++i)
      s.insert(s.end(), {m.level(i).tombstones(), m.level(i).longest_probe()});
    s.resize(6 + 2 * m.level_count());
  } else {
    for (uint64_t i = 0; i < m.levels().size(); ++i)
      if (m.levels()[i].slots() != 0)
        s.insert(s.end(), {m.first_stored_level() + i, m.levels()[i].tombstones()});
    s.insert(s.end(), {m.special().primary.tombstones(), m.special().fallback.tombstones()});
  }
  m.for_each([&](const Key& k, const Val& v) {
    const auto [level, slot] = place_of(m, k);
    s.insert(s.end(), {k.id, v.v, level, slot});
  });
  return s;
}

class LeakChecked : public ::testing::Test {
 protected:
  void SetUp() override {
    Key::all_equal = false, TestAllocator::budget = TestAllocator::record_budget = -1;
    TestAllocator::max_bytes = std::numeric_limits<std::size_t>::max();
  }
  void TearDown() override {
    EXPECT_EQ(live, 0);
    EXPECT_EQ(TestAllocator::blocks, 0);
  }
};

}  // namespace quenlor_test
