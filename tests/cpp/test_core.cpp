// Shared core: the portable group against the SSE2 one, the look-ahead walk's
// distances, and the debug checks.
#include <array>
#include <random>
#include <vector>

#include "common/dcheck.hpp"
#include "common/layout/counted_table.hpp"
#include "common/layout/group.hpp"
#include "common/layout/removal_rule.hpp"
#include "common/walk_ahead.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;

#ifdef QUENLOR_SSE2
// Control bytes drawn so that every query has hits: the special values, tags,
// and the bytes no table writes but a query must still classify.
TEST(Group, PortableMatchesSse2OnRandomControlBytes) {
  std::mt19937_64 rng(7);
  const std::array<uint8_t, 6> specials{EMPTY, DELETED, 0x01, 0x7F, 0xFF, 0x81};
  // Small tables take their blocks as the allocator gives them: the control
  // array may start at any offset.
  alignas(16) uint8_t buffer[kGroupWidth + 16];
  for (int round = 0; round < 20000; ++round) {
    uint8_t* const ctrl = buffer + round % 16;
    for (unsigned i = 0; i < kGroupWidth; ++i)
      ctrl[i] = rng() % 2 ? specials[rng() % specials.size()] : static_cast<uint8_t>(rng());
    const auto p = PortableGroup::load(ctrl);
    const auto s = Sse2Group::load(ctrl);
    ASSERT_EQ(p.match_empty().bits(), s.match_empty().bits());
    ASSERT_EQ(p.match_deleted().bits(), s.match_deleted().bits());
    ASSERT_EQ(p.match_free().bits(), s.match_free().bits());
    ASSERT_EQ(p.match_full().bits(), s.match_full().bits());
    const uint8_t tag = round % 3 ? ctrl[rng() % kGroupWidth] : static_cast<uint8_t>(rng());
    ASSERT_EQ(p.match_tag(tag).bits(), s.match_tag(tag).bits()) << int(tag);
  }
}
#endif

#ifdef QUENLOR_DEBUG_CHECKS
TEST(DebugChecksDeathTest, BrokenPreconditionAbortsWithItsLocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(QUENLOR_DCHECK(1 + 1 == 3), "test_core.cpp:[0-9]+: .*1 \\+ 1 == 3");
  auto t = CountedTable<Entry<Key, Val>, AlwaysDeleted>::with_capacity_in(16);
  EXPECT_DEATH((void)t.vacate(4), "invariant violated");  // an empty slot
}
#endif

// walk_three_ahead: every entry visited once and in order; far(), near() and
// nearest() called once per entry, in that order, kFar - 1, kNear and
// kNearest visits before its own (fewer at the start); an early stop ends
// the walk.
TEST(Walk, StepsReachEveryEntryAtTheirDistances) {
  constexpr unsigned kFar = 6, kNear = 3, kNearest = 1;
  for (unsigned n : {0u, 1u, 3u, 4u, 6u, 7u, 20u}) {
    std::vector<unsigned> items(n), visited;
    for (unsigned i = 0; i < n; ++i) items[i] = i;
    struct Iter {
      const std::vector<unsigned>* v;
      unsigned at = 0;
      const unsigned* next() { return at < v->size() ? &(*v)[at++] : nullptr; }
    };
    // When each step ran, as the number of visits before it.
    std::array<std::vector<int>, 3> at;
    at.fill(std::vector<int>(n, -1));
    const auto step = [&](unsigned s, unsigned e) {
      EXPECT_EQ(at[s][e], -1) << "twice: " << e;
      EXPECT_TRUE(s == 0 || at[s - 1][e] != -1) << "out of order: " << e;
      at[s][e] = static_cast<int>(visited.size());
    };
    const bool whole = walk_three_ahead<kFar, kNear, kNearest>(
        Iter{&items}, [&](unsigned e) { step(0, e); }, [&](unsigned e) { step(1, e); },
        [&](unsigned e) { step(2, e); },
        [&](unsigned e) {
          EXPECT_NE(at[2][e], -1) << e;
          visited.push_back(e);
          return true;
        });
    EXPECT_TRUE(whole);
    EXPECT_EQ(visited, items);
    for (unsigned e = 0; e < n; ++e) {
      const unsigned distance[] = {kFar - 1, kNear, kNearest};
      for (unsigned s = 0; s < 3; ++s)
        EXPECT_EQ(at[s][e], std::max(0, static_cast<int>(e) - static_cast<int>(distance[s]))) << n;
    }
    unsigned calls = 0;
    EXPECT_EQ(walk_ahead<kFar>(
                  Iter{&items}, [](unsigned) {}, [&](unsigned) { return ++calls < 5; }),
              n < 5);
    EXPECT_EQ(calls, std::min(n, 5u));
  }
}

}  // namespace
