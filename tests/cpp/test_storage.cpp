// The storage records of both maps (level records, the special array's
// block, plan budgets) are laid out for small maps; what they hold must be
// exactly what the plain layout held. The fingerprints below were taken with
// every record stored in full, and pin placement, traversal order, growth
// points and every table's counts through growth, purges and clear().
#include <array>
#include <cstring>
#include <optional>
#include <random>
#include <vector>

#include "storage_digest.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using E = Elastic;
using F = Funnel;
using Storage = LeakChecked;
using U = std::vector<uint64_t>;

struct DigestRun {
  double delta;
  uint64_t capacity, high, words, seed;
  uint64_t elastic, funnel;  // fingerprints
};

// Spread hashes to a few thousand entries, then few distinct hashes (long
// equal-hash runs reach the special array and the overflow area).
constexpr std::array<DigestRun, 5> kRuns{{
    {0.1, 0, 3000, 1u << 30, 1, 0x0bb418b490ab3815ull, 0xb42e4060064b4f57ull},
    {0.01, 0, 2500, 1u << 30, 2, 0x2e6fdc54745e3e4bull, 0xa61ee152df197205ull},
    {0.5, 40, 600, 1u << 30, 3, 0xce9ec90a0598a8a6ull, 0x19a3ac2f8fabf814ull},
    {0.1, 0, 400, 7, 4, 0x897e44b4dba05175ull, 0xe60af312232f3762ull},
    {0.001, 100, 1200, 300, 5, 0x6daf935cb511fc20ull, 0x5dbc76dda9cc430full},
}};

TEST_F(Storage, PlacementTraversalAndCountsMatchThePlainLayout) {
  for (const DigestRun& r : kRuns) {
    EXPECT_EQ(storage_digest<E>(opts<E>(r.capacity, r.delta), r.high, r.words, r.seed), r.elastic);
    EXPECT_EQ(storage_digest<F>(opts<F>(r.capacity, r.delta), r.high, r.words, r.seed), r.funnel);
  }
}

// The records stay small: a small map pays for one per level.
TEST(StorageRecords, LevelRecordsStaySmall) {
  EXPECT_LE(sizeof(E::LevelType), 80u);
  EXPECT_LE(sizeof(F::Level), 64u);
  EXPECT_LE(sizeof(F), 128u);  // the special array is not among them
}

// Small plans are computed once per thread and then shared; the shared one
// must be the plan itself, whatever either map looked up in between.
TEST(StorageRecords, CachedPlansEqualFreshOnes) {
  std::mt19937_64 rng(11);
  for (int i = 0; i < 3000; ++i) {
    const uint64_t n = rng() % 3 == 0 ? rng() % 5000 : rng() % 40;
    const double delta = std::array{0.1, 0.5, 1e-6, 0.01, 0.999999}[rng() % 5];
    const double scale = std::array{16.0, 1.0, 1000.0}[rng() % 3];
    const uint64_t most = max_insertions_for(n, delta);
    std::optional<ElasticPlanCache::Item> scratch;
    const SharedElasticPlan& e = ElasticPlanCache::get(n, most, delta, scale, scratch).plan;
    ASSERT_EQ(e.level_sizes(), partition_levels(n)) << n;
    for (uint64_t j = 0; j < e.level_count(); ++j) {
      const LevelBudget want = LevelBudget::of(e.level_sizes()[j], delta, scale);
      ASSERT_EQ(e.budget(j).reserve_threshold, want.reserve_threshold);
      ASSERT_EQ(e.budget(j).steps, want.steps) << n << " " << delta << " " << scale;
    }
    ASSERT_EQ(e.get(), build_batch_plan(partition_levels(n), most, delta)) << n << " " << delta;
    std::optional<FunnelPlanCache::Item> fs;
    const FunnelPlanCache::Item &f = FunnelPlanCache::get(n, delta, fs),
                                want = FunnelPlanCache::compute(n, delta);
    ASSERT_EQ((U{f.shape.level_count, f.shape.bucket_width, f.plan.special_capacity}),
              (U{want.shape.level_count, want.shape.bucket_width, want.plan.special_capacity}));
    ASSERT_EQ(f.plan.bucket_counts, want.plan.bucket_counts) << n << " " << delta;
  }
}

}  // namespace

// Small table blocks are taken exactly as allocated, large ones aligned to a
// cache line with the original pointer below them; each kind must come back
// to the allocator as it was given out (the sanitizer pass sees any write
// past a block or a wrong pointer freed).
TEST(StorageRecords, TableBlocksAroundTheSmallLimit) {
  const ZeroedAllocator a;
  for (std::size_t bytes : {std::size_t{16}, std::size_t{400}, kSmallTableBytes,
                            kSmallTableBytes + 1, std::size_t{1} << 16}) {
    for (bool zeroed : {false, true}) {
      auto* p = static_cast<unsigned char*>(zeroed ? a.allocate_zeroed(bytes) : a.allocate(bytes));
      if (zeroed) {
        for (std::size_t i = 0; i < bytes; ++i) ASSERT_EQ(p[i], 0) << bytes;
      }
      std::memset(p, 0x5A, bytes);
      if (bytes > kSmallTableBytes) {
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % kTableAlign, 0u);
      }
      a.deallocate(p, bytes);
    }
  }
}
