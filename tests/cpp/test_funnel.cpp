// Funnel map: geometry oracles (a worked example, shapes, probe limits and
// their integer steps against the logarithms, small capacities, bucket
// partitions), the removal rule, an in-place purge, and one hash filling
// every area. Growth points and traversal order through whole fills and
// drains are pinned by the storage fingerprint.
#include <algorithm>
#include <numeric>
#include <vector>

#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using U = std::vector<uint64_t>;
using FunnelMap = LeakChecked;
constexpr uint64_t P = 100, F = 101;  // the special primary and fallback in slots()

Funnel make(uint64_t capacity, double delta = 0.1, uint64_t limit = 0) {
  return Funnel::with_options(opts<Funnel>(capacity, delta, limit));
}

// The areas that have slots, as (area, slots) pairs: levels by index, then P and F.
U slots(const Funnel& m) {
  U out;
  for (uint64_t i = 0; i < m.levels().size(); ++i)
    if (m.levels()[i].slots() != 0)
      out.insert(out.end(), {m.first_stored_level() + i, m.levels()[i].slots()});
  for (auto [area, n] :
       {std::pair(P, m.special().primary.slots()), std::pair(F, m.special().fallback.slots())})
    if (n != 0) out.insert(out.end(), {area, n});
  return out;
}

TEST(FunnelGeometry, WorkedExampleCapacity1000) {
  EXPECT_EQ(choose_special_capacity(100, 16, 0.192),
            20u);  // 4 and 20 tie around 12: the larger wins
  const FunnelPlan plan = plan_funnel_geometry(1000, 24, 16, 0.1);
  U counts = {15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1};  // 58 buckets
  counts.resize(24, 0);
  EXPECT_EQ(plan.bucket_counts, counts);
  const Funnel m = make(1000);
  EXPECT_EQ(slots(m), (U{0,  256, 1,  256, 2,  128, 3,  128, 4,  128, 5,  64, 6,
                         64, 7,   32, 8,   32, 9,   16, 10,  16, P,   64, F,  48}));
  EXPECT_EQ(m.special().fallback.bucket_shift, 3u);  // buckets of 8
  EXPECT_EQ(m.special().fallback.bucket_count, 5u);
  EXPECT_EQ(m.max_insertions(), 900u);
}

TEST(FunnelGeometry, ShapesProbeLimitsAndSmallCapacities) {
  const double deltas[] = {0.125, 0.1, 0.01, 1.0 / 256, 0.0039, 1.0 / 65536, 1e-5, 1e-6};
  const uint64_t levels[] = {22, 24, 37, 42, 43, 74, 77, 90},
                 widths[] = {16, 16, 16, 16, 32, 32, 48, 48};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(funnel_shape(deltas[i]).level_count, levels[i]) << deltas[i];
    EXPECT_EQ(funnel_shape(deltas[i]).bucket_width, widths[i]) << deltas[i];
  }
  // The integer steps agree with the logarithms on both sides of every power of two.
  for (unsigned b = 0; b < 64; ++b)
    for (uint64_t n = (uint64_t{1} << b) - std::min<uint64_t>(b, 3); n <= (uint64_t{1} << b) + 3;
         ++n)
      EXPECT_EQ(default_primary_probe_limit(n), default_primary_probe_limit_by_log2(n)) << n;
  EXPECT_EQ(default_primary_probe_limit_by_log2(kU64Max), 6u);
  // The limit sets the fallback bucket length 2^shift >= 2 * limit (0 acts as 1);
  // huge limits are capped so that a bucket length fits in 64 bits.
  const uint64_t given[] = {0, 2, 4, 5, kU64Max}, shifts[] = {1, 2, 3, 4, 63};
  for (int i = 0; i < 5; ++i)
    EXPECT_EQ(make(4, 0.1, given[i]).special().fallback.bucket_shift, shifts[i]);
  EXPECT_EQ(make(4, 0.1, uint64_t{1} << 63).primary_probe_limit(), uint64_t{1} << 62);

  // n <= 4: no level has slots, the special array takes it all; n = 16: no
  // special array, the single bucket goes to the last level; n = 32: one
  // bucket in each of levels 0 and 1. Levels before the first and past the
  // last one with buckets are counted but not stored.
  const U small[] = {{}, {P, 16}, {P, 16, F, 16}, {P, 16, F, 16}, {23, 16}, {0, 16, 1, 16}};
  const uint64_t caps[] = {0, 1, 2, 4, 16, 32}, first[] = {0, 0, 0, 0, 23, 0},
                 stored[] = {0, 0, 0, 0, 1, 2};
  for (int i = 0; i < 6; ++i) {
    const Funnel m = make(caps[i]);
    EXPECT_EQ(slots(m), small[i]) << caps[i];
    EXPECT_EQ((U{m.level_count(), m.first_stored_level(), m.levels().size()}),
              (U{24, first[i], stored[i]}));
    m.check_consistency();
  }

  // Every bucket partition sums to its total and steps down by about 3/4.
  U totals{uint64_t{1} << 20, (uint64_t{1} << 36) + 12345, uint64_t{1} << 60};
  for (uint64_t t = 0; t <= 400; ++t) totals.push_back(t);
  for (uint64_t levels : {1, 2, 3, 22, 24, 43, 90})
    for (uint64_t total : totals) {
      const auto c = partition_funnel_buckets(total, levels);
      ASSERT_EQ(std::accumulate(c.begin(), c.end(), uint64_t{0}), total);
      for (uint64_t i = 1; i < levels; ++i)
        ASSERT_TRUE(4 * c[i] + 4 >= 3 * c[i - 1] && 4 * c[i] <= 3 * c[i - 1] + 4)
            << total << " " << levels;
    }
}

// Capacity 32: one group in each of levels 0 and 1. A removal from a group
// that shows EMPTY leaves EMPTY; from a full group, DELETED, until the ninth
// purges the table in place, with no new block.
TEST_F(FunnelMap, Capacity32LevelsRemovalRuleAndPurge) {
  Funnel m = make(32);
  for (uint64_t i = 0; i < 29; ++i) {
    m.insert(key(i), Val(i));
    EXPECT_EQ(m.find_location(key(i))->level, i < 16 ? 0u : 1u);
  }
  const auto &l0 = m.levels()[0], &l1 = m.levels()[1];
  const uint64_t s16 = m.find_location(key(16))->slot;
  m.remove(key(16));
  EXPECT_EQ(l1.table().ctrl_byte(s16), EMPTY);
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_EQ(l0.tombstones(), 8u);
  const int64_t blocks = TestAllocator::blocks;
  TestAllocator::budget = TestAllocator::record_budget = 0;
  m.remove(key(8));
  TestAllocator::budget = TestAllocator::record_budget = -1;
  EXPECT_EQ(l0.tombstones(), 0u);
  EXPECT_EQ(TestAllocator::blocks, blocks);
  m.check_consistency();
}

// 300 keys sharing one hash (tag 0x55), probe limit 2: one group per level
// (176 slots), primary groups 0 and 1 (32), fallback buckets 5 and 8 of 4
// slots (8); 84 overflow. With limit 9 a fallback bucket spans two groups;
// there both of the key's buckets are bucket 0, so it has 32 fallback places.
// Insertions and a rebuild choose fallback buckets alike.
TEST_F(FunnelMap, OneHashFillsEveryArea) {
  const uint64_t h = (uint64_t{1} << 41) | (uint64_t{0x55} << 57);
  Funnel m = make(1000, 0.1, 2), wide = make(1000, 0.1, 9);
  for (uint64_t i = 0; i < 400; ++i) {
    if (i < 300) m.insert(Key(h, i), Val(i));
    wide.insert(Key(h, i), Val(i));
  }
  EXPECT_EQ((U{m.special().primary.len(), m.special().fallback.len(), m.overflow_len()}),
            (U{32, 8, 84}));
  EXPECT_EQ(m.capacity(), 1000u);
  // A rebuild puts them back where insertion put them, the overflow in order.
  const U order = ids(m);
  m.resize(1000);
  EXPECT_EQ(ids(m), order);
  EXPECT_EQ(wide.special().fallback.len(), 32u);
  wide.check_consistency();
}

}  // namespace
