// Types shared by the map tests: keys with a chosen hash word, keys and values
// that count live instances (leaks and double destruction leave a non-zero
// balance), an identity hasher that pins positions, and an allocator that can
// be told to fail.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <new>

#include "common/layout/allocator.hpp"
#include "common/layout/hasher.hpp"

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
struct TestAllocator {
  static inline int64_t budget = -1, blocks = 0;
  static inline std::size_t max_bytes = std::numeric_limits<std::size_t>::max();
  void* allocate_zeroed(std::size_t n) const {
    if (budget == 0 || n > max_bytes) throw std::bad_alloc();
    budget -= budget > 0;
    return ++blocks, quenlor::ZeroedAllocator{}.allocate_zeroed(n);
  }
  // Garbage-filled, so that reading a slot never written shows.
  void* allocate(std::size_t n) const {
    if (budget == 0 || n > max_bytes) throw std::bad_alloc();
    budget -= budget > 0;
    void* p = quenlor::ZeroedAllocator{}.allocate(n);
    std::memset(p, 0xA5, n);
    return ++blocks, p;
  }
  void deallocate(void* p, std::size_t n) const noexcept {
    --blocks, quenlor::ZeroedAllocator{}.deallocate(p, n);
  }
  // Records (level arrays) have a budget of their own.
  static inline int64_t record_budget = -1;
  void* allocate_record(std::size_t n) const {
    if (record_budget == 0) throw std::bad_alloc();
    record_budget -= record_budget > 0;
    return quenlor::ZeroedAllocator{}.allocate_record(n);
  }
  void deallocate_record(void* p, std::size_t n) const noexcept {
    quenlor::ZeroedAllocator{}.deallocate_record(p, n);
  }
};

inline uint64_t mix(uint64_t x) { return quenlor::detail::splitmix64(x); }
inline Key key(uint64_t id) { return Key(mix(id), id); }  // well-spread hash word

// One step of the cycle the purge tests drive two maps through (`both(f)`
// applies f to each): fill up to `high` entries, then remove down to a fifth
// of it by key, by popitem bursts and by filtered removing walks, so that
// removals from full groups leave DELETED bytes and purges run. Whether the
// step removed anything.
template <class Map, class Rng, class MakeKey, class Both>
bool fill_drain_step(const Map& m, uint64_t high, uint64_t ids, bool& draining, Rng& rng,
                     MakeKey&& k, Both&& both) {
  if (m.len() >= high) draining = true;
  if (m.len() * 5 <= high) draining = false;
  const uint64_t id = rng() % ids, r = rng() % 32;
  const bool insert = draining ? r < 4 : r < 26;
  if (insert) {
    both([&](auto& x) { x.insert(k(id), Val(id)); });
  } else if (!draining || r < 16) {
    both([&](auto& x) { x.remove(k(id)); });
  } else if (r < 31) {
    // popitem: the first entry in traversal order, then the purge check.
    for (uint64_t n = rng() % 16; n > 0 && m.len() > 0; --n)
      both([&](auto& x) { x.extract_if([](const Key&, const Val&) { return true; }).next(); });
  } else {
    const uint64_t residue = rng() % 11;
    both([&](auto& x) {
      auto walk = x.extract_if([&](const Key& key, const Val&) { return key.id % 11 == residue; });
      while (walk.next()) {
      }
    });
  }
  return !insert;
}

class LeakChecked : public ::testing::Test {
 protected:
  void SetUp() override {
    Key::all_equal = false, TestAllocator::budget = TestAllocator::record_budget = -1;
  }
  void TearDown() override {
    EXPECT_EQ(live, 0);
    EXPECT_EQ(TestAllocator::blocks, 0);
  }
};

}  // namespace quenlor_test
