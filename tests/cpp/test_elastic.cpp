// Elastic map: geometry pinned by worked examples, placement and rebuild
// behaviour, failure safety, and a randomized comparison with std::unordered_map.
#include <array>
#include <random>
#include <unordered_map>
#include <vector>

#include "elastic/elastic_hash_map.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using U = std::vector<uint64_t>;
using PinnedMap = ElasticHashMap<Key, Val, IdentityHasher>;
using Elastic = LeakChecked;

ElasticOptions opts(uint64_t cap, double delta = 0.1) { return {cap, delta, 16.0}; }

// Per level of the geometry; a level without a record holds nothing.
template <class M>
U level_lens(const M& m, bool tombstones = false) {
  U v(m.level_count(), 0);
  for (uint64_t i = 0; i < m.recorded_levels(); ++i)
    v[i] = tombstones ? m.level(i).tombstones() : m.level(i).len();
  return v;
}

// Two maps driven alike, one through an optimised procedure and one through
// the plain one, hold the same counters and level counts; with `full`, also
// every entry in the same slot, the same traversal order and longest probes.
template <class M>
void expect_same_state(const M& m, const M& plain, bool full) {
  ASSERT_EQ(m.len(), plain.len());
  ASSERT_EQ(m.capacity(), plain.capacity());
  ASSERT_EQ(m.batch_index(), plain.batch_index());
  ASSERT_EQ(m.batch_remaining(), plain.batch_remaining());
  ASSERT_EQ(m.max_populated_level(), plain.max_populated_level());
  ASSERT_EQ(level_lens(m), level_lens(plain));
  ASSERT_EQ(level_lens(m, true), level_lens(plain, true));
  if (!full) return;
  U order, plain_order;
  m.for_each([&](const Key& key, const Val&) {
    order.push_back(key.id);
    const auto at = m.position_of(key), there = plain.position_of(key);
    ASSERT_TRUE(at && there);
    ASSERT_EQ(at->level, there->level);
    ASSERT_EQ(at->slot, there->slot);
  });
  plain.for_each([&](const Key& key, const Val&) { plain_order.push_back(key.id); });
  ASSERT_EQ(order, plain_order);
  for (uint64_t i = 0; i < std::min(m.recorded_levels(), plain.recorded_levels()); ++i)
    ASSERT_EQ(m.level(i).longest_probe(), plain.level(i).longest_probe());
  m.check_consistency();
  plain.check_consistency();
}

// The two maps of a differential test: `m`, and `plain`, which works while
// one of PinnedMap's test-only flags (`plain_flag`) selects the plain
// procedure. both(f) applies f to each.
struct TwinMaps {
  TwinMaps(bool& plain_flag, const ElasticOptions& o)
      : m(PinnedMap::with_options(o)), plain(PinnedMap::with_options(o)), flag(plain_flag) {}
  template <class F>
  void both(F&& f) {
    f(m);
    struct Set {
      bool& f;
      explicit Set(bool& x) : f(x) { f = true; }
      ~Set() { f = false; }
    } set(flag);
    f(plain);
  }

  PinnedMap m, plain;
  bool& flag;
};

// Two keys in three share one hash word when `shared`.
Key key_sharing_words(bool shared, uint64_t id) {
  return Key(shared && id % 3 != 0 ? 77 : mix(id), id);
}

TEST(ElasticGeometry, LevelsBatchPlansAndProbeLimits) {
  U l1000{512, 256, 128, 64, 32}, p1000{384, 295, 148, 73};
  l1000.resize(15, 16), p1000.resize(15, 0);
  EXPECT_EQ(partition_levels(0), U{});
  EXPECT_EQ(partition_levels(16), U(5, 16));
  EXPECT_EQ(partition_levels(100), (U{64, 32, 16, 16, 16, 16, 16, 16, 16}));
  EXPECT_EQ(partition_levels(1000), l1000);
  EXPECT_EQ(partition_levels(1024), (U{512, 256, 128, 64, 32, 16, 16, 16, 16, 16, 16}));
  EXPECT_EQ(partition_levels(~uint64_t{0}).front(), uint64_t{1} << 63);
  EXPECT_EQ(build_batch_plan(partition_levels(16), 15, 0.1), (U{12, 3, 0, 0, 0}));
  EXPECT_EQ(build_batch_plan(partition_levels(100), 90, 0.1), (U{48, 37, 5, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(build_batch_plan(partition_levels(1000), 900, 0.1), p1000);
  EXPECT_EQ(build_batch_plan({16}, 0, 0.1), U{});
  EXPECT_EQ(build_batch_plan({16}, 16, 1e-6), (U{12, 4}));  // an extra batch makes up the rest

  const LevelBudget big = LevelBudget::of(1024, 0.1, 16.0);
  EXPECT_EQ(big.reserve_threshold, 51u);
  for (uint64_t f = 0; f <= 1024; ++f)
    ASSERT_EQ(big.probe_limit(f), f == 0 || f >= 512 ? 1u
                                  : f >= 385         ? 2u
                                  : f >= 309         ? 3u
                                                     : 4u)
        << f;
  EXPECT_EQ(big.steps.size(), 3u);
  const LevelBudget small = LevelBudget::of(16, 0.1, 16.0);
  EXPECT_TRUE(small.steps.empty());
  for (uint64_t f = 0; f <= 16; ++f) EXPECT_EQ(small.probe_limit(f), 1u);
  const auto lv = Level<uint64_t, uint64_t>::with_capacity_in(1024, 0, big);
  EXPECT_EQ(lv.reserve_threshold(), 51u);
  EXPECT_EQ((U{lv.slots(), lv.groups(), lv.table().slots()}), (U{1024, 64, 1024}));
}

// Small plans are computed once per thread and then shared; the shared one
// must be the plan itself, whatever was looked up in between.
TEST(ElasticGeometry, CachedPlansEqualFreshOnes) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 3000; ++i) {
    const uint64_t n = rng() % 3 == 0 ? rng() % 5000 : rng() % 40;
    const double delta = std::vector<double>{0.1, 0.5, 1e-6, 0.999999}[rng() % 4];
    const uint64_t m = max_insertions_for(n, delta);
    const double scale = std::vector<double>{16.0, 1.0, 1000.0}[rng() % 3];
    std::optional<ElasticPlanCache::Item> scratch;
    const auto& got = ElasticPlanCache::get(n, m, delta, scale, scratch);
    const std::vector<uint64_t>& sizes = got.plan.level_sizes();
    ASSERT_EQ(sizes, partition_levels(n)) << n;
    for (uint64_t i = 0; i < sizes.size(); ++i) {
      const LevelBudget want = LevelBudget::of(sizes[i], delta, scale);
      ASSERT_EQ(got.plan.budget(i).reserve_threshold, want.reserve_threshold);
      ASSERT_EQ(got.plan.budget(i).steps, want.steps) << n << " " << delta << " " << scale;
    }
    ASSERT_EQ(got.plan.get(), build_batch_plan(partition_levels(n), m, delta)) << n << " " << delta;
  }
}

// The budgets as one element per free-slot count, built the direct way.
U probe_limit_table(uint64_t slots, double delta, double probe_scale) {
  U limits(slots + 1, 1);
  const uint64_t groups = slots / 16;
  std::vector<std::pair<uint64_t, uint64_t>> pairs;
  for (uint64_t k = 2; k <= groups; ++k) {
    const double x = static_cast<double>(16 * k - 16) / probe_scale;
    if (x >= std::log2(1.0 / delta)) break;
    const uint64_t t =
        f64_to_u64_sat(std::ceil(static_cast<double>(slots) / std::exp2(std::sqrt(x))));
    if (t < 2) break;
    pairs.push_back({k, std::min(slots, t - 1)});
  }
  for (uint64_t f = 1; f < slots; ++f)
    for (auto [k, threshold] : pairs)
      if (threshold >= f) limits[f] = std::max(limits[f], k);
  return limits;
}

TEST(ElasticGeometry, ProbeStepsGiveTheFullBudgetTable) {
  for (uint64_t slots = 16; slots <= (uint64_t{1} << 14); slots *= 2)
    for (double delta : {0.1, 0.5, 0.01, 1e-6, 0.999999})
      for (double scale : {16.0, 1.0, 0.3, 40.0, 1000.0, 1e300, 5e-324}) {
        const LevelBudget lv = LevelBudget::of(slots, delta, scale);
        const U want = probe_limit_table(slots, delta, scale);
        for (uint64_t f = 0; f <= slots; ++f)
          ASSERT_EQ(lv.probe_limit(f), want[f])
              << slots << " " << delta << " " << scale << " " << f;
      }
}

// Levels get their blocks at their first placement. A map whose blocks all
// exist from the start must place every key in the same slot, traverse in the
// same order and grow at the same points, through growth, removal and clear.
TEST_F(Elastic, LazyLevelsPlaceLikeAllocatedOnes) {
  for (uint64_t run = 0; run < 6; ++run) {
    std::mt19937_64 rng(run);
    const uint64_t words = run % 2 == 0 ? 5000 : 2;
    const auto o = opts(run * 37 % 200, run % 3 == 0 ? 0.1 : 0.01);
    auto lazy = PinnedMap::with_options(o), eager = PinnedMap::with_options(o);
    auto k = [&](uint64_t id) { return Key(mix(id % words), id); };
    for (int step = 0; step < 3000; ++step) {
      eager.allocate_all_levels();
      const uint64_t id = rng() % 500, r = rng() % 100;
      if (r < 70) {
        ASSERT_EQ(lazy.insert(k(id), Val(id)).has_value(),
                  eager.insert(k(id), Val(id)).has_value());
      } else if (r < 99) {
        ASSERT_EQ(lazy.remove(k(id)).has_value(), eager.remove(k(id)).has_value());
      } else {
        lazy.clear(), eager.clear();
      }
      ASSERT_EQ(lazy.capacity(), eager.capacity());
      ASSERT_EQ(lazy.batch_index(), eager.batch_index());
      ASSERT_EQ(level_lens(lazy), level_lens(eager));
      ASSERT_EQ(level_lens(lazy, true), level_lens(eager, true));
      auto a = lazy.iter(), b = eager.iter();
      for (;;) {
        const auto *ea = a.next(), *eb = b.next();
        ASSERT_EQ(ea == nullptr, eb == nullptr);
        if (ea == nullptr) break;
        ASSERT_EQ(ea->key.id, eb->key.id);
        const auto pa = lazy.position_of(ea->key), pb = eager.position_of(eb->key);
        ASSERT_EQ(pa->level, pb->level);
        ASSERT_EQ(pa->slot, pb->slot);
      }
      if (step % 100 == 0) lazy.check_consistency(), eager.check_consistency();
    }
  }
  // An empty map holds no block; the first key brings level 0's only.
  TestAllocator::budget = -1;
  auto m = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options(opts(0));
  EXPECT_EQ(TestAllocator::blocks, 0);
  m.insert(key(1), Val(1));
  EXPECT_EQ(m.level_count(), 5u);
  EXPECT_EQ(TestAllocator::blocks, 1);
  // Capacity 100: the 62nd key is level 1's first. Without its block the key
  // is refused and nothing changes.
  auto m100 = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options(opts(100));
  for (uint64_t i = 0; i < 61; ++i) m100.insert(key(i), Val(i));
  EXPECT_EQ(TestAllocator::blocks, 2);
  TestAllocator::budget = 0;
  EXPECT_THROW(m100.insert(key(61), Val(61)), std::bad_alloc);
  EXPECT_FALSE(m100.contains_key(key(61)));
  EXPECT_EQ(m100.len(), 61u);
  EXPECT_EQ(live, 2 * (61 + 1));
  TestAllocator::budget = -1;
  m100.insert(key(61), Val(61));
  EXPECT_EQ(m100.position_of(key(61))->level, 1u);
  EXPECT_EQ(TestAllocator::blocks, 3);
  m100.check_consistency();
  m.check_consistency();
  // Batch 0 keeps level 0's record only; the first key past it brings every
  // level's, and without them the key is refused and nothing changes.
  auto s = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options(opts(16));
  for (uint64_t i = 0; i < 12; ++i) s.insert(key(i), Val(i));
  EXPECT_EQ((U{s.recorded_levels(), s.level_count(), s.batch_index()}), (U{1, 5, 0}));
  TestAllocator::record_budget = 0;
  EXPECT_THROW(s.insert(key(12), Val(12)), std::bad_alloc);
  EXPECT_EQ((U{s.recorded_levels(), s.len(), s.batch_index()}), (U{1, 12, 0}));
  TestAllocator::record_budget = -1;
  s.insert(key(12), Val(12));
  EXPECT_EQ((U{s.recorded_levels(), s.batch_index(), s.position_of(key(12))->level}), (U{5, 1, 0}));
  s.check_consistency();
}

// The level split of the first insertions follows from the batch rules alone, whatever the
// hashes: batch 1 finishes level 0 down to its reserve threshold of 3, then fills level 1.
TEST_F(Elastic, Capacity100SplitAndProbeBudget) {
  for (uint64_t (*word)(uint64_t) : {&mix, +[](uint64_t) -> uint64_t { return 0x5A5A; }}) {
    auto m = PinnedMap::with_options(opts(100));
    for (auto [to, l0, l1] : std::vector<std::array<uint64_t, 3>>{
             {48, 48, 0}, {61, 61, 0}, {85, 61, 24}, {90, 61, 29}}) {
      for (uint64_t i = m.len(); i < to; ++i) m.insert(Key(word(i), i), Val(i));
      EXPECT_EQ(level_lens(m)[0], l0) << to;
      EXPECT_EQ(level_lens(m)[1], l1) << to;
    }
    EXPECT_EQ(m.capacity(), 100u);
    m.insert(Key(word(90), 90), Val(90));
    EXPECT_EQ(m.capacity(), 200u);
  }
  // One hash word: level 0 (4 groups) fills its probe sequence group by group.
  // Emptying the second group leaves 32 free slots, a budget of one group,
  // and the first group is still full: the next key goes to level 1.
  auto m = PinnedMap::with_options(opts(100));
  for (uint64_t i = 0; i < 48; ++i) m.insert(Key(9, i), Val(i));
  for (uint64_t i = 16; i < 32; ++i) m.remove(Key(9, i));
  m.insert(Key(9, 100), Val(100));
  EXPECT_EQ(m.position_of(Key(9, 100))->level, 1u);
}

TEST_F(Elastic, GrowthPointsAndReserve) {
  auto m = PinnedMap::with_options(opts(16));
  for (uint64_t i = 0; i < 15; ++i) m.insert(key(i), Val(i));
  EXPECT_EQ(level_lens(m), (U{15, 0, 0, 0, 0}));
  // Room freed by a removal is used under the last batch, skipping zero quotas.
  m.remove(key(0));
  m.insert(key(100), Val(100));
  EXPECT_EQ(m.batch_index(), 4u);
  EXPECT_EQ(m.position_of(key(100))->level, 3u);
  m.insert(key(15), Val(15));
  EXPECT_EQ(m.capacity(), 32u);

  auto e = PinnedMap::with_options(opts(0));
  EXPECT_FALSE(e.contains_key(key(1)) || e.remove(key(1)));
  e.insert(key(1), Val(1));
  e.reserve(14);  // 1 + 14 still fits in max_insertions 15
  EXPECT_EQ(e.capacity(), 16u);
  e.reserve(20);
  EXPECT_EQ(e.capacity(), 32u);

  // Near-total reserve: each new key past the first doubles the capacity once and is still placed.
  auto tight = PinnedMap::with_options(opts(16, 0.999999));
  for (uint64_t i = 0; i < 10; ++i) {
    tight.insert(key(i), Val(i));
    EXPECT_EQ(tight.capacity(), uint64_t{16} << (i == 0 ? 0 : i));
  }
}

TEST_F(Elastic, ReplacementTombstonesAndPurge) {
  auto m = PinnedMap::with_options(opts(16));
  m.insert(Key(7, 1, /*note=*/100), Val(10));
  m.insert(Key(7, 2), Val(20));
  const uint64_t remaining = m.batch_remaining();
  EXPECT_EQ(m.insert(Key(7, 1, /*note=*/200), Val(11))->v, 10u);
  EXPECT_EQ(m.batch_remaining(), remaining);
  EXPECT_EQ(m.iter().next()->key.note, 100u);  // the stored key object stays
  // One group, one hash: slots fill lowest lane first, and a tombstone below
  // the first EMPTY lane is reused before it.
  EXPECT_EQ(m.remove(Key(7, 1))->v, 11u);
  EXPECT_EQ(m.level(0).table().ctrl_byte(0), DELETED);
  m.insert(Key(7, 3), Val(30));
  EXPECT_EQ(m.position_of(Key(7, 3))->slot, 0u);
  EXPECT_EQ(m.level(0).tombstones(), 0u);
  m.clear();

  for (uint64_t i = 0; i < 15; ++i) m.insert(key(i), Val(i));
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_EQ(m.level(0).tombstones(), 8u);
  m.remove(key(8));  // 9 > 16 / 2: rebuilt at the same capacity, from batch 0
  EXPECT_EQ(level_lens(m, true), U(m.level_count(), 0));
  EXPECT_EQ(m.capacity(), 16u);
  EXPECT_EQ(m.batch_remaining(), 6u);
}

TEST_F(Elastic, ExtractIfFollowsTraversalAndClearKeepsCapacity) {
  auto m = ElasticHashMap<Key, Val>::with_options(opts(100));
  for (uint64_t i = 0; i < 85; ++i) m.insert(key(i), Val(i));  // levels 0 and 1
  U wanted, taken;
  m.for_each([&](const Key& k, const Val&) {
    if (k.id % 4 != 0) wanted.push_back(k.id);
  });
  {
    auto most = m.extract_if([](const Key& k, const Val&) { return k.id % 4 != 0; });
    while (auto e = most.next()) taken.push_back(e->key.id);
    EXPECT_GT(m.level(0).tombstones(), 32u);  // purged only when the cursor goes
  }
  EXPECT_EQ(taken, wanted);
  EXPECT_EQ(level_lens(m, true), U(m.level_count(), 0));
  for (uint64_t i = 0; i < 85; ++i) EXPECT_EQ(m.contains_key(key(i)), i % 4 == 0);

  m.clear();
  EXPECT_EQ(m.capacity(), 100u);
  EXPECT_EQ(m.batch_remaining(), 48u);  // batch 0 again
}

TEST_F(Elastic, RebuildKeepsKeysThatCameToCompareEqual) {
  auto m = PinnedMap::with_options(opts(64));
  for (uint64_t i = 0; i < 50; ++i) m.insert(Key(i % 3, i), Val(i));
  Key::all_equal = true, Key::comparisons = 0;
  m.resize(128);
  EXPECT_EQ(Key::comparisons, 0u);
  Key::all_equal = false;
  EXPECT_THROW(m.resize(1), InternalError);  // levels too small for the entries: refused up front
  EXPECT_EQ(m.capacity(), 128u);
  for (uint64_t i = 0; i < 50; ++i) EXPECT_EQ(m.get(Key(i % 3, i))->v, i);
}

TEST_F(Elastic, AllocationFailureLeavesTheMapUnchanged) {
  auto m = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options(opts(16));
  for (uint64_t i = 0; i < 15; ++i) m.insert(key(i), Val(i));
  for (int64_t granted = 0; granted < 6; ++granted) {  // growth to 32 needs six tables
    TestAllocator::budget = granted;
    EXPECT_THROW(m.insert(key(99), Val(99)), std::bad_alloc);
    EXPECT_THROW(m.reserve(100), std::bad_alloc);
    EXPECT_EQ(live, 30);  // the rejected key and value are gone
    for (uint64_t i = 0; i < 15; ++i) ASSERT_EQ(m.get(key(i))->v, i);
  }
  TestAllocator::budget = 0;  // a purge that cannot allocate is skipped
  for (uint64_t i = 0; i < 9; ++i) EXPECT_TRUE(m.remove(key(i)));
  EXPECT_EQ(m.level(0).tombstones(), 9u);
  TestAllocator::budget = -1;
  EXPECT_TRUE(m.remove(key(9)));
  EXPECT_EQ(m.level(0).tombstones(), 0u);

  for (uint64_t huge : {uint64_t{1} << 60, ~uint64_t{0}}) {
    EXPECT_THROW((ElasticHashMap<uint64_t, uint64_t>::with_options(opts(huge))), std::bad_alloc);
    EXPECT_THROW(m.resize(huge), std::bad_alloc);
    EXPECT_THROW(m.reserve(huge), std::bad_alloc);
  }
  EXPECT_EQ(m.capacity(), 16u);
  EXPECT_EQ(m.len(), 5u);
}

TEST_F(Elastic, NewKeysStopCleanlyWhenALevelCannotHaveItsBlock) {
  // Levels past the first get their block at their first key, and their
  // records when batch 0 ends: when either fails, the keys placed so far
  // are the map's and the rest never arrive.
  using TMap = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>;
  for (const bool records : {false, true}) {
    auto m = TMap::with_options(opts(1024));
    if (records) {
      TestAllocator::record_budget = 0;
    } else {
      TestAllocator::budget = 0;
    }
    uint64_t placed = 0;
    try {
      typename TMap::NewKeys fresh(m);
      for (; placed < 1000; ++placed) {
        const Key k = key(placed);
        fresh.insert_made(m.slot_hash(k), [&] {
          return Entry<Key, Val>{key(placed), Val(placed)};
        });
      }
    } catch (const std::bad_alloc&) {
    }
    TestAllocator::budget = TestAllocator::record_budget = -1;
    ASSERT_GT(placed, 0u);
    ASSERT_LT(placed, 1000u);
    if (records) {
      EXPECT_EQ(placed, m.batch_plan()[0]);  // all of batch 0, nothing more
    }
    EXPECT_EQ(m.len(), placed);
    EXPECT_EQ(live, static_cast<int64_t>(2 * placed));
    m.check_consistency();
    for (uint64_t i = 0; i < placed; ++i) ASSERT_EQ(m.get(key(i))->v, i);
    m.insert(key(5000), Val(5000));  // usable, from the batch the fill reached
    m.check_consistency();
  }
}

TEST_F(Elastic, ManyKeysSharingOneHash) {
  auto m = PinnedMap::with_options(opts(0));
  constexpr uint64_t n = 10000, w = 0xABCDEF;
  for (uint64_t i = 0; i < n; ++i) ASSERT_FALSE(m.insert(Key(w, i), Val(i)));
  for (uint64_t i = 0; i < n; i += 2) ASSERT_EQ(m.remove(Key(w, i))->v, i);
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(m.contains_key(Key(w, i)), i % 2 == 1);
  for (uint64_t i = 0; i < n; i += 2) ASSERT_FALSE(m.insert(Key(w, i), Val(i + 1)));
  for (uint64_t i = 0; i < n; ++i) ASSERT_EQ(m.get(Key(w, i))->v, i + (i % 2 == 0));
}

// A purge skipped for lack of memory is made up by the next removing walk,
// even one that takes from another level.
TEST_F(Elastic, DeferredPurgeRunsWhenAnExtractionEnds) {
  auto m = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options(opts(100));
  for (uint64_t i = 0; i < 85; ++i) m.insert(key(i), Val(i));  // levels 0 (64 slots) and 1
  U in0, in1;
  for (uint64_t i = 0; i < 85; ++i) (m.position_of(key(i))->level == 0 ? in0 : in1).push_back(i);
  ASSERT_GE(in0.size(), 33u);
  ASSERT_FALSE(in1.empty());
  TestAllocator::budget = 0;
  for (int j = 0; j < 33; ++j) ASSERT_TRUE(m.remove(key(in0[j])));
  EXPECT_EQ(m.level(0).tombstones(), 33u);  // the purge found no memory
  m.check_consistency();
  TestAllocator::budget = -1;
  const uint64_t other = in1.front();
  ASSERT_EQ(m.extract_if([&](const Key& k, const Val&) { return k.id == other; }).next()->key.id,
            other);
  EXPECT_EQ(level_lens(m, true), U(m.level_count(), 0));
  m.check_consistency();
}

// A purge empties the levels in place and re-places the entries from batch
// 0; a full rebuild at the same capacity is the plain procedure. Two maps
// driven through the same operations, one purging each way, keep the same
// entries in the same places, traversal order, counts and batch state, also
// with keys sharing cached hashes and when purges run at the end of removing
// walks.
TEST_F(Elastic, InPlacePurgeMatchesRebuild) {
  const auto tombstones = [](const PinnedMap& m) {
    uint64_t t = 0;
    for (uint64_t i = 0; i < m.recorded_levels(); ++i) t += m.level(i).tombstones();
    return t;
  };
  std::mt19937_64 rng(815);
  for (bool shared : {false, true}) {
    TwinMaps t(PinnedMap::purge_by_rebuild, opts(shared ? 128 : 1000));
    PinnedMap &m = t.m, &plain = t.plain;
    const auto k = [shared](uint64_t id) { return key_sharing_words(shared, id); };
    const auto both = [&t](auto&& f) { t.both(f); };
    uint64_t purges = 0;
    bool draining = false;
    for (uint64_t step = 0; step < 4000; ++step) {
      const uint64_t before = tombstones(m);
      const bool removed =
          fill_drain_step(m, m.max_insertions() - 2, shared ? 400 : 3000, draining, rng, k, both);
      purges += removed && tombstones(m) < before;
      ASSERT_NO_FATAL_FAILURE(expect_same_state(m, plain, step % 8 == 0));
    }
    EXPECT_GE(purges, 3u);
  }
}

// Rebuilds and purges re-place entries through a loop of their own (batch
// state kept locally, no block checks); the plain procedure places each entry
// as the insertion of a new key does. Two maps driven the same way, one
// re-placing each way, keep every entry in the same slot, the same traversal
// order, batch state and longest probes: through growth from empty, a
// reserve, a purge of a map large enough for the look-ahead, and
// fill-and-drain cycles, with keys sharing hash words and reserve fractions
// that reach the extra batch.
TEST_F(Elastic, RefillMatchesPlainPlacement) {
  struct Case {
    double delta;
    bool shared;
    uint64_t n;
  };
  for (const Case c : {Case{0.1, false, 40000}, Case{0.5, true, 2000}, Case{0.999999, false, 10},
                       Case{0.01, true, 3000}}) {
    SCOPED_TRACE(c.delta);
    auto k = [&](uint64_t id) { return Key(c.shared && id % 3 != 0 ? mix(id % 7) : mix(id), id); };
    TwinMaps t(PinnedMap::refill_plainly, opts(0, c.delta));
    PinnedMap &m = t.m, &plain = t.plain;
    const auto both = [&t](auto&& f) { t.both(f); };
    for (uint64_t id = 0; id < c.n; ++id) {
      const uint64_t cap = m.capacity();
      both([&](auto& x) { x.insert(k(id), Val(id)); });
      if (m.capacity() != cap) {
        ASSERT_NO_FATAL_FAILURE(expect_same_state(m, plain, true));
      }
    }
    if (c.n >= 40000) {
      ASSERT_TRUE(worth_prefetching(m.level(0).slots()));  // the purge looks ahead
      // Removing most of level 1 purges the whole map.
      uint64_t purges = 0;
      for (uint64_t id = 0; id < c.n && purges == 0; ++id) {
        const auto at = m.position_of(k(id));
        if (!at || at->level != 1) continue;
        const uint64_t before = m.level(1).tombstones();
        both([&](auto& x) { x.remove(k(id)); });
        purges += m.level(1).tombstones() < before;
      }
      EXPECT_EQ(purges, 1u);
      ASSERT_NO_FATAL_FAILURE(expect_same_state(m, plain, true));
    }
    both([&](auto& x) { x.reserve(x.len()); });
    ASSERT_NO_FATAL_FAILURE(expect_same_state(m, plain, true));
  }
  std::mt19937_64 rng(99);
  for (bool shared : {false, true}) {
    TwinMaps t(PinnedMap::refill_plainly, opts(shared ? 128 : 1000));
    PinnedMap &m = t.m, &plain = t.plain;
    const auto k = [shared](uint64_t id) { return key_sharing_words(shared, id); };
    const auto both = [&t](auto&& f) { t.both(f); };
    bool draining = false;
    for (uint64_t step = 0; step < 3000; ++step) {
      fill_drain_step(m, m.max_insertions() - 2, shared ? 400 : 3000, draining, rng, k, both);
      if (step % 16 == 0) {
        ASSERT_NO_FATAL_FAILURE(expect_same_state(m, plain, true));
      }
    }
  }
}

// Neither purge compares keys: keys whose equality changed since they were
// stored (here: all equal) stay apart.
TEST_F(Elastic, PurgeComparesNoKeys) {
  auto m = PinnedMap::with_options(opts(64));
  for (uint64_t i = 0; i < 50; ++i) m.insert(Key(i % 3, i), Val(i));
  Key::all_equal = true, Key::comparisons = 0;
  // Draining level 0 (64 slots) from the front purges when the 33rd walk
  // ends; the 7 walks after it leave at most 7 tombstones.
  for (uint64_t i = 0; i < 40; ++i)
    m.extract_if([](const Key&, const Val&) { return true; }).next();
  EXPECT_EQ(Key::comparisons, 0u);
  Key::all_equal = false;
  EXPECT_EQ(m.len(), 10u);
  EXPECT_LE(m.level(0).tombstones(), 7u);
  m.check_consistency();
}

// Churn leaves DELETED bytes everywhere; searches stop at the longest probe
// any placement used, which must still reach every stored key.
TEST_F(Elastic, ChurnSearchesStopAtTheLongestProbe) {
  auto m = PinnedMap::with_options(opts(256));
  uint64_t oldest = 0, next = 0;
  for (; next < 200; ++next) m.insert(key(next), Val(next));
  for (int round = 0; round < 5000; ++round, ++oldest, ++next) {
    ASSERT_FALSE(m.insert(key(next), Val(next)));
    ASSERT_EQ(m.remove(key(oldest))->v, oldest);
    ASSERT_FALSE(m.get(key(oldest)));
    if (round % 500 == 0) m.check_consistency();
  }
  for (uint64_t i = 0; i < m.recorded_levels(); ++i) {
    EXPECT_LE(m.level(i).longest_probe(), m.level(i).groups());
    EXPECT_EQ(m.level(i).len() == 0 && m.level(i).tombstones() == 0,
              m.level(i).longest_probe() == 0);
  }
  for (uint64_t id = oldest; id < next; ++id) ASSERT_EQ(m.get(key(id))->v, id);
  m.clear();
  for (uint64_t i = 0; i < m.recorded_levels(); ++i) EXPECT_EQ(m.level(i).longest_probe(), 0u);
}

// A key that goes past a full group marks it with its hash's bit; searches
// stop at a group without their key's bit, so a missing mark would hide a key.
TEST_F(Elastic, GroupMarksRecordKeysThatWentPast) {
  using Table = PinnedMap::LevelType::Table;
  auto m = PinnedMap::with_options(opts(100));  // level 0: four groups
  const uint64_t start = table_salt(0) & 3;     // every key below starts in group 0
  const auto word = [&](uint64_t i, uint64_t bit) { return start | (i << 8) | (bit << 54); };
  for (uint64_t i = 0; i < 16; ++i) m.insert(Key(word(i, 5), i), Val(i));
  EXPECT_FALSE(m.level(0).table().group_marked(0, Table::mark_bit(word(0, 5))));
  m.insert(Key(word(16, 2), 16), Val(16));  // group 0 is full: the key lands in group 1
  EXPECT_EQ(m.position_of(Key(word(16, 2), 16))->slot / kGroupWidth, 1u);
  EXPECT_TRUE(m.level(0).table().group_marked(0, Table::mark_bit(word(16, 2))));
  EXPECT_FALSE(m.level(0).table().group_marked(0, Table::mark_bit(word(0, 5))));
  EXPECT_FALSE(m.get(Key(word(17, 5), 17)));  // stops at group 0
  EXPECT_EQ(m.get(Key(word(16, 2), 16))->v, 16u);
  m.check_consistency();
  // Removal keeps the mark (DELETED bytes do not end searches either); a
  // clear resets it.
  m.remove(Key(word(16, 2), 16));
  EXPECT_TRUE(m.level(0).table().group_marked(0, Table::mark_bit(word(16, 2))));
  m.clear();
  EXPECT_FALSE(m.level(0).table().group_marked(0, Table::mark_bit(word(16, 2))));
}

// Also checks traversal: iter and for_each agree and visit each entry once,
// in strictly increasing (level, slot) order.
TEST_F(Elastic, MatchesUnorderedMapUnderRandomOperations) {
  for (uint64_t run = 0; run < 12; ++run) {
    std::mt19937_64 rng(run);
    const uint64_t words = run % 3 == 0 ? 1000 : run % 3 == 1 ? 3 : 1;  // 3 and 1: heavy collisions
    auto m = PinnedMap::with_options(opts(rng() % 40, 0.05 + 0.1 * (rng() % 5)));
    std::unordered_map<uint64_t, uint64_t> model;
    auto k = [&](uint64_t id) { return Key(mix(id % words), id); };
    auto value_of = [](const auto& got) { return got ? std::optional(got->v) : std::nullopt; };
    auto check_all = [&] {
      U order, each;
      std::pair<uint64_t, uint64_t> last{0, 0};
      auto it = m.iter();
      while (const auto* e = it.next()) {
        const auto pos = m.position_of(e->key);
        ASSERT_TRUE(order.empty() || last < std::pair(pos->level, pos->slot))
            << "out of order or twice";
        last = {pos->level, pos->slot}, order.push_back(e->key.id);
        ASSERT_EQ(model.at(e->key.id), e->value.v);
      }
      ASSERT_EQ(it.next(), nullptr);
      ASSERT_EQ(order.size(), model.size());
      ASSERT_EQ(m.len(), model.size());
      m.for_each([&](const Key& key, const Val&) { each.push_back(key.id); });
      ASSERT_EQ(each, order);
    };
    for (int step = 0; step < 6000; ++step) {
      const uint64_t id = rng() % 300, r = rng() % 100, v = rng();
      const auto expected = model.count(id) ? std::optional(model[id]) : std::nullopt;
      if (r < 80) {
        ASSERT_EQ(value_of(r < 50 ? m.insert(k(id), Val(v)) : m.remove(k(id))), expected);
        r < 50 ? void(model[id] = v) : void(model.erase(id));
      } else if (r < 92) {
        ASSERT_EQ(value_of(m.get(k(id))), expected);
      } else if (r < 95) {
        m.reserve(rng() % 64);
      } else if (r < 97) {
        auto drain = m.extract_if([&](const Key& key, const Val&) { return key.id % 5 == id % 5; });
        for (int taken = 0; taken < 3; ++taken)
          if (auto e = drain.next()) {
            ASSERT_EQ(model.erase(e->key.id), 1u);
          }
      } else if (r < 98) {
        if (rng() % 4 == 0) m.clear(), model.clear();
        // Drains from the front as popitem does: each taken entry is the first
        // one of a full walk of the slots.
        for (uint64_t n = rng() % 16; n > 0 && m.len() > 0; --n) {
          std::optional<uint64_t> first;
          m.for_each([&](const Key& key, const Val&) { first = first ? first : key.id; });
          ASSERT_EQ(m.extract_if([](const Key&, const Val&) { return true; }).next()->key.id,
                    first);
          model.erase(*first);
          m.check_consistency();
        }
      } else {
        check_all();
      }
      m.check_consistency();
    }
    check_all();
  }
}

}  // namespace
