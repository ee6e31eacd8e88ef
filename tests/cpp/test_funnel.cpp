// Tests of the generic funnel map: geometry oracles, placement and growth,
// removal and purge, traversal, colliding hashes, allocation failure and a
// randomized comparison against std::unordered_map.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <random>
#include <unordered_map>
#include <vector>

#include "funnel/funnel_hash_map.hpp"

namespace {

using namespace quenlor;

// Counts live objects, so leaks and double destruction show up as a non-zero balance.
struct Live {
  static inline int64_t count = 0;
  Live() noexcept { ++count; }
  Live(Live&&) noexcept { ++count; }
  Live(const Live&) = delete;
  Live& operator=(const Live&) = delete;
  Live& operator=(Live&&) = delete;
  ~Live() { --count; }
};

// `word` is the hash word (under IdentityHasher it is h itself, so it pins the
// key's places); `id` decides equality; `note` tells two equal keys apart.
struct Key {
  uint64_t word;
  uint64_t id;
  uint64_t note;
  Live live;
  bool operator==(const Key& o) const { return id == o.id; }
};
uint64_t hash_word(const Key& k) noexcept { return k.word; }

struct Val {
  int64_t v;
  Live live;
};

struct IdentityHasher {
  static IdentityHasher make() noexcept { return {}; }
  uint64_t hash(uint64_t w) const noexcept { return w; }
};

// Zero-filled blocks like the default allocator, but it can be told to fail
// after `budget` more allocations or above `max_bytes`.
struct TestAllocator {
  static inline int64_t budget = -1;  // negative: unlimited
  static inline std::size_t max_bytes = std::numeric_limits<std::size_t>::max();
  void* allocate_zeroed(std::size_t bytes) const {
    if (budget == 0 || bytes > max_bytes) throw std::bad_alloc();
    if (budget > 0) --budget;
    return ZeroedAllocator{}.allocate_zeroed(bytes);
  }
  void deallocate(void* p, std::size_t bytes) const noexcept { ZeroedAllocator{}.deallocate(p, bytes); }
};

using Map = FunnelHashMap<Key, Val, IdentityHasher>;
using TMap = FunnelHashMap<Key, Val, IdentityHasher, TestAllocator>;

uint64_t mix(uint64_t x) { return quenlor::detail::splitmix64(x); }
Key key(uint64_t id, uint64_t word, uint64_t note = 0) { return Key{word, id, note, {}}; }
Key key(uint64_t id) { return key(id, mix(id)); }
Val val(int64_t v) { return Val{v, {}}; }

template <class M>
M make(uint64_t capacity, double delta = 0.1, std::optional<uint64_t> limit = std::nullopt) {
  return M::with_options({capacity, delta, limit});
}

// Slot counts of the levels that have slots, by level index.
std::map<uint64_t, uint64_t> level_slots(const Map& m) {
  std::map<uint64_t, uint64_t> out;
  for (uint64_t i = 0; i < m.level_count(); ++i)
    if (m.levels()[i].table.slots() != 0) out[i] = m.levels()[i].table.slots();
  return out;
}
uint64_t special_slots(const Map& m) {
  return m.special().primary.table.slots() + m.special().fallback.table.slots();
}

// Recounts every table from its control bytes and checks the bookkeeping,
// the tags, the summaries and the traversal (each entry once, in order).
template <class M>
void expect_consistent(const M& m) {
  uint64_t total = 0;
  auto check = [&](const auto& area, uint64_t level, bool primary) {
    uint64_t full = 0, deleted = 0;
    for (uint64_t i = 0; i < area.table.slots(); ++i) {
      const uint8_t c = area.table.ctrl_byte(i);
      if (c == DELETED) ++deleted;
      if (!is_full(c)) continue;
      ++full;
      EXPECT_EQ(c, tag_of(m.hasher().hash(hash_word(area.table.entry(i).key))));
      if (primary) { EXPECT_TRUE(m.special().primary.group_summaries.may_hold(i / 16, c)); }
    }
    EXPECT_EQ(full, area.len);
    EXPECT_EQ(deleted, area.tombstones);
    if (level < m.level_count() && level > m.max_populated_level()) { EXPECT_EQ(full, 0u); }
    total += full;
  };
  for (uint64_t i = 0; i < m.level_count(); ++i) check(m.levels()[i], i, false);
  check(m.special().primary, kU64Max, true);
  check(m.special().fallback, kU64Max, false);
  EXPECT_EQ(total + m.overflow_len(), m.len());

  uint64_t seen = 0;
  std::pair<uint64_t, uint64_t> last{0, 0};
  auto it = m.iter();
  while (const auto* e = it.next()) {
    const auto loc = m.find_location(e->key);
    ASSERT_TRUE(loc.has_value());
    // Traversal rank: levels by index, then primary, fallback, overflow.
    const std::pair<uint64_t, uint64_t> r{
        loc->kind == SlotKind::Level ? loc->level : m.level_count() + static_cast<uint64_t>(loc->kind), loc->slot};
    if (seen++ != 0) { EXPECT_LT(last, r); }
    last = r;
  }
  EXPECT_EQ(seen, m.len());
  EXPECT_EQ(it.next(), nullptr);
}

TEST(FunnelGeometry, WorkedExampleCapacity1000) {
  EXPECT_EQ(choose_special_capacity(1000, 16, 0.1), 72u);
  EXPECT_EQ(choose_special_capacity(100, 16, 0.192), 20u);  // 4 and 20 tie around 12: the larger wins
  const FunnelPlan plan = plan_funnel_geometry(1000, 24, 16, 0.1);
  EXPECT_EQ(plan.special_capacity, 72u);
  EXPECT_EQ(plan.total_buckets, 58u);
  std::vector<uint64_t> counts = {15, 11, 8, 6, 5, 4, 3, 2, 2, 1, 1};
  counts.resize(24, 0);
  EXPECT_EQ(plan.bucket_counts, counts);

  const Map m = make<Map>(1000);
  EXPECT_EQ(m.level_count(), 24u);
  EXPECT_EQ(level_slots(m), (std::map<uint64_t, uint64_t>{{0, 256}, {1, 256}, {2, 128}, {3, 128}, {4, 128},
                                                          {5, 64}, {6, 64}, {7, 32}, {8, 32}, {9, 16}, {10, 16}}));
  EXPECT_EQ(m.primary_probe_limit(), 4u);
  const auto& pr = m.special().primary;
  EXPECT_EQ(pr.table.slots(), 64u);
  EXPECT_EQ(pr.group_mask, 3u);
  ASSERT_EQ(pr.group_summaries.size(), 4u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(&pr.group_summaries[0]) % 16, 0u);
  for (uint64_t g = 0; g < 4; ++g) EXPECT_EQ(pr.group_summaries[g].bits[0] | pr.group_summaries[g].bits[1], 0u);
  const auto& fb = m.special().fallback;
  EXPECT_EQ(fb.table.slots(), 48u);
  EXPECT_EQ(fb.bucket_shift, 3u);  // buckets of 8
  EXPECT_EQ(fb.bucket_count, 5u);
  EXPECT_EQ(m.max_insertions(), 900u);
}

TEST(FunnelGeometry, ShapeOptionsAndSmallCapacities) {
  struct Row {
    double delta;
    uint64_t levels, width;
  };
  for (const Row& r : {Row{0.125, 22, 16}, Row{0.1, 24, 16}, Row{0.01, 37, 16}, Row{1.0 / 256, 42, 16},
                       Row{0.0039, 43, 32}, Row{1.0 / 65536, 74, 32}, Row{1e-5, 77, 48}, Row{1e-6, 90, 48}}) {
    EXPECT_EQ(funnel_shape(r.delta).level_count, r.levels) << r.delta;
    EXPECT_EQ(funnel_shape(r.delta).bucket_width, r.width) << r.delta;
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (auto [given, used] : std::vector<std::pair<double, double>>{
           {0.5, 0.125}, {std::nan(""), 0.1}, {inf, 0.1}, {-inf, 0.1}, {0.0, 1e-6}, {-1.0, 1e-6}})
    EXPECT_EQ(make<Map>(8, given).reserve_fraction(), used) << given;

  const uint64_t p32 = uint64_t{1} << 32;
  for (auto [n, limit] : std::vector<std::pair<uint64_t, uint64_t>>{
           {0, 1}, {4, 1}, {5, 2}, {16, 2}, {17, 3}, {256, 3}, {257, 4}, {65536, 4}, {65537, 5},
           {p32, 5}, {p32 + 1, 6}, {kU64Max, 6}})
    EXPECT_EQ(default_primary_probe_limit(n), limit) << n;
  // A given limit of 0 acts as 1; the limit sets the fallback bucket length;
  // huge limits are capped so that the bucket length fits in 64 bits.
  for (auto [limit, shift] : std::vector<std::pair<uint64_t, unsigned>>{
           {0, 1}, {1, 1}, {2, 2}, {3, 3}, {4, 3}, {5, 4}, {8, 4}, {9, 5}, {kU64Max, 63}})
    EXPECT_EQ(make<Map>(4, 0.1, limit).special().fallback.bucket_shift, shift) << limit;
  EXPECT_EQ(make<Map>(4, 0.1, uint64_t{1} << 63).primary_probe_limit(), uint64_t{1} << 62);

  // n = 0 and 1..4: no level has slots; the special array takes it all.
  const Map m0 = make<Map>(0);
  EXPECT_TRUE(level_slots(m0).empty());
  EXPECT_EQ(special_slots(m0), 0u);
  EXPECT_EQ(m0.max_insertions(), 0u);
  EXPECT_EQ(make<Map>(1).special().primary.table.slots(), 16u);
  EXPECT_EQ(make<Map>(1).special().fallback.table.slots(), 0u);
  for (uint64_t n = 2; n <= 4; ++n) {
    const Map m = make<Map>(n);
    EXPECT_TRUE(level_slots(m).empty());
    EXPECT_EQ(special_slots(m), 32u);
    EXPECT_EQ(m.special().fallback.bucket_count, 1u);
    EXPECT_EQ(m.special().fallback.bucket_shift, 1u);
  }
  // n = 16: s = 0 and the single bucket goes to the last level.
  EXPECT_EQ(choose_special_capacity(16, 16, 0.1), 0u);
  EXPECT_EQ(level_slots(make<Map>(16)), (std::map<uint64_t, uint64_t>{{23, 16}}));
  // n = 32: one bucket in each of levels 0 and 1, no special array.
  const Map m32 = make<Map>(32);
  EXPECT_EQ(level_slots(m32), (std::map<uint64_t, uint64_t>{{0, 16}, {1, 16}}));
  EXPECT_EQ(special_slots(m32), 0u);
  EXPECT_EQ(m32.max_insertions(), 29u);
}

TEST(FunnelGeometry, PartitionShapes) {
  EXPECT_TRUE(partition_funnel_buckets(5, 0).empty());
  EXPECT_EQ(partition_funnel_buckets(0, 3), std::vector<uint64_t>(3, 0));
  try {
    partition_funnel_buckets(1, uint64_t{1} << 31);
    ADD_FAILURE() << "expected InternalError";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "level count fits in i32: TryFromIntError(())");
  }
  EXPECT_FALSE(build_funnel_bucket_sequence(3, 2, 4).has_value());
  EXPECT_EQ(build_funnel_bucket_sequence(7, 2, 4), (std::vector<uint64_t>{4, 3}));

  // Every partition sums to the total and steps down by about 3/4.
  std::vector<uint64_t> totals(401);
  std::iota(totals.begin(), totals.end(), 0);
  totals.insert(totals.end(), {uint64_t{1} << 20, (uint64_t{1} << 36) + 12345, uint64_t{1} << 60});
  for (uint64_t levels : {1, 2, 3, 22, 24, 43, 90})
    for (uint64_t total : totals) {
      const auto c = partition_funnel_buckets(total, levels);
      ASSERT_EQ(c.size(), levels);
      for (uint64_t i = 1; i < levels; ++i) {
        ASSERT_GE(4 * c[i] + 4, 3 * c[i - 1]) << total << " " << levels;
        ASSERT_LE(4 * c[i], 3 * c[i - 1] + 4) << total << " " << levels;
      }
      ASSERT_EQ(std::accumulate(c.begin(), c.end(), uint64_t{0}), total);
    }
}

TEST(FunnelMap, GrowthReplacementAndRemoval) {
  Map m0 = make<Map>(0);
  m0.insert(key(1), val(1));
  EXPECT_EQ(m0.capacity(), 16u);
  EXPECT_EQ(m0.find_location(key(1))->level, 23u);
  EXPECT_EQ(m0.max_populated_level(), 23u);

  // Capacity 32: the first 16 keys fill level 0's one group, the next ones level 1.
  Map m = make<Map>(32);
  for (uint64_t i = 0; i < 29; ++i) {
    EXPECT_FALSE(m.insert(key(i, mix(i), 1), val(int64_t(i))).has_value());
    EXPECT_EQ(m.find_location(key(i))->level, i < 16 ? 0u : 1u);
  }
  // A present key at the limit: value replaced, stored key kept, no growth, nothing leaked.
  EXPECT_EQ(m.len(), m.max_insertions());
  const int64_t live = Live::count;
  EXPECT_EQ(m.insert(key(5, mix(5), 2), val(500))->v, 5);
  EXPECT_EQ(Live::count, live);
  EXPECT_EQ(m.get(key(5))->v, 500);
  m.for_each([](const Key& k, const Val&) { EXPECT_EQ(k.note, 1u); });
  EXPECT_EQ(m.capacity(), 32u);
  Map g = make<Map>(32);
  for (uint64_t i = 0; i < 30; ++i) {
    EXPECT_EQ(g.capacity(), 32u);
    g.insert(key(i), val(0));
  }
  EXPECT_EQ(g.capacity(), 64u);
  EXPECT_EQ(g.max_insertions(), 58u);

  // Level 1's group still shows EMPTY: its vacated slots become EMPTY again.
  const auto& l0 = m.levels()[0];
  const auto& l1 = m.levels()[1];
  for (uint64_t i = 18; i < 29; ++i) m.remove(key(i));
  const uint64_t s16 = m.find_location(key(16))->slot;
  EXPECT_EQ(m.remove(key(16))->v, 16);
  EXPECT_EQ(l1.table.ctrl_byte(s16), EMPTY);
  EXPECT_EQ(m.max_populated_level(), 1u);
  m.remove(key(17));
  EXPECT_EQ(m.max_populated_level(), 0u);
  EXPECT_EQ(l1.tombstones, 0u);
  EXPECT_FALSE(m.remove(key(17)).has_value());
  // Level 0's group is full: DELETED, reused by the next new key.
  const uint64_t s0 = m.find_location(key(0))->slot;
  m.remove(key(0));
  EXPECT_EQ(l0.table.ctrl_byte(s0), DELETED);
  EXPECT_EQ(l0.tombstones, 1u);
  m.insert(key(0), val(0));
  EXPECT_EQ(m.find_location(key(0))->slot, s0);
  EXPECT_EQ(l0.tombstones, 0u);
  // Eight DELETED slots of 16 are kept; the ninth purges the table.
  for (uint64_t i = 0; i < 8; ++i) m.remove(key(i));
  EXPECT_EQ(m.levels()[0].tombstones, 8u);
  m.remove(key(8));
  EXPECT_EQ(m.levels()[0].tombstones, 0u);
  EXPECT_EQ(m.capacity(), 32u);
  for (uint64_t i = 9; i < 16; ++i) EXPECT_EQ(m.get(key(i))->v, int64_t(i));
  expect_consistent(m);

  // Capacity 64 has four one-bucket levels: emptying level 2 lowers to level 1.
  Map m64 = make<Map>(64);
  for (uint64_t i = 0; i < 35; ++i) m64.insert(key(i), val(0));
  EXPECT_EQ(m64.max_populated_level(), 2u);
  for (uint64_t i = 32; i < 35; ++i) m64.remove(key(i));
  EXPECT_EQ(m64.max_populated_level(), 1u);
  expect_consistent(m64);
}

TEST(FunnelMap, TraversalAcrossAllAreasAndExtraction) {
  // 300 keys sharing one hash (tag 0x55), probe limit 2: one group per level
  // (176 slots), two of the four primary groups (32), two fallback buckets of
  // 4 (8); 84 overflow.
  Map m = make<Map>(1000, 0.1, 2);
  const uint64_t h = (uint64_t{1} << 41) | (uint64_t{0x55} << 57);
  ASSERT_NE(m.special().fallback.first_bucket(h), m.special().fallback.second_bucket(h));
  for (uint64_t i = 0; i < 300; ++i) m.insert(key(i, h), val(int64_t(i)));
  std::map<SlotKind, uint64_t> kinds;
  for (uint64_t i = 0; i < 300; ++i) {
    const SlotLocation loc = *m.find_location(key(i, h));
    ++kinds[loc.kind];
    // Primary sequence: groups 0 then 1; fallback buckets 5 and 8 of 9.
    if (loc.kind == SlotKind::SpecialPrimary) { EXPECT_LT(loc.slot, 32u); }
    if (loc.kind == SlotKind::SpecialFallback) { EXPECT_TRUE(loc.slot / 4 == 5 || loc.slot / 4 == 8); }
  }
  EXPECT_EQ(kinds, (std::map<SlotKind, uint64_t>{{SlotKind::Level, 176}, {SlotKind::SpecialPrimary, 32},
                                                 {SlotKind::SpecialFallback, 8}, {SlotKind::Overflow, 84}}));
  EXPECT_EQ(m.capacity(), 1000u);
  // With limit 9 a fallback bucket spans two groups; here both buckets are
  // bucket 0, so the key has 32 fallback places.
  Map wide = make<Map>(1000, 0.1, 9);
  std::map<SlotKind, uint64_t> wide_kinds;
  for (uint64_t i = 0; i < 400; ++i) wide.insert(key(i, h), val(0));
  for (uint64_t i = 0; i < 400; ++i) ++wide_kinds[wide.find_location(key(i, h))->kind];
  EXPECT_EQ(wide_kinds[SlotKind::SpecialFallback], 32u);
  expect_consistent(wide);
  expect_consistent(m);  // traversal rank strictly increasing: levels, primary, fallback, overflow

  auto ids_in_order = [&] {
    std::vector<uint64_t> ids;
    auto it = m.iter();
    while (const auto* e = it.next()) ids.push_back(e->key.id);
    return ids;
  };
  const std::vector<uint64_t> order = ids_in_order();
  EXPECT_TRUE(std::is_sorted(order.end() - 84, order.end()));  // overflow keeps insertion order

  // Half of each level group removed (DELETED, below the purge threshold):
  // the keys placed past those groups stay reachable.
  std::vector<int> removed(m.level_count(), 0);
  for (uint64_t i = 0; i < 300; ++i) {
    const auto loc = m.find_location(key(i, h));
    if (loc->kind == SlotKind::Level && removed[loc->level] < 8) {
      ++removed[loc->level];
      m.remove(key(i, h));
    }
  }
  EXPECT_EQ(m.len(), 300u - 88u);
  for (uint64_t i = 0; i < 300; ++i) {
    if (const Val* v = m.get(key(i, h))) { EXPECT_EQ(v->v, int64_t(i)); }
  }
  expect_consistent(m);

  // Extraction follows traversal order; dropping it purges the drained tables.
  const std::vector<uint64_t> remaining = ids_in_order();
  {
    auto x = m.extract_if([](const Key&, const Val&) { return true; });
    for (uint64_t id : remaining) {
      auto e = x.next();
      ASSERT_TRUE(e.has_value());
      EXPECT_EQ(e->key.id, id);
      EXPECT_EQ(e->value.v, int64_t(id));
    }
    EXPECT_FALSE(x.next().has_value());
    EXPECT_TRUE(m.levels()[10].needs_purge());
  }
  EXPECT_EQ(m.len(), 0u);
  EXPECT_EQ(m.levels()[10].tombstones, 0u);
  expect_consistent(m);
}

TEST(FunnelMap, ReserveResizeAndClear) {
  Map m = make<Map>(0);
  m.reserve(0);
  EXPECT_EQ(m.capacity(), 0u);
  m.reserve(100);  // 16, 32 and 64 hold too few
  EXPECT_EQ(m.capacity(), 128u);
  for (uint64_t i = 0; i < 116; ++i) m.insert(key(i), val(int64_t(i)));
  m.reserve(0);
  EXPECT_EQ(m.capacity(), 128u);

  // Same capacity: len and capacity kept, tombstones dropped.
  Map f = make<Map>(32);
  for (uint64_t i = 0; i < 29; ++i) f.insert(key(i), val(int64_t(i)));
  for (uint64_t i = 0; i < 3; ++i) f.remove(key(i));
  EXPECT_EQ(f.levels()[0].tombstones, 3u);
  f.resize(32);
  EXPECT_EQ(f.capacity(), 32u);
  EXPECT_EQ(f.len(), 26u);
  EXPECT_EQ(f.levels()[0].tombstones, 0u);
  expect_consistent(f);
  // Below len, entries wait in the overflow area until a rebuild places them.
  f.resize(0);
  EXPECT_EQ(f.overflow_len(), 26u);
  for (uint64_t i = 3; i < 29; ++i) EXPECT_EQ(f.get(key(i))->v, int64_t(i));
  f.resize(64);
  EXPECT_EQ(f.overflow_len(), 0u);
  expect_consistent(f);

  f.clear();
  EXPECT_EQ(f.len(), 0u);
  EXPECT_EQ(f.capacity(), 64u);
  EXPECT_EQ(f.iter().next(), nullptr);
  EXPECT_FALSE(f.remove(key(5)).has_value());
  f.insert(key(5), val(5));
  expect_consistent(f);
}

TEST(FunnelMap, ManyKeysSharingHashWords) {
  for (uint64_t words : {1, 5}) {
    {
      const uint64_t n = 10000;
      auto k = [&](uint64_t id) { return key(id, mix(id % words)); };
      Map m = make<Map>(0);
      for (uint64_t id = 0; id < n; ++id) ASSERT_FALSE(m.insert(k(id), val(int64_t(id))).has_value());
      EXPECT_EQ(m.len(), n);
      EXPECT_GT(m.overflow_len(), 0u);
      EXPECT_LE(m.capacity(), 8 * n + 64);
      for (uint64_t id = 0; id < n; id += 2) ASSERT_EQ(m.remove(k(id)).value().v, int64_t(id));
      for (uint64_t id = 0; id < n; id += 2) ASSERT_FALSE(m.insert(k(id), val(int64_t(id))).has_value());
      EXPECT_LE(m.capacity(), 8 * n + 64);
      m.resize(m.capacity());
      for (uint64_t id = 0; id < n; ++id) ASSERT_EQ(m.get(k(id))->v, int64_t(id));
      expect_consistent(m);
    }
    EXPECT_EQ(Live::count, 0);
  }
}

TEST(FunnelMap, AllocationFailureLeavesMapUnchanged) {
  {
    // Growing 500 -> 1000 allocates eleven level tables, the primary, its
    // summaries and the fallback; fail at each of them in turn.
    TMap m = make<TMap>(500);
    for (uint64_t i = 0; i < m.max_insertions(); ++i) m.insert(key(i), val(int64_t(i)));
    std::vector<uint64_t> before;
    m.for_each([&](const Key& k, const Val&) { before.push_back(k.id); });
    int64_t failures = 0;
    for (;; ++failures) {
      const int64_t live = Live::count;
      TestAllocator::budget = failures;
      try {
        m.insert(key(9999), val(9999));
        break;
      } catch (const std::bad_alloc&) {
        TestAllocator::budget = -1;
      }
      EXPECT_EQ(Live::count, live);
      EXPECT_EQ(m.capacity(), 500u);
      std::vector<uint64_t> now;
      m.for_each([&](const Key& k, const Val&) { now.push_back(k.id); });
      EXPECT_EQ(now, before);
    }
    TestAllocator::budget = -1;
    EXPECT_EQ(failures, 14);
    EXPECT_EQ(m.capacity(), 1000u);
    expect_consistent(m);

    // A purge that cannot allocate is skipped; the next one runs.
    TMap p = make<TMap>(32);
    for (uint64_t i = 0; i < 29; ++i) p.insert(key(i), val(int64_t(i)));
    TestAllocator::budget = 0;
    for (uint64_t i = 0; i < 9; ++i) p.remove(key(i));
    p.extract_if([](const Key&, const Val&) { return false; }).next();
    TestAllocator::budget = -1;
    EXPECT_EQ(p.levels()[0].tombstones, 9u);
    expect_consistent(p);
    p.remove(key(9));
    EXPECT_EQ(p.levels()[0].tombstones, 0u);

    // Sizes that can never be allocated.
    EXPECT_THROW(make<Map>(kU64Max), LayoutOverflow);
    EXPECT_THROW(make<Map>(uint64_t{1} << 62), LayoutOverflow);
    TestAllocator::max_bytes = std::size_t{1} << 30;
    for (uint64_t c : {uint64_t{1} << 40, uint64_t{1} << 60, kU64Max}) {
      EXPECT_THROW(make<TMap>(c), std::bad_alloc);
      EXPECT_THROW(p.resize(c), std::bad_alloc);
    }
    EXPECT_THROW(p.reserve(kU64Max), std::bad_alloc);
    EXPECT_THROW(p.reserve(uint64_t{1} << 50), std::bad_alloc);
    TestAllocator::max_bytes = std::numeric_limits<std::size_t>::max();
    EXPECT_EQ(p.capacity(), 32u);
    EXPECT_EQ(p.len(), 19u);
    p.insert(key(100), val(100));
    expect_consistent(p);
  }
  EXPECT_EQ(Live::count, 0);
}

TEST(FunnelMap, RandomOperationsMatchModel) {
  std::mt19937_64 rng(20240601);
  for (int round = 0; round < 4; ++round) {
    {
      // Rounds 1 to 3 give most ids one shared hash word, enough to need the
      // overflow area; round 2 has fallback buckets of 64 slots, round 3
      // levels with 32-slot bucket strides.
      const bool colliding = round != 0;
      auto k = [&](uint64_t id) { return key(id, colliding && id % 8 != 0 ? 42 : mix(id)); };
      Map m = make<Map>(rng() % 64, round == 3 ? 0.001 : 0.1,
                        round == 2 ? std::optional<uint64_t>(20) : std::nullopt);
      std::unordered_map<uint64_t, int64_t> model;
      uint64_t most_overflow = 0;
      for (int64_t step = 0; step < 20000; ++step) {
        const uint64_t id = rng() % 600;
        const auto it = model.find(id);
        const std::optional<int64_t> expected =
            it == model.end() ? std::nullopt : std::optional<int64_t>(it->second);
        const auto same = [&](const auto& got) {
          ASSERT_EQ(got.has_value(), expected.has_value());
          if (got) { EXPECT_EQ(got->v, *expected); }
        };
        const uint64_t op = rng() % 16;
        if (op < 7) {
          // A new key that needs no growth lands where the slot choice says.
          std::optional<SlotLocation> slot;
          if (!expected && m.len() < m.max_insertions()) slot = m.choose_slot_for_new_key(k(id).word);
          same(m.insert(k(id), val(step)));
          if (slot) { EXPECT_EQ(m.find_location(k(id)), slot); }
          model[id] = step;
        } else if (op < 10) {
          same(m.remove(k(id)));
          model.erase(id);
        } else if (op < 13) {
          const Val* v = m.get(k(id));
          same(v ? std::optional<Val>(val(v->v)) : std::nullopt);
        } else if (op == 13 && rng() % 64 == 0) {
          m.clear();
          model.clear();
        } else if (op == 14 && rng() % 8 == 0) {
          m.reserve(rng() % 300);
        } else if (op == 15) {
          const uint64_t residue = rng() % 97;
          auto x = m.extract_if([&](const Key& key, const Val&) { return key.id % 97 == residue; });
          while (auto e = x.next()) {
            ASSERT_EQ(model.count(e->key.id), 1u);
            EXPECT_EQ(model[e->key.id], e->value.v);
            model.erase(e->key.id);
          }
          m.for_each([&](const Key& key, const Val&) { EXPECT_NE(key.id % 97, residue); });
        }
        ASSERT_EQ(m.len(), model.size());
        most_overflow = std::max(most_overflow, m.overflow_len());
        if (step % 1000 == 0) {
          expect_consistent(m);
          m.for_each([&](const Key& key, const Val& v) { EXPECT_EQ(model.at(key.id), v.v); });
        }
      }
      expect_consistent(m);
      EXPECT_EQ(most_overflow > 0, colliding);
    }
    EXPECT_EQ(Live::count, 0);
  }
}

}  // namespace
