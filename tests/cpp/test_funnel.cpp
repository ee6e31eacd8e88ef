// Funnel map: geometry oracles, placement and growth, removal and purge,
// traversal, colliding hashes, allocation failure and a randomized comparison
// against std::unordered_map.
#include <algorithm>
#include <array>
#include <map>
#include <numeric>
#include <random>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "funnel/funnel_hash_map.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using Map = FunnelHashMap<Key, Val, IdentityHasher>;
using TMap = FunnelHashMap<Key, Val, IdentityHasher, TestAllocator>;
using Slots = std::map<uint64_t, uint64_t>;
using Funnel = LeakChecked;
constexpr uint64_t P = 100, F = 101;  // the special primary and fallback in Slots

template <class M = Map>
M make(uint64_t capacity, double delta = 0.1, std::optional<uint64_t> limit = std::nullopt) {
  return M::with_options({capacity, delta, limit});
}

// Slot counts of the areas that have slots: levels by index, then P and F.
Slots slots(const Map& m) {
  Slots out{{P, m.special().primary.slots()}, {F, m.special().fallback.slots()}};
  for (uint64_t i = 0; i < m.levels().size(); ++i)
    out[m.first_stored_level() + i] = m.levels()[i].slots();
  std::erase_if(out, [](const auto& kv) { return kv.second == 0; });
  return out;
}

template <class M>
std::vector<uint64_t> ids(const M& m) {  // in traversal order
  std::vector<uint64_t> v;
  m.for_each([&](const Key& k, const Val&) { v.push_back(k.id); });
  return v;
}

// Recounts every table from its control bytes against its bookkeeping, and
// checks the traversal: each entry once, found where it is visited, ranked by
// levels in index order, then primary, fallback, overflow.
template <class M>
void expect_consistent(const M& m) {
  uint64_t total = m.overflow_len();
  auto check = [&](const auto& area) {
    uint64_t full = 0, deleted = 0;
    for (uint64_t i = 0; i < area.slots(); ++i) {
      full += is_full(area.table().ctrl_byte(i));
      deleted += area.table().ctrl_byte(i) == DELETED;
    }
    EXPECT_EQ(full, area.len());
    EXPECT_EQ(deleted, area.tombstones());
    total += full;
  };
  for (const auto& level : m.levels()) check(level);
  check(m.special().primary);
  check(m.special().fallback);
  EXPECT_EQ(total, m.len());
  uint64_t seen = 0;
  std::pair<uint64_t, uint64_t> last{0, 0};
  auto it = m.iter();
  while (const auto* e = it.next()) {
    const auto loc = m.find_location(e->key);
    ASSERT_TRUE(loc.has_value());
    const std::pair<uint64_t, uint64_t> rank{
        loc->kind == SlotKind::Level ? loc->level
                                     : m.level_count() + static_cast<uint64_t>(loc->kind),
        loc->slot};
    if (seen++ != 0) {
      EXPECT_LT(last, rank);
    }
    last = rank;
  }
  EXPECT_EQ(seen, m.len());
  EXPECT_EQ(it.next(), nullptr);
}

TEST(FunnelGeometry, WorkedExampleCapacity1000) {
  EXPECT_EQ(choose_special_capacity(100, 16, 0.192),
            20u);  // 4 and 20 tie around 12: the larger wins
  const FunnelPlan plan = plan_funnel_geometry(1000, 24, 16, 0.1);
  std::vector<uint64_t> counts = {15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1};
  counts.resize(24, 0);
  EXPECT_EQ(plan.bucket_counts, counts);  // 58 buckets

  const Map m = make(1000);
  EXPECT_EQ(slots(m), (Slots{{0, 256},
                             {1, 256},
                             {2, 128},
                             {3, 128},
                             {4, 128},
                             {5, 64},
                             {6, 64},
                             {7, 32},
                             {8, 32},
                             {9, 16},
                             {10, 16},
                             {P, 64},
                             {F, 48}}));
  EXPECT_EQ(m.special().fallback.bucket_shift, 3u);  // buckets of 8
  EXPECT_EQ(m.special().fallback.bucket_count, 5u);
  EXPECT_EQ(m.max_insertions(), 900u);
}

TEST(FunnelGeometry, ShapesProbeLimitsAndSmallCapacities) {
  for (auto [delta, levels, width] :
       std::vector<std::tuple<double, uint64_t, uint64_t>>{{0.125, 22, 16},
                                                           {0.1, 24, 16},
                                                           {0.01, 37, 16},
                                                           {1.0 / 256, 42, 16},
                                                           {0.0039, 43, 32},
                                                           {1.0 / 65536, 74, 32},
                                                           {1e-5, 77, 48},
                                                           {1e-6, 90, 48}}) {
    EXPECT_EQ(funnel_shape(delta).level_count, levels) << delta;
    EXPECT_EQ(funnel_shape(delta).bucket_width, width) << delta;
  }
  const uint64_t p32 = uint64_t{1} << 32;
  for (auto [n, limit] : std::vector<std::pair<uint64_t, uint64_t>>{{0, 1},
                                                                    {4, 1},
                                                                    {5, 2},
                                                                    {16, 2},
                                                                    {17, 3},
                                                                    {256, 3},
                                                                    {257, 4},
                                                                    {65536, 4},
                                                                    {65537, 5},
                                                                    {p32, 5},
                                                                    {p32 + 1, 6},
                                                                    {kU64Max, 6}})
    EXPECT_EQ(default_primary_probe_limit(n), limit) << n;
  // The integer steps agree with the logarithms everywhere: every n up to
  // 2^20, a band around every power of two above, and random values.
  const auto agree = [](uint64_t n) {
    return default_primary_probe_limit(n) == default_primary_probe_limit_by_log2(n);
  };
  for (uint64_t n = 0; n <= (uint64_t{1} << 20); ++n) ASSERT_TRUE(agree(n)) << n;
  for (unsigned b = 20; b < 64; ++b)
    for (uint64_t d = 0; d <= 4096; ++d) {
      ASSERT_TRUE(agree((uint64_t{1} << b) + d)) << b << "+" << d;
      ASSERT_TRUE(agree((uint64_t{1} << b) - d)) << b << "-" << d;
    }
  std::mt19937_64 rng(99);
  for (int i = 0; i < 100000; ++i) {
    const uint64_t n = rng() >> (rng() % 64);
    ASSERT_TRUE(agree(n)) << n;
  }
  ASSERT_TRUE(agree(kU64Max));
  for (double delta : {0.125, 0.1, 0.05, 0.01, 1e-6})
    EXPECT_EQ(funnel_shape(delta).level_count, compute_funnel_shape(delta).level_count);
  // The limit sets the fallback bucket length 2^shift >= 2 * limit (0 acts as 1);
  // huge limits are capped so that a bucket length fits in 64 bits.
  for (auto [limit, shift] :
       std::vector<std::pair<uint64_t, unsigned>>{{0, 1}, {2, 2}, {4, 3}, {5, 4}, {kU64Max, 63}})
    EXPECT_EQ(make(4, 0.1, limit).special().fallback.bucket_shift, shift) << limit;
  EXPECT_EQ(make(4, 0.1, uint64_t{1} << 63).primary_probe_limit(), uint64_t{1} << 62);

  // n <= 4: no level has slots, the special array takes it all; n = 16: no
  // special array, the single bucket goes to the last level; n = 32: one
  // bucket in each of levels 0 and 1.
  for (auto [n, want] : std::vector<std::pair<uint64_t, Slots>>{{0, {}},
                                                                {1, {{P, 16}}},
                                                                {2, {{P, 16}, {F, 16}}},
                                                                {4, {{P, 16}, {F, 16}}},
                                                                {16, {{23, 16}}},
                                                                {32, {{0, 16}, {1, 16}}}})
    EXPECT_EQ(slots(make(n)), want) << n;
  // Levels before the first and past the last one with buckets are counted
  // but not stored.
  for (auto [n, first, stored] : std::vector<std::tuple<uint64_t, uint64_t, uint64_t>>{
           {0, 0, 0}, {4, 0, 0}, {16, 23, 1}, {32, 0, 2}, {1000, 0, 11}}) {
    const Map m = make(n);
    EXPECT_EQ(m.level_count(), funnel_shape(0.1).level_count) << n;
    EXPECT_EQ(m.first_stored_level(), first) << n;
    EXPECT_EQ(m.levels().size(), stored) << n;
    m.check_consistency();
  }

  // Every bucket partition sums to its total and steps down by about 3/4.
  std::vector<uint64_t> totals{uint64_t{1} << 20, (uint64_t{1} << 36) + 12345, uint64_t{1} << 60};
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

// Small plans are computed once per thread and then shared; the shared one
// must be the plan itself, whatever was looked up in between.
TEST(FunnelGeometry, CachedPlansEqualFreshOnes) {
  std::mt19937_64 rng(7);
  for (int i = 0; i < 3000; ++i) {
    const uint64_t n = rng() % 3 == 0 ? rng() % 5000 : rng() % 40;
    const double delta = std::vector<double>{0.1, 0.5, 1e-6, 0.01}[rng() % 4];
    std::optional<FunnelPlanCache::Item> scratch;
    const auto& got = FunnelPlanCache::get(n, delta, scratch);
    const auto want = FunnelPlanCache::compute(n, delta);
    ASSERT_EQ(got.shape.level_count, want.shape.level_count);
    ASSERT_EQ(got.shape.bucket_width, want.shape.bucket_width);
    ASSERT_EQ(got.plan.special_capacity, want.plan.special_capacity);
    ASSERT_EQ(got.plan.total_buckets, want.plan.total_buckets);
    ASSERT_EQ(got.plan.bucket_counts, want.plan.bucket_counts) << n << " " << delta;
  }
}

TEST_F(Funnel, GrowthReserveReplacementAndRemoval) {
  Map m0 = make(0);
  m0.insert(key(1), Val(1));
  EXPECT_EQ(m0.capacity(), 16u);
  EXPECT_EQ(m0.max_populated_level(), 23u);
  m0.reserve(100);  // 16, 32 and 64 hold too few
  EXPECT_EQ(m0.capacity(), 128u);

  // Capacity 32: the first 16 keys fill level 0's one group, the next ones level 1.
  Map m = make(32);
  for (uint64_t i = 0; i < 29; ++i) {
    m.insert(Key(mix(i), i, /*note=*/1), Val(i));
    EXPECT_EQ(m.find_location(key(i))->level, i < 16 ? 0u : 1u);
  }
  // A present key at the limit: value replaced, stored key kept, no growth.
  EXPECT_EQ(m.insert(Key(mix(5), 5, /*note=*/2), Val(500))->v, 5u);
  m.for_each([](const Key& k, const Val&) { EXPECT_EQ(k.note, 1u); });
  EXPECT_EQ(m.capacity(), 32u);
  m.insert(key(29), Val(29));  // the 30th key grows the map; 64 still has one group per level
  EXPECT_EQ(m.capacity(), 64u);
  EXPECT_EQ(m.max_insertions(), 58u);

  // Level 1's group still shows EMPTY: its vacated slots become EMPTY again.
  const auto &l0 = m.levels()[0], &l1 = m.levels()[1];
  for (uint64_t i = 18; i < 30; ++i) m.remove(key(i));
  const uint64_t s16 = m.find_location(key(16))->slot;
  EXPECT_EQ(m.remove(key(16))->v, 16u);
  EXPECT_EQ(l1.table().ctrl_byte(s16), EMPTY);
  EXPECT_EQ(m.max_populated_level(), 1u);
  m.remove(key(17));
  EXPECT_EQ(m.max_populated_level(), 0u);
  EXPECT_EQ(l1.tombstones(), 0u);
  // Level 0's group is full: DELETED, reused by the next new key.
  const uint64_t s0 = m.find_location(key(0))->slot;
  m.remove(key(0));
  EXPECT_EQ(l0.table().ctrl_byte(s0), DELETED);
  m.insert(key(0), Val(0));
  EXPECT_EQ(m.find_location(key(0))->slot, s0);
  EXPECT_EQ(l0.tombstones(), 0u);
  // Eight DELETED slots of 16 are kept; the ninth purges the table.
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_EQ(l0.tombstones(), 8u);
  m.remove(key(8));  // rebuilt: l0 and l1 are gone
  EXPECT_EQ(m.levels()[0].tombstones(), 0u);
  expect_consistent(m);
}

TEST_F(Funnel, TraversalAcrossAllAreasAndExtraction) {
  // 300 keys sharing one hash (tag 0x55), probe limit 2: one group per level
  // (176 slots), primary groups 0 and 1 (32), fallback buckets 5 and 8 of 4
  // slots (8); 84 overflow.
  Map m = make(1000, 0.1, 2);
  const uint64_t h = (uint64_t{1} << 41) | (uint64_t{0x55} << 57);
  for (uint64_t i = 0; i < 300; ++i) m.insert(Key(h, i), Val(i));
  EXPECT_EQ((std::array{m.special().primary.len(), m.special().fallback.len(), m.overflow_len()}),
            (std::array<uint64_t, 3>{32, 8, 84}));
  EXPECT_EQ(m.capacity(), 1000u);
  expect_consistent(m);
  // With limit 9 a fallback bucket spans two groups; here both of the key's
  // buckets are bucket 0, so it has 32 fallback places.
  Map wide = make(1000, 0.1, 9);
  for (uint64_t i = 0; i < 400; ++i) wide.insert(Key(h, i), Val(i));
  EXPECT_EQ(wide.special().fallback.len(), 32u);
  expect_consistent(wide);

  // Overflow keeps insertion order, also through a rebuild; extraction
  // follows traversal order, and dropping it purges the drained tables.
  const std::vector<uint64_t> order = ids(m);
  EXPECT_TRUE(std::is_sorted(order.end() - 84, order.end()));
  m.resize(1000);
  EXPECT_EQ(ids(m), order);
  {
    auto x = m.extract_if([](const Key&, const Val&) { return true; });
    for (uint64_t id : order) ASSERT_EQ(x.next().value().key.id, id);
    EXPECT_FALSE(x.next().has_value());
    EXPECT_TRUE(m.levels()[10].needs_purge());
  }
  EXPECT_EQ(m.levels()[10].tombstones(), 0u);
}

TEST_F(Funnel, ManyKeysSharingHashWords) {
  for (uint64_t words : {1, 5}) {
    const uint64_t n = 10000;
    auto k = [&](uint64_t id) { return Key(mix(id % words), id); };
    Map m = make(0);
    for (uint64_t id = 0; id < n; ++id) ASSERT_FALSE(m.insert(k(id), Val(id)).has_value());
    EXPECT_GT(m.overflow_len(), 0u);
    for (uint64_t id = 0; id < n; id += 2) ASSERT_EQ(m.remove(k(id))->v, id);
    for (uint64_t id = 0; id < n; id += 2) ASSERT_FALSE(m.insert(k(id), Val(id)).has_value());
    EXPECT_LE(m.capacity(), 8 * n + 64);  // colliding keys do not inflate the map
    m.resize(m.capacity());
    for (uint64_t id = 0; id < n; ++id) ASSERT_EQ(m.get(k(id))->v, id);
    expect_consistent(m);
  }
}

TEST_F(Funnel, AllocationFailureLeavesMapUnchanged) {
  // Growing 500 -> 1000 allocates eleven level tables, the primary, its
  // summaries and the fallback; fail at each of them in turn.
  TMap m = make<TMap>(500);
  for (uint64_t i = 0; i < m.max_insertions(); ++i) m.insert(key(i), Val(i));
  const auto before = ids(m);
  for (int64_t granted = 0; granted < 14; ++granted) {
    TestAllocator::budget = granted;
    EXPECT_THROW(m.insert(key(9999), Val(9999)), std::bad_alloc);
    EXPECT_EQ(live,
              2 * static_cast<int64_t>(before.size()));  // the rejected key and value are gone
    EXPECT_EQ(ids(m), before);
  }
  TestAllocator::budget = 14;
  m.insert(key(9999), Val(9999));
  TestAllocator::budget = -1;
  EXPECT_EQ(m.capacity(), 1000u);
  expect_consistent(m);

  // A purge reuses the tables: it needs no table block.
  TMap p = make<TMap>(32);
  for (uint64_t i = 0; i < 29; ++i) p.insert(key(i), Val(i));
  const int64_t blocks = TestAllocator::blocks;
  TestAllocator::budget = 0;
  for (uint64_t i = 0; i < 9; ++i) p.remove(key(i));
  TestAllocator::budget = -1;
  EXPECT_EQ(p.levels()[0].tombstones(), 0u);
  EXPECT_EQ(TestAllocator::blocks, blocks);

  // Sizes that can never be allocated.
  TestAllocator::max_bytes = std::size_t{1} << 30;
  for (uint64_t c : {uint64_t{1} << 40, uint64_t{1} << 60, kU64Max}) {
    EXPECT_THROW(make<TMap>(c), std::bad_alloc);
    EXPECT_THROW(p.resize(c), std::bad_alloc);
    EXPECT_THROW(p.reserve(c), std::bad_alloc);
  }
  TestAllocator::max_bytes = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(p.capacity(), 32u);
  expect_consistent(p);
}

TEST_F(Funnel, RandomOperationsMatchModel) {
  std::mt19937_64 rng(20240601);
  for (int round = 0; round < 4; ++round) {
    // Rounds 1 to 3 give most ids one shared hash word, enough to need the
    // overflow area; round 2 has fallback buckets of 64 slots, round 3 levels
    // with 32-slot bucket strides.
    const bool colliding = round != 0;
    auto k = [&](uint64_t id) { return Key(colliding && id % 8 != 0 ? 42 : mix(id), id); };
    Map m = make(rng() % 64, round == 3 ? 0.001 : 0.1,
                 round == 2 ? std::optional<uint64_t>(20) : std::nullopt);
    std::unordered_map<uint64_t, uint64_t> model;
    auto value_of = [](const auto& got) { return got ? std::optional(got->v) : std::nullopt; };
    uint64_t most_overflow = 0;
    for (uint64_t step = 0; step < 20000; ++step) {
      const uint64_t id = rng() % 600, op = rng() % 16;
      const auto expected = model.count(id) ? std::optional(model[id]) : std::nullopt;
      if (op < 7) {
        // A new key that needs no growth lands where the slot choice says.
        std::optional<SlotLocation> slot;
        if (!expected && m.len() < m.max_insertions()) slot = m.choose_slot_for_new_key(k(id).word);
        ASSERT_EQ(value_of(m.insert(k(id), Val(step))), expected);
        if (slot) {
          EXPECT_EQ(m.find_location(k(id)), slot);
        }
        model[id] = step;
      } else if (op < 10) {
        ASSERT_EQ(value_of(m.remove(k(id))), expected);
        model.erase(id);
      } else if (op < 13) {
        // Lookups run their own level search; the plain search is the oracle:
        // same answer after the same key comparisons.
        const uint64_t before = Key::comparisons;
        const auto got = value_of(m.get(k(id)));
        const uint64_t by_get = Key::comparisons - before;
        const auto loc = m.find_location(k(id));
        EXPECT_EQ(Key::comparisons - before - by_get, by_get);
        EXPECT_EQ(loc.has_value(), got.has_value());
        ASSERT_EQ(got, expected);
      } else if (op == 13 && rng() % 64 == 0) {
        m.clear(), model.clear();
      } else if (op == 13 && rng() % 8 == 0) {
        // Drains from the front as popitem does: each taken entry is the first
        // one of a full walk of the slots.
        for (uint64_t n = rng() % 100; n > 0 && m.len() > 0; --n) {
          std::optional<uint64_t> first;
          m.for_each([&](const Key& key, const Val&) { first = first ? first : key.id; });
          ASSERT_EQ(m.extract_if([](const Key&, const Val&) { return true; }).next()->key.id,
                    first);
          model.erase(*first);
          m.check_consistency();
        }
      } else if (op == 14 && rng() % 8 == 0) {
        colliding ? m.resize(rng() % 300)
                  : m.reserve(rng() % 300);  // below len, entries wait in overflow
      } else if (op == 15) {
        const uint64_t residue = rng() % 97;
        auto x = m.extract_if([&](const Key& key, const Val&) { return key.id % 97 == residue; });
        while (auto e = x.next()) ASSERT_EQ(model.erase(e->key.id), 1u);
        m.for_each([&](const Key& key, const Val&) { EXPECT_NE(key.id % 97, residue); });
      }
      ASSERT_EQ(m.len(), model.size());
      most_overflow = std::max(most_overflow, m.overflow_len());
      m.check_consistency();
      if (step % 1000 == 0) expect_consistent(m);
    }
    expect_consistent(m);
    EXPECT_EQ(most_overflow > 0, colliding);
  }
}

// DELETED slots over all tables.
uint64_t tombstones(const Map& m) {
  uint64_t t = m.special().primary.tombstones() + m.special().fallback.tombstones();
  for (const auto& lv : m.levels()) t += lv.tombstones();
  return t;
}

// A purge empties the tables in place and re-places the entries; a full
// rebuild at the same capacity is the plain procedure. Two maps driven
// through the same operations, one purging each way, keep the same entries in
// the same places, traversal order and counts, also with keys sharing hash
// words (special array and overflow) and when purges run at the end of
// removing walks.
TEST_F(Funnel, InPlacePurgeMatchesRebuild) {
  struct ByRebuild {
    ByRebuild() { Map::purge_by_rebuild = true; }
    ~ByRebuild() { Map::purge_by_rebuild = false; }
  };
  std::mt19937_64 rng(4711);
  for (int round = 0; round < 3; ++round) {
    // Round 0 spreads the hashes; rounds 1 and 2 give three ids in four one
    // hash word, and round 2 a probe limit of 2.
    auto k = [&](uint64_t id) { return Key(round != 0 && id % 4 != 0 ? 42 : mix(id), id); };
    const auto limit = round == 2 ? std::optional<uint64_t>(2) : std::nullopt;
    Map m = make(round == 0 ? 1000 : 200, 0.1, limit);
    Map plain = make(round == 0 ? 1000 : 200, 0.1, limit);
    const auto both = [&](auto&& f) {
      f(m);
      ByRebuild scope;
      f(plain);
    };
    uint64_t purges = 0, most_overflow = 0;
    bool draining = false;
    for (uint64_t step = 0; step < 4000; ++step) {
      const uint64_t before = tombstones(m);
      const bool removed = fill_drain_step(m, round == 0 ? m.max_insertions() - 2 : 250, 3000,
                                           draining, rng, k, both);
      purges += removed && tombstones(m) < before;
      most_overflow = std::max(most_overflow, m.overflow_len());
      ASSERT_EQ(m.len(), plain.len());
      ASSERT_EQ(m.capacity(), plain.capacity());
      ASSERT_EQ(m.max_populated_level(), plain.max_populated_level());
      ASSERT_EQ(m.overflow_len(), plain.overflow_len());
      ASSERT_EQ(tombstones(m), tombstones(plain));
      if (step % 8 != 0) continue;
      ASSERT_EQ(ids(m), ids(plain));
      m.for_each([&](const Key& key, const Val&) {
        ASSERT_EQ(m.find_location(key), plain.find_location(key));
      });
      const uint64_t h = rng();
      ASSERT_EQ(m.choose_slot_for_new_key(h), plain.choose_slot_for_new_key(h));
      m.check_consistency();
      plain.check_consistency();
    }
    EXPECT_GE(purges, 5u);
    EXPECT_EQ(most_overflow > 0, round != 0);
  }
}

// Neither purge compares keys: keys whose equality changed since they were
// stored (here: all equal) stay apart.
TEST_F(Funnel, PurgeComparesNoKeys) {
  Map m = make(64);
  for (uint64_t i = 0; i < 50; ++i) m.insert(Key(mix(i % 5), i), Val(i));
  Key::all_equal = true, Key::comparisons = 0;
  // Draining from the front purges when a walk ends.
  uint64_t purges = 0;
  for (uint64_t i = 0; i < 30; ++i) {
    const uint64_t before = tombstones(m);
    m.extract_if([](const Key&, const Val&) { return true; }).next();
    purges += tombstones(m) < before;
  }
  EXPECT_GT(purges, 0u);
  EXPECT_EQ(Key::comparisons, 0u);
  Key::all_equal = false;
  EXPECT_EQ(ids(m).size(), 20u);
  m.check_consistency();
}

// Storing only the levels from the first to the last one with buckets changes
// nothing observable: a map that stores the leading levels without buckets
// too places, orders, grows, lowers max_populated_level and clears alike.
TEST_F(Funnel, StoredLevelsBehaveLikeAllLevels) {
  struct AllLevels {
    AllLevels() { Map::Tables::store_leading_levels = true; }
    ~AllLevels() { Map::Tables::store_leading_levels = false; }
  };
  std::mt19937_64 rng(7);
  // Small maps (capacity 16: one bucket on the last level), growth to larger
  // ones, and keys sharing one hash word.
  struct Case {
    uint64_t start, ids_in;
    bool colliding;
  };
  for (const Case& c :
       {Case{16, 14, false}, Case{0, 12, false}, Case{3, 400, false}, Case{16, 60, true}}) {
    // Named copies: lambdas below use them (clang before 16 cannot capture bindings).
    const uint64_t start = c.start, ids_in = c.ids_in;
    const bool colliding = c.colliding;
    auto k = [&](uint64_t id) { return Key(colliding && id % 4 != 0 ? 42 : mix(id), id); };
    Map m = make(start);
    Map all = [&] {
      AllLevels scope;
      return make(start);
    }();
    if (start == 16) {
      EXPECT_EQ(m.first_stored_level(), 23u);
      EXPECT_EQ(all.levels().size(), 24u);
    }
    const auto same = [&] {
      ASSERT_EQ(m.capacity(), all.capacity());
      ASSERT_EQ(m.len(), all.len());
      ASSERT_EQ(m.max_populated_level(), all.max_populated_level());
      ASSERT_EQ(m.usable_slots(), all.usable_slots());
      ASSERT_EQ(ids(m), ids(all));
      m.for_each([&](const Key& key, const Val&) {
        EXPECT_EQ(m.find_location(key), all.find_location(key));
      });
      const uint64_t h = rng();
      ASSERT_EQ(m.choose_slot_for_new_key(h), all.choose_slot_for_new_key(h));
      m.check_consistency();
      AllLevels scope;
      all.check_consistency();
    };
    for (uint64_t step = 0; step < 3000; ++step) {
      const uint64_t id = rng() % ids_in, op = rng() % 16;
      const auto both = [&](auto&& f) {
        f(m);
        AllLevels scope;
        f(all);
      };
      if (op < 7) {
        both([&](Map& x) { x.insert(k(id), Val(step)); });
      } else if (op < 13) {
        const auto a = m.remove(k(id));
        AllLevels scope;
        ASSERT_EQ(a.has_value(), all.remove(k(id)).has_value());
      } else if (op == 13 && rng() % 8 == 0) {
        both([](Map& x) { x.clear(); });
      } else if (op == 14 && rng() % 8 == 0) {
        const uint64_t c = rng() % 40;
        both([c](Map& x) { x.resize(c); });
      } else if (op == 15 && rng() % 4 == 0) {
        both([](Map& x) { x.extract_if([](const Key&, const Val&) { return true; }).next(); });
      }
      same();
    }
  }
}

}  // namespace
