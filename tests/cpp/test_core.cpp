// Shared core: the portable group against the SSE2 one, lane masks, the
// look-ahead walk's distances, and the debug checks.
#include <algorithm>
#include <array>
#include <numeric>
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
    ASSERT_EQ(s.match_tag(Sse2Group::spread(tag)).bits(), s.match_tag(tag).bits()) << int(tag);
    ASSERT_EQ(p.match_tag(PortableGroup::spread(tag)).bits(), p.match_tag(tag).bits());
  }
}
#endif

// The branch-free lowest lane, over every mask of a group.
TEST(Group, LowestOrZeroIsLowestOrZero) {
  EXPECT_EQ(LaneMask(0).lowest_or_zero(), 0u);
  for (uint32_t bits = 1; bits < (uint32_t{1} << kGroupWidth); ++bits)
    ASSERT_EQ(LaneMask(bits).lowest_or_zero(), LaneMask(bits).lowest()) << bits;
}

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
  using Call = std::array<unsigned, 3>;  // entry, step (3: the visit), visits before it
  for (unsigned n : {0u, 1u, 3u, 4u, 6u, 7u, 20u}) {
    std::vector<unsigned> items(n);
    std::iota(items.begin(), items.end(), 0u);
    struct Iter {
      const std::vector<unsigned>* v;
      unsigned at = 0;
      const unsigned* next() { return at < v->size() ? &(*v)[at++] : nullptr; }
    };
    std::vector<Call> calls, want;
    unsigned visits = 0;
    const auto step = [&](unsigned s) {
      return [&, s](unsigned e) { calls.push_back({e, s, visits}), visits += s == 3; };
    };
    const bool whole = walk_three_ahead<kFar, kNear, kNearest>(
        Iter{&items}, step(0), step(1), step(2), [&](unsigned e) { return step(3)(e), true; });
    EXPECT_TRUE(whole);
    const int distance[] = {kFar - 1, kNear, kNearest, 0};
    for (unsigned e = 0; e < n; ++e)
      for (unsigned s = 0; s < 4; ++s)
        want.push_back(
            {e, s, static_cast<unsigned>(std::max(0, static_cast<int>(e) - distance[s]))});
    // Each entry's calls, in the order they were made.
    std::stable_sort(calls.begin(), calls.end(), [](Call a, Call b) { return a[0] < b[0]; });
    EXPECT_EQ(calls, want) << n;
    unsigned stops = 0;
    EXPECT_EQ(walk_ahead<kFar>(
                  Iter{&items}, [](unsigned) {}, [&](unsigned) { return ++stops < 5; }),
              n < 5);
    EXPECT_EQ(stops, std::min(n, 5u));
  }
}

}  // namespace
