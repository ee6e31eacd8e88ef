// Elastic map: geometry pinned by worked examples and a brute-force budget
// table, the batch rule's level split, growth, replacement and purge points,
// and when levels get their blocks and records (also when they cannot).
#include <array>
#include <cmath>
#include <vector>

#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using U = std::vector<uint64_t>;
using ElasticMap = LeakChecked;

// Per level of the geometry; a level without a record holds nothing.
U level_lens(const Elastic& m, bool tombstones = false) {
  U v(m.level_count(), 0);
  for (uint64_t i = 0; i < m.recorded_levels(); ++i)
    v[i] = tombstones ? m.level(i).tombstones() : m.level(i).len();
  return v;
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
  for (uint64_t slots = 16; slots <= (uint64_t{1} << 13); slots *= 2)
    for (double delta : {0.1, 0.5, 0.01, 1e-6, 0.999999})
      for (double scale : {16.0, 1.0, 0.3, 40.0, 1000.0, 1e300, 5e-324}) {
        const LevelBudget lv = LevelBudget::of(slots, delta, scale);
        const U want = probe_limit_table(slots, delta, scale);
        for (uint64_t f = 0; f <= slots; ++f)
          ASSERT_EQ(lv.probe_limit(f), want[f])
              << slots << " " << delta << " " << scale << " " << f;
      }
}

// The level split of the first insertions follows from the batch rules alone, whatever the
// hashes: batch 1 finishes level 0 down to its reserve threshold of 3, then fills level 1.
TEST_F(ElasticMap, Capacity100SplitAndProbeBudget) {
  for (uint64_t (*word)(uint64_t) : {&mix, +[](uint64_t) -> uint64_t { return 0x5A5A; }}) {
    auto m = Elastic::with_options(opts<Elastic>(100));
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
  auto m = Elastic::with_options(opts<Elastic>(100));
  for (uint64_t i = 0; i < 48; ++i) m.insert(Key(9, i), Val(i));
  for (uint64_t i = 16; i < 32; ++i) m.remove(Key(9, i));
  m.insert(Key(9, 100), Val(100));
  EXPECT_EQ(m.position_of(Key(9, 100))->level, 1u);
}

// Capacity 16: one group per level, plan {12, 3, 0, 0, 0}, max_insertions 15.
TEST_F(ElasticMap, Capacity16ReplacementPurgeAndGrowth) {
  auto m = Elastic::with_options(opts<Elastic>(16));
  m.insert(Key(7, 1, /*note=*/100), Val(10));
  m.insert(Key(7, 2), Val(20));
  // Replacement keeps the stored key object and the batch position.
  const uint64_t remaining = m.batch_remaining();
  EXPECT_EQ(m.insert(Key(7, 1, /*note=*/200), Val(11))->v, 10u);
  EXPECT_EQ(m.batch_remaining(), remaining);
  EXPECT_EQ(m.iter().next()->key.note, 100u);
  // One hash: slots fill lowest lane first, and a tombstone below the first
  // EMPTY lane is reused before it.
  EXPECT_EQ(m.remove(Key(7, 1))->v, 11u);
  EXPECT_EQ(m.level(0).table().ctrl_byte(0), DELETED);
  m.insert(Key(7, 3), Val(30));
  EXPECT_EQ(m.position_of(Key(7, 3))->slot, 0u);
  EXPECT_EQ(m.level(0).tombstones(), 0u);
  m.clear();

  for (uint64_t i = 0; i < 15; ++i) m.insert(key(i), Val(i));
  EXPECT_EQ(level_lens(m), (U{15, 0, 0, 0, 0}));
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_EQ(m.level(0).tombstones(), 8u);
  m.remove(key(8));  // 9 > 16 / 2: rebuilt at the same capacity, from batch 0
  EXPECT_EQ(level_lens(m, true), U(m.level_count(), 0));
  EXPECT_EQ((U{m.capacity(), m.batch_index(), m.batch_remaining()}), (U{16, 0, 6}));
  for (uint64_t i = 0; i < 9; ++i) m.insert(key(i), Val(i));
  // Room freed by a removal is used under the last batch, skipping zero quotas.
  m.remove(key(0));
  m.insert(key(100), Val(100));
  EXPECT_EQ(m.batch_index(), 4u);
  EXPECT_EQ(m.position_of(key(100))->level, 3u);
  m.insert(key(15), Val(15));
  EXPECT_EQ(m.capacity(), 32u);
  m.insert(key(16), Val(16)), m.insert(key(17), Val(17));
  EXPECT_THROW(m.resize(1), InternalError);  // 16 slots for 18 entries: refused up front
  EXPECT_EQ(m.capacity(), 32u);
  m.check_consistency();

  auto e = Elastic::with_options(opts<Elastic>(0));
  EXPECT_FALSE(e.contains_key(key(1)) || e.remove(key(1)));
  e.insert(key(1), Val(1));
  e.reserve(14);  // 1 + 14 still fits in max_insertions 15
  EXPECT_EQ(e.capacity(), 16u);
  e.reserve(15);
  EXPECT_EQ(e.capacity(), 32u);

  // Near-total reserve: each new key past the first doubles the capacity once and is still placed.
  auto tight = Elastic::with_options(opts<Elastic>(16, 0.999999));
  for (uint64_t i = 0; i < 10; ++i) {
    tight.insert(key(i), Val(i));
    EXPECT_EQ(tight.capacity(), uint64_t{16} << (i == 0 ? 0 : i));
  }
}

// A level gets its block with its first key, the levels after level 0 their
// records when batch 0 ends. Keys known to be new (NewKeys) that find no
// block or record stop there, the map keeping those placed. A purge that finds
// no memory is made up by the next removing walk, even one that takes from
// another level.
TEST_F(ElasticMap, LevelsGetBlocksAndRecordsWhenFirstReached) {
  auto m = Elastic::with_options(opts<Elastic>(0));
  EXPECT_EQ(TestAllocator::blocks, 0);
  m.insert(key(1), Val(1));
  EXPECT_EQ((U{m.level_count(), m.recorded_levels()}), (U{5, 1}));
  EXPECT_EQ(TestAllocator::blocks, 1);
  auto m100 = Elastic::with_options(opts<Elastic>(100));  // the 62nd key is level 1's first
  for (uint64_t i = 0; i < 62; ++i) {
    m100.insert(key(i), Val(i));
    ASSERT_EQ(TestAllocator::blocks, i < 61 ? 2 : 3) << i;
    ASSERT_EQ(m100.position_of(key(i))->level, i / 61);
    ASSERT_EQ(m100.recorded_levels(), i < 48 ? 1u : 9u) << i;  // batch 0 is 48 keys
  }

  for (const bool records : {false, true}) {
    auto n = Elastic::with_options(opts<Elastic>(1024));
    (records ? TestAllocator::record_budget : TestAllocator::budget) = 0;
    uint64_t placed = 0;
    try {
      Elastic::NewKeys fresh(n);
      for (; placed < 1000; ++placed)
        fresh.insert_made(mix(placed), [&] { return Entry<Key, Val>{key(placed), Val(placed)}; });
    } catch (const std::bad_alloc&) {
    }
    TestAllocator::budget = TestAllocator::record_budget = -1;
    ASSERT_GT(placed, 0u);
    ASSERT_LT(placed, 1000u);
    if (records) {
      EXPECT_EQ(placed, n.batch_plan()[0]);  // all of batch 0, nothing more
    }
    EXPECT_EQ(n.len(), placed);
    n.check_consistency();
    for (uint64_t i = 0; i < placed; ++i) ASSERT_EQ(n.get(key(i))->v, i);
    n.insert(key(5000), Val(5000));  // usable, from the batch the fill reached
    n.check_consistency();
  }

  auto p = Elastic::with_options(opts<Elastic>(100));
  for (uint64_t i = 0; i < 85; ++i) p.insert(key(i), Val(i));  // levels 0 (64 slots) and 1
  U in0, in1;
  for (uint64_t i = 0; i < 85; ++i) (p.position_of(key(i))->level == 0 ? in0 : in1).push_back(i);
  ASSERT_GE(in0.size(), 33u);
  ASSERT_FALSE(in1.empty());
  TestAllocator::budget = 0;  // the purge needs the blocks of levels 2 and later
  for (int j = 0; j < 33; ++j) ASSERT_TRUE(p.remove(key(in0[j])));
  EXPECT_EQ(p.level(0).tombstones(), 33u);
  p.check_consistency();
  TestAllocator::budget = -1;
  const uint64_t other = in1.front();
  ASSERT_EQ(p.extract_if([&](const Key& k, const Val&) { return k.id == other; }).next()->key.id,
            other);
  EXPECT_EQ(level_lens(p, true), U(p.level_count(), 0));
  p.check_consistency();
}

}  // namespace
