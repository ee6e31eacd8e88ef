// Elastic map: geometry pinned by worked examples and a brute-force budget
// table, the batch rule's level split, and when levels get their blocks and
// records (also when they cannot). Placement, growth and purge points through
// whole fills and drains are pinned by the storage fingerprint.
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
U level_lens(const Elastic& m) {
  U v(m.level_count(), 0);
  for (uint64_t i = 0; i < m.recorded_levels(); ++i) v[i] = m.level(i).len();
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
// Only level 0 has a record until batch 0 (48 keys) ends; level 1 gets its block with its
// first key.
TEST_F(ElasticMap, Capacity100SplitAndProbeBudget) {
  for (uint64_t (*word)(uint64_t) : {&mix, +[](uint64_t) -> uint64_t { return 0x5A5A; }}) {
    auto m = Elastic::with_options(opts<Elastic>(word == &mix ? 100 : 0));
    if (m.capacity() == 0) m.resize(100);  // rebuilt while empty: as lazy as a new map
    for (const U& row :
         {U{48, 48, 0, 1, 1}, U{61, 61, 0, 9, 1}, U{85, 61, 24, 9, 2}, U{90, 61, 29, 9, 2}}) {
      for (uint64_t i = m.len(); i < row[0]; ++i) m.insert(Key(word(i), i), Val(i));
      const auto blocks = static_cast<uint64_t>(TestAllocator::blocks);
      EXPECT_EQ((U{m.len(), level_lens(m)[0], level_lens(m)[1], m.recorded_levels(), blocks}), row);
    }
    EXPECT_EQ(m.capacity(), 100u);
    m.insert(Key(word(90), 90), Val(90));
    EXPECT_EQ(m.capacity(), 200u);
    EXPECT_THROW(m.resize(16), InternalError);  // 80 slots for 91 entries: refused up front
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

// Keys known to be new (NewKeys) that find no block or record stop there,
// the map keeping those placed. A purge that finds no memory is made up by
// the next removing walk, even one that takes from another level.
TEST_F(ElasticMap, LevelsShortOfMemory) {
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
    ASSERT_TRUE(placed > 0 && placed < 1000);
    EXPECT_EQ(placed, records ? n.batch_plan()[0] : placed);  // records: all of batch 0, no more
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
  EXPECT_EQ(tombstones(p), 0u);
  p.check_consistency();
}

}  // namespace
