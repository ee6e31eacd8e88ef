// Elastic map: geometry pinned by worked examples, placement and rebuild
// behaviour, failure safety, and a randomized comparison with std::unordered_map.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <random>
#include <set>
#include <unordered_map>
#include <vector>

#include "elastic/elastic_hash_map.hpp"

namespace {

using namespace quenlor;
using V = std::vector<uint64_t>;

// Hash word chosen by the test; equality by id, or (switchable) always true.
// `stamp` is outside equality: it tells which key object the map kept.
struct Key {
  static inline int64_t live = 0;
  static inline bool all_equal = false;
  static inline uint64_t comparisons = 0;
  uint64_t word, id, stamp;
  Key(uint64_t w, uint64_t i, uint64_t s = 0) noexcept : word(w), id(i), stamp(s) { ++live; }
  Key(Key&& o) noexcept : Key(o.word, o.id, o.stamp) {}
  ~Key() { --live; }
  bool operator==(const Key& o) const { return ++comparisons, all_equal || id == o.id; }
};
uint64_t hash_word(const Key& k) { return k.word; }

struct Counted {
  static inline int64_t live = 0;
  uint64_t v;
  explicit Counted(uint64_t x) noexcept : v(x) { ++live; }
  Counted(Counted&& o) noexcept : Counted(o.v) {}
  ~Counted() { --live; }
};

struct IdentityHasher {
  static IdentityHasher make() { return {}; }
  uint64_t hash(uint64_t w) const { return w; }
};

// Fails once `remaining` allocations have been granted (-1: never).
struct FailingAllocator {
  static inline int64_t remaining = -1, blocks = 0;
  void* allocate_zeroed(std::size_t n) const {
    if (remaining == 0) throw std::bad_alloc();
    remaining -= remaining > 0;
    return ++blocks, ZeroedAllocator{}.allocate_zeroed(n);
  }
  void deallocate(void* p, std::size_t n) const noexcept { --blocks, ZeroedAllocator{}.deallocate(p, n); }
};

// Hands out address space it never touches, to reach size checks past the table.
struct PhantomAllocator {
  void* allocate_zeroed(std::size_t) const { return reinterpret_cast<void*>(uintptr_t{1} << 12); }
  void deallocate(void*, std::size_t) const noexcept {}
};

using PinnedMap = ElasticHashMap<Key, Counted, IdentityHasher>;
using SeededMap = ElasticHashMap<Key, Counted>;
using FailMap = ElasticHashMap<Key, Counted, IdentityHasher, FailingAllocator>;
using IntMap = ElasticHashMap<uint64_t, uint64_t>;

ElasticOptions opts(uint64_t cap, double delta = 0.1) { return {cap, delta, 16.0}; }
uint64_t mix(uint64_t x) { return detail::splitmix64(x); }
Key key(uint64_t i) { return Key(mix(i), i); }  // well-spread hash word

template <class M>
void put(M& m, uint64_t from, uint64_t to) {
  for (uint64_t i = from; i < to; ++i) m.insert(key(i), Counted(i));
}
template <class M>
V level_lens(const M& m) {
  V v;
  for (uint64_t i = 0; i < m.level_count(); ++i) v.push_back(m.level(i).len());
  return v;
}
template <class M>
uint64_t total_tombstones(const M& m) {
  uint64_t t = 0;
  for (uint64_t i = 0; i < m.level_count(); ++i) t += m.level(i).tombstones();
  return t;
}

class Elastic : public ::testing::Test {
 protected:
  void SetUp() override { Key::all_equal = false, FailingAllocator::remaining = -1; }
  void TearDown() override {  // no leaks, no double destruction
    EXPECT_EQ(Key::live, 0);
    EXPECT_EQ(Counted::live, 0);
    EXPECT_EQ(FailingAllocator::blocks, 0);
  }
};

TEST(ElasticGeometry, LevelPartitionsAndBatchPlans) {
  EXPECT_EQ(partition_levels(0), V{});
  EXPECT_EQ(partition_levels(1), V{16});
  EXPECT_EQ(partition_levels(16), V(5, 16));
  EXPECT_EQ(partition_levels(100), (V{64, 32, 16, 16, 16, 16, 16, 16, 16}));
  V l1000{512, 256, 128, 64, 32}, p1000{384, 295, 148, 73};
  l1000.resize(15, 16), p1000.resize(15, 0);
  EXPECT_EQ(partition_levels(1000), l1000);
  EXPECT_EQ(partition_levels(1024), (V{512, 256, 128, 64, 32, 16, 16, 16, 16, 16, 16}));
  EXPECT_EQ(partition_levels(~uint64_t{0}).front(), uint64_t{1} << 63);

  EXPECT_EQ(build_batch_plan(partition_levels(16), 15, 0.1), (V{12, 3, 0, 0, 0}));
  EXPECT_EQ(build_batch_plan(partition_levels(100), 90, 0.1), (V{48, 37, 5, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(build_batch_plan(partition_levels(1000), 900, 0.1), p1000);
  EXPECT_EQ(build_batch_plan(partition_levels(1), 1, 0.1), V{1});
  EXPECT_EQ(build_batch_plan({16}, 0, 0.1), V{});
  EXPECT_EQ(build_batch_plan({16}, 16, 1e-6), (V{12, 4}));  // extra batch makes up the rest
}

TEST(ElasticGeometry, ProbeLimitsAndOptions) {
  auto big = Level<uint64_t, uint64_t>::with_capacity_in(1024, 0, 0.1, 16.0);
  EXPECT_EQ(big.reserve_threshold(), 51u);
  ASSERT_EQ(big.probe_limits().size(), 1025u);
  for (uint64_t f = 0; f <= 1024; ++f) {
    uint64_t want = f == 0 || f >= 512 ? 1 : f >= 385 ? 2 : f >= 309 ? 3 : 4;
    ASSERT_EQ(big.probe_limit(f), want) << "free slots " << f;
  }
  auto small = Level<uint64_t, uint64_t>::with_capacity_in(16, 3, 0.1, 16.0);
  EXPECT_EQ(small.reserve_threshold(), 0u);
  EXPECT_EQ(small.probe_limits().size(), 17u);
  for (uint64_t l : small.probe_limits()) EXPECT_EQ(l, 1u);
  // Limits that cannot be held in memory are an allocation failure, not std::length_error.
  using Tiny = Level<uint16_t, uint16_t, PhantomAllocator>;
  EXPECT_THROW(Tiny::with_capacity_in(uint64_t{1} << 60, 0, 0.1, 16.0, {}), std::bad_alloc);

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const double subnormal = std::numeric_limits<double>::denorm_min();
  for (double bad : {nan, inf, -inf}) EXPECT_EQ(sanitize_reserve_fraction(bad), 0.1);
  EXPECT_EQ(sanitize_reserve_fraction(1e-9), 1e-6);
  EXPECT_EQ(sanitize_reserve_fraction(1.0), 0.999999);
  for (double bad : {0.0, -0.0, -2.5, inf, nan}) EXPECT_EQ(sanitize_probe_scale(bad), 16.0);
  EXPECT_EQ(sanitize_probe_scale(subnormal), subnormal);
  auto m = IntMap::with_options({100, 1.0, nan});
  EXPECT_EQ(m.reserve_fraction(), 0.999999);
  EXPECT_EQ(m.probe_scale(), 16.0);
}

// The level split of the first insertions follows from the batch rules alone.
template <class M>
void check_capacity_100_split(uint64_t (*word)(uint64_t)) {
  auto m = M::with_options(opts(100));
  auto fill = [&](uint64_t to) {
    for (uint64_t i = m.len(); i < to; ++i) m.insert(Key(word(i), i), Counted(i));
  };
  fill(48);
  EXPECT_EQ(level_lens(m)[0], 48u);
  fill(61);  // batch 1 finishes level 0 down to its reserve threshold of 3 ...
  EXPECT_EQ(level_lens(m)[0], 61u);
  EXPECT_EQ(level_lens(m)[1], 0u);
  fill(85);  // ... then fills level 1
  EXPECT_EQ(level_lens(m)[1], 24u);
  fill(90);
  EXPECT_EQ(level_lens(m)[0], 61u);
  EXPECT_EQ(level_lens(m)[1], 29u);
  EXPECT_EQ(m.capacity(), 100u);
  fill(91);
  EXPECT_EQ(m.capacity(), 200u);
  for (uint64_t i = 0; i < 91; ++i) ASSERT_EQ(m.get(Key(word(i), i))->v, i);
}

TEST_F(Elastic, Capacity100SplitIsIndependentOfHashes) {
  check_capacity_100_split<SeededMap>(mix);
  check_capacity_100_split<PinnedMap>([](uint64_t) { return uint64_t{0x5A5A}; });
}

TEST_F(Elastic, GrowthPointsAndReserve) {
  auto m = PinnedMap::with_options(opts(16));
  put(m, 0, 15);
  EXPECT_EQ(level_lens(m), (V{15, 0, 0, 0, 0}));
  // Room freed by a removal is used under the last batch, skipping zero quotas.
  m.remove(key(0));
  m.insert(key(100), Counted(100));
  EXPECT_EQ(m.batch_index(), 4u);
  EXPECT_EQ(m.position_of(key(100))->level, 3u);
  m.insert(key(15), Counted(15));
  EXPECT_EQ(m.capacity(), 32u);

  auto empty = PinnedMap::with_options(opts(0));
  EXPECT_EQ(empty.level_count() + empty.batch_plan().size() + empty.max_insertions(), 0u);
  EXPECT_FALSE(empty.contains_key(key(1)) || empty.remove(key(1)));
  empty.reserve(0);
  EXPECT_EQ(empty.capacity(), 0u);
  empty.insert(key(1), Counted(1));
  EXPECT_EQ(empty.capacity(), 16u);
  empty.reserve(14);  // 15 fits in max_insertions 15
  EXPECT_EQ(empty.capacity(), 16u);
  empty.reserve(20);
  EXPECT_EQ(empty.capacity(), 32u);
  EXPECT_EQ(empty.get(key(1))->v, 1u);

  // Near-total reserve: each new key past the first doubles the capacity once
  // and is still placed.
  auto tight = PinnedMap::with_options(opts(16, 0.999999));
  for (uint64_t i = 0; i < 10; ++i) {
    tight.insert(key(i), Counted(i));
    EXPECT_EQ(tight.capacity(), uint64_t{16} << (i == 0 ? 0 : i));
    EXPECT_EQ(tight.max_insertions(), 1u);
  }
  for (uint64_t i = 0; i < 10; ++i) EXPECT_TRUE(tight.contains_key(key(i)));
}

TEST_F(Elastic, BudgetedProbeSpillsIntoTheNextLevel) {
  // One hash word: level 0 (4 groups) fills its probe sequence group by group.
  auto m = PinnedMap::with_options(opts(100));
  for (uint64_t i = 0; i < 48; ++i) m.insert(Key(9, i), Counted(i));
  // Empty the second group of the sequence: 32 free slots allow a budget of
  // one group, and the first group is still full.
  for (uint64_t i = 16; i < 32; ++i) m.remove(Key(9, i));
  ASSERT_EQ(m.level(0).probe_limit(m.level(0).free_slots()), 1u);
  m.insert(Key(9, 100), Counted(100));
  EXPECT_EQ(m.position_of(Key(9, 100))->level, 1u);
}

TEST_F(Elastic, RemovalTombstonesAndPurge) {
  auto m = PinnedMap::with_options(opts(16));
  m.insert(Key(7, 1, /*stamp=*/100), Counted(10));
  m.insert(Key(7, 2), Counted(20));
  const uint64_t remaining = m.batch_remaining();
  EXPECT_EQ(m.insert(Key(7, 1, /*stamp=*/200), Counted(11))->v, 10u);
  EXPECT_EQ(m.len(), 2u);
  EXPECT_EQ(m.batch_remaining(), remaining);
  EXPECT_EQ(m.iter().next()->key.stamp, 100u);  // the stored key object stays
  EXPECT_EQ(m.get(Key(7, 1))->v, 11u);

  // One group, one hash: slots fill lowest lane first, and a tombstone below
  // the first EMPTY lane is reused before it.
  EXPECT_EQ(m.remove(Key(7, 1))->v, 11u);
  EXPECT_EQ(m.level(0).table().ctrl_byte(0), DELETED);
  m.insert(Key(7, 3), Counted(30));
  EXPECT_EQ(m.position_of(Key(7, 3))->slot, 0u);
  EXPECT_EQ(m.level(0).tombstones(), 0u);
  m.clear();

  put(m, 0, 15);
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_FALSE(m.remove(key(0)));
  EXPECT_EQ(m.level(0).tombstones(), 8u);
  m.remove(key(8));  // 9 > 16 / 2: rebuilt at the same capacity, from batch 0
  EXPECT_EQ(total_tombstones(m), 0u);
  EXPECT_EQ(m.capacity(), 16u);
  EXPECT_EQ(level_lens(m)[0], 6u);
  EXPECT_EQ(m.batch_remaining(), 6u);
  for (uint64_t i = 9; i < 15; ++i) EXPECT_EQ(m.get(key(i))->v, i);
}

TEST_F(Elastic, TraversalOrderClearAndExtractIf) {
  auto m = SeededMap::with_options(opts(100));
  EXPECT_EQ(m.iter().next(), nullptr);
  put(m, 0, 85);  // levels 0 and 1
  auto it = m.iter();
  V order;
  std::pair<uint64_t, uint64_t> last{0, 0};
  while (const auto* e = it.next()) {
    auto pos = m.position_of(e->key);
    std::pair<uint64_t, uint64_t> here{pos->level, pos->slot};
    if (!order.empty()) {
      EXPECT_LT(last, here);
    }
    last = here, order.push_back(e->key.id);
  }
  EXPECT_EQ(order.size(), 85u);
  EXPECT_EQ(it.next(), nullptr);
  EXPECT_EQ(it.next(), nullptr);
  V seen;
  m.for_each([&](const Key& k, const Counted&) { seen.push_back(k.id); });
  EXPECT_EQ(seen, order);

  EXPECT_EQ(m.extract_if([](const Key&, const Counted&) { return true; }).next()->key.id, order[0]);
  {
    auto most = m.extract_if([](const Key& k, const Counted&) { return k.id % 4 != 0; });
    while (auto e = most.next()) EXPECT_NE(e->key.id % 4, 0u);
    EXPECT_GT(m.level(0).tombstones(), 32u);  // purged only when the cursor goes
  }
  EXPECT_EQ(total_tombstones(m), 0u);
  for (uint64_t i = 0; i < 85; ++i) EXPECT_EQ(m.contains_key(key(i)), i % 4 == 0 && i != order[0]);

  m.clear();
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(Counted::live, 0);
  EXPECT_EQ(m.capacity(), 100u);
  EXPECT_EQ(m.batch_remaining(), 48u);
  put(m, 0, 48);
  EXPECT_EQ(level_lens(m)[0], 48u);
}

TEST_F(Elastic, RebuildKeepsKeysThatCameToCompareEqual) {
  auto m = PinnedMap::with_options(opts(64));
  for (uint64_t i = 0; i < 50; ++i) m.insert(Key(i % 3, i), Counted(i));
  Key::all_equal = true, Key::comparisons = 0;
  m.resize(128);
  EXPECT_EQ(Key::comparisons, 0u);
  Key::all_equal = false;
  EXPECT_EQ(m.len(), 50u);
  for (uint64_t i = 0; i < 50; ++i) EXPECT_EQ(m.get(Key(i % 3, i))->v, i);
  // A capacity whose levels cannot hold the entries is refused up front.
  EXPECT_THROW(m.resize(1), InternalError);
  EXPECT_EQ(m.capacity(), 128u);
  EXPECT_EQ(m.len(), 50u);
}

TEST_F(Elastic, AllocationFailureLeavesTheMapUnchanged) {
  auto m = FailMap::with_options(opts(16));
  put(m, 0, 15);
  for (int64_t granted = 0; granted < 6; ++granted) {  // growth to 32 needs six tables
    FailingAllocator::remaining = granted;
    EXPECT_THROW(m.insert(key(99), Counted(99)), std::bad_alloc);
    EXPECT_THROW(m.reserve(100), std::bad_alloc);
    EXPECT_EQ(m.capacity(), 16u);
    EXPECT_EQ(Key::live + Counted::live, 30);  // the rejected key and value are gone
    for (uint64_t i = 0; i < 15; ++i) ASSERT_EQ(m.get(key(i))->v, i);
  }
  FailingAllocator::remaining = 0;  // a purge that cannot allocate is skipped
  for (uint64_t i = 0; i < 9; ++i) EXPECT_TRUE(m.remove(key(i)));
  EXPECT_EQ(m.level(0).tombstones(), 9u);
  FailingAllocator::remaining = -1;
  EXPECT_TRUE(m.remove(key(9)));
  EXPECT_EQ(m.level(0).tombstones(), 0u);

  EXPECT_THROW(IntMap::with_options(opts(uint64_t{1} << 60)), std::bad_alloc);
  EXPECT_THROW(IntMap::with_options(opts(~uint64_t{0})), std::bad_alloc);
  for (uint64_t huge : {uint64_t{1} << 60, ~uint64_t{0}}) EXPECT_THROW(m.resize(huge), std::bad_alloc);
  for (uint64_t huge : {uint64_t{1} << 62, ~uint64_t{0}}) EXPECT_THROW(m.reserve(huge), std::bad_alloc);
  EXPECT_EQ(m.capacity(), 16u);
  EXPECT_EQ(m.len(), 5u);
}

TEST_F(Elastic, ManyKeysSharingOneHash) {
  auto m = PinnedMap::with_options(opts(0));
  constexpr uint64_t n = 10000, w = 0xABCDEF;
  for (uint64_t i = 0; i < n; ++i) ASSERT_FALSE(m.insert(Key(w, i), Counted(i)));
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(m.get(Key(w, i))->v, i);
  for (uint64_t i = 0; i < n; i += 2) ASSERT_EQ(m.remove(Key(w, i))->v, i);
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(m.contains_key(Key(w, i)), i % 2 == 1);
  for (uint64_t i = 0; i < n; i += 2) ASSERT_FALSE(m.insert(Key(w, i), Counted(i + 1)));
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(m.get(Key(w, i))->v, i + (i % 2 == 0));
  EXPECT_EQ(m.len(), n);
}

template <class M>
void run_model(uint64_t seed, uint64_t distinct_words) {
  std::mt19937_64 rng(seed);
  auto m = M::with_options(opts(rng() % 40, 0.05 + 0.1 * (rng() % 5)));
  std::unordered_map<uint64_t, uint64_t> model;
  auto k = [&](uint64_t id) { return Key(mix(id % distinct_words), id); };
  auto check_all = [&] {
    ASSERT_EQ(m.len(), model.size());
    std::set<uint64_t> seen;
    auto it = m.iter();
    while (const auto* e = it.next()) {
      ASSERT_TRUE(seen.insert(e->key.id).second) << "visited twice";
      ASSERT_EQ(model.at(e->key.id), e->value.v);
    }
    ASSERT_EQ(seen.size(), model.size());
    for (auto [id, v] : model) ASSERT_EQ(m.get(k(id))->v, v);
  };
  for (int step = 0; step < 6000; ++step) {
    const uint64_t id = rng() % 300, r = rng() % 100, v = rng();
    auto found = model.find(id);
    std::optional<uint64_t> expected;
    if (found != model.end()) expected = found->second;
    if (r < 80) {
      auto old = r < 50 ? m.insert(k(id), Counted(v)) : m.remove(k(id));
      ASSERT_EQ(old ? std::optional(old->v) : std::nullopt, expected);
      if (r < 50) {
        model[id] = v;
      } else {
        model.erase(id);
      }
    } else if (r < 92) {
      ASSERT_EQ(m.get(k(id)) != nullptr, expected.has_value());
    } else if (r < 95) {
      m.reserve(rng() % 64);
    } else if (r < 97) {
      auto drain = m.extract_if([&](const Key& key, const Counted&) { return key.id % 5 == id % 5; });
      for (int taken = 0; taken < 3; ++taken) {
        auto e = drain.next();
        if (!e) break;
        ASSERT_EQ(model.erase(e->key.id), 1u);
      }
    } else if (r < 98) {
      m.clear(), model.clear();
    } else {
      check_all();
    }
  }
  check_all();
}

TEST_F(Elastic, MatchesUnorderedMapUnderRandomOperations) {
  for (uint64_t seed = 1; seed <= 3; ++seed) {
    run_model<SeededMap>(seed, 1000);
    run_model<PinnedMap>(seed, 1000);
    run_model<SeededMap>(seed, 3);  // heavy hash collisions
    run_model<PinnedMap>(seed, 1);  // every key on one hash word
  }
}

}  // namespace
