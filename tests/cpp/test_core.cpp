// Shared core: the portable group against the SSE2 one, the removal rules of
// the counted table, and the invariant checks (consistency checker, debug
// checks) catching deliberately broken tables.
#include <array>
#include <random>
#include <stdexcept>
#include <type_traits>
#include <vector>

#include "common/bulk_insert.hpp"
#include "common/dcheck.hpp"
#include "common/layout/counted_table.hpp"
#include "common/layout/group.hpp"
#include "common/layout/removal_rule.hpp"
#include "common/walk_ahead.hpp"
#include "elastic/elastic_hash_map.hpp"
#include "funnel/funnel_hash_map.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;
using Core = LeakChecked;

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

template <class Rule>
using Table = CountedTable<Entry<Key, Val>, Rule>;

// Fills slots 0..15 (one full group) and 16 (a group that still shows EMPTY),
// then empties both groups' first slots.
template <class Rule>
std::array<uint8_t, 2> vacated_bytes() {
  auto t = Table<Rule>::with_capacity_in(32);
  for (uint64_t i = 0; i <= 16; ++i) t.place(i, {Key(i, i), Val(i)}, 5);
  const auto a = t.vacate(0), b = t.vacate(16);
  EXPECT_EQ(a.key.id, 0u);
  EXPECT_EQ(b.key.id, 16u);
  EXPECT_EQ(t.len(), 15u);
  t.check_counts("counts");
  return {t.table().ctrl_byte(0), t.table().ctrl_byte(16)};
}

TEST_F(Core, RemovalRulesAndCounts) {
  EXPECT_EQ((vacated_bytes<AlwaysDeleted>()), (std::array<uint8_t, 2>{DELETED, DELETED}));
  EXPECT_EQ((vacated_bytes<EmptyIfGroupShowsEmpty>()), (std::array<uint8_t, 2>{DELETED, EMPTY}));

  // Re-filling a DELETED slot lowers tombstones; drain hands out entries in
  // slot order and leaves an empty table.
  auto t = Table<AlwaysDeleted>::with_capacity_in(16);
  for (uint64_t i : {3, 1, 2}) t.place(i, {Key(i, i), Val(i)}, 9);
  (void)t.vacate(2);
  EXPECT_EQ(t.tombstones(), 1u);
  t.place(2, {Key(7, 7), Val(7)}, 9);
  EXPECT_EQ(t.tombstones(), 0u);
  std::vector<uint64_t> order;
  t.drain([&](Entry<Key, Val>&& e) { order.push_back(e.key.id); });
  EXPECT_EQ(order, (std::vector<uint64_t>{1, 7, 3}));
  EXPECT_EQ(t.len() + t.tombstones(), 0u);
  t.check_counts("counts");
}

// The checker must notice a control byte that disagrees with the counts or
// with the entry's tag; both maps, after real insertions.
template <class M, class O>
void checker_catches_broken_tables(O options, auto&& table_of_first_entry) {
  auto m = M::with_options(options);
  for (uint64_t i = 0; i < 40; ++i) m.insert(key(i), Val(i));
  m.check_consistency();
  using RawTableType = std::remove_cvref_t<decltype(table_of_first_entry(m).table())>;
  auto& table = const_cast<RawTableType&>(table_of_first_entry(m).table());
  uint64_t full = 0;
  while (!is_full(table.ctrl_byte(full))) ++full;
  const uint8_t tag = table.ctrl_byte(full);
  table.set_ctrl(full, tag == 0x7F ? 0x7E : tag + 1);  // another tag
  EXPECT_THROW(m.check_consistency(), InternalError);
  table.set_ctrl(full, tag);
  uint64_t free = 0;
  while (table.ctrl_byte(free) != EMPTY) ++free;
  table.set_ctrl(free, DELETED);  // a tombstone nobody counted
  EXPECT_THROW(m.check_consistency(), InternalError);
  table.set_ctrl(free, EMPTY);
  m.check_consistency();
}

TEST_F(Core, ConsistencyCheckCatchesBrokenTables) {
  checker_catches_broken_tables<ElasticHashMap<Key, Val>>(
      ElasticOptions{64}, [](const auto& m) -> const auto& { return m.level(0); });
  checker_catches_broken_tables<FunnelHashMap<Key, Val>>(
      FunnelOptions{256, kDefaultReserveFraction, std::nullopt},
      [](const auto& m) -> const auto& { return m.levels()[0]; });
}

// The batched copy makes the same insert calls as a plain loop: same contents,
// key objects kept, comparisons, capacity and traversal order, also when the
// stored keys have come to compare equal, and the same partial result when an
// insert throws part-way. Known-new keys go through Map::NewKeys, which keeps
// the placement state to itself between insertions (growth included).
template <class Map, class Options>
void batched_copy_matches_plain_copy(Options o) {
  for (uint64_t words : {1000, 3, 1}) {
    std::mt19937_64 rng(words);
    auto src = Map::with_options(o);
    for (uint64_t i = 0; i < 700; ++i) src.insert(Key(mix(i % words), i, i), Val(i));
    for (uint64_t i = 0; i < 700; i += 1 + rng() % 4) src.remove(Key(mix(i % words), i));
    auto make = [](const Entry<Key, Val>& e) {
      return std::pair(Key(e.key.word, e.key.id, e.key.note), Val(e.value.v));
    };
    auto order = [](const Map& m) {
      std::vector<std::array<uint64_t, 3>> v;
      auto it = m.iter();
      while (const auto* e = it.next()) v.push_back({e->key.id, e->key.note, e->value.v});
      return v;
    };
    // Modes: new keys, all equal, a throwing insert, new keys with a throw.
    for (int mode = 0; mode < 4; ++mode) {
      const bool known_new = mode == 0 || mode == 3;
      Key::all_equal = mode == 1;
      auto plain = Map::with_options(o), batched = Map::with_options(o);
      Key::comparisons = 0;
      uint64_t budget = 300, calls = 0;
      auto limited = [&](const Entry<Key, Val>& e) {
        if (mode >= 2 && ++calls > budget) throw std::runtime_error("stop");
        return make(e);
      };
      try {
        auto it = src.iter();
        while (const auto* e = it.next()) {
          auto [k, v] = limited(*e);
          plain.insert(std::move(k), std::move(v));
        }
      } catch (const std::runtime_error&) {
      }
      const uint64_t plain_comparisons = std::exchange(Key::comparisons, 0);
      calls = 0;
      try {
        if (known_new) {  // keys all different: NewKeys places each alike
          typename Map::NewKeys fresh(batched);
          insert_all_traversed(
              src, fresh,
              [&](auto& to, const Key& k, const Val& v, uint64_t h) {
                EXPECT_EQ(h, to.slot_hash(k));
                auto kv = limited(Entry<Key, Val>{Key(k.word, k.id, k.note), Val(v.v)});
                to.insert_made(h, [&] {
                  return Entry<Key, Val>{std::move(kv.first), std::move(kv.second)};
                });
              },
              [](const Key&, const Val&) {});
        } else {
          insert_all_traversed(
              src, batched,
              [&](Map& to, const Key& k, const Val& v, uint64_t h) {
                EXPECT_EQ(h, to.slot_hash(k));
                auto [key, value] = limited(Entry<Key, Val>{Key(k.word, k.id, k.note), Val(v.v)});
                to.insert(std::move(key), std::move(value));
              },
              [](const Key&, const Val&) {});
        }
      } catch (const std::runtime_error&) {
      }
      EXPECT_EQ(Key::comparisons, known_new ? 0 : plain_comparisons);
      Key::all_equal = false;
      EXPECT_EQ(order(batched), order(plain)) << words << " " << mode;
      EXPECT_EQ(batched.capacity(), plain.capacity());
      EXPECT_EQ(batched.len(), mode == 0 ? src.len() : plain.len());
      batched.check_consistency();
    }
  }
}

TEST_F(Core, BatchedCopyMatchesPlainCopy) {
  // A target that fits in cache is filled by a plain walk, a larger one with
  // the look-ahead: both must match the plain loop.
  for (uint64_t capacity : {uint64_t{100}, kPrefetchFromSlots * 2}) {
    batched_copy_matches_plain_copy<ElasticHashMap<Key, Val, IdentityHasher>>(
        ElasticOptions{capacity});
    batched_copy_matches_plain_copy<FunnelHashMap<Key, Val, IdentityHasher>>(
        FunnelOptions{capacity, kDefaultReserveFraction, std::nullopt});
  }
}

// Reserving room in an empty map rebuilds it at capacity_to_fit. Building it
// at that capacity at once (the funnel map keeping the primary probe limit of
// the capacity first asked for) gives the same map: capacity, growth points,
// places and traversal order agree through insertions, growth and clear.
template <class Map, class MakeOptions>
void presized_matches_reserved(MakeOptions options) {
  const auto order = [](const Map& m) {
    std::vector<uint64_t> v;
    auto it = m.iter();
    while (const auto* e = it.next()) v.push_back(e->key.id);
    return v;
  };
  for (uint64_t c : {0, 1, 3, 4, 5, 16, 17, 40})
    for (uint64_t n : {1, 2, 4, 5, 14, 15, 16, 29, 30, 100}) {
      auto reserved = Map::with_options(options(c, c));
      reserved.reserve(n);
      const uint64_t grown = n <= max_insertions_for(c, kDefaultReserveFraction)
                                 ? c
                                 : capacity_to_fit(c, n, kDefaultReserveFraction);
      auto presized = Map::with_options(options(grown, c));
      ASSERT_EQ(presized.capacity(), reserved.capacity()) << c << " " << n;
      for (uint64_t i = 0; i < 3 * n + 20; ++i) {
        if (i == 2 * n) presized.clear(), reserved.clear();
        presized.insert(Key(mix(i % 50), i), Val(i));
        reserved.insert(Key(mix(i % 50), i), Val(i));
        ASSERT_EQ(presized.capacity(), reserved.capacity()) << c << " " << n << " " << i;
        ASSERT_EQ(order(presized), order(reserved)) << c << " " << n << " " << i;
      }
      presized.check_consistency();
    }
}

TEST_F(Core, PresizedMapMatchesReservedOne) {
  presized_matches_reserved<ElasticHashMap<Key, Val, IdentityHasher>>(
      [](uint64_t capacity, uint64_t) { return ElasticOptions{capacity}; });
  presized_matches_reserved<FunnelHashMap<Key, Val, IdentityHasher>>(
      [](uint64_t capacity, uint64_t asked) {
        return FunnelOptions{capacity, kDefaultReserveFraction,
                             resolve_primary_probe_limit(std::nullopt, asked)};
      });
}

// insert_new places a key known to be new exactly where insert would: same
// traversal order, capacity and growth points, with keys spread well, keys
// sharing a few hash words (funnel keys without a place, elastic fallbacks),
// and tombstones left by removals; no comparison at all; and a refused
// allocation leaves the map as it was.
template <class Map, class Options>
void insert_new_matches_insert(Options o) {
  auto order = [](const Map& m) {
    std::vector<std::array<uint64_t, 2>> v;
    auto it = m.iter();
    while (const auto* e = it.next()) v.push_back({e->key.id, e->value.v});
    return v;
  };
  for (uint64_t words : {1000000, 5, 1}) {
    auto plain = Map::with_options(o), fresh = Map::with_options(o);
    for (uint64_t i = 0; i < 600; ++i) {
      plain.insert(Key(mix(i % words), i), Val(i));
      const uint64_t before = Key::comparisons;
      fresh.insert_new(Key(mix(i % words), i), Val(i));
      ASSERT_EQ(Key::comparisons, before);
      if (i % 7 == 3) {  // leave tombstones behind
        plain.remove(Key(mix((i / 2) % words), i / 2));
        fresh.remove(Key(mix((i / 2) % words), i / 2));
      }
      ASSERT_EQ(fresh.capacity(), plain.capacity()) << words << " " << i;
    }
    EXPECT_EQ(order(fresh), order(plain)) << words;
    fresh.check_consistency();

    // An allocation refused part-way (growth, or a level's first block)
    // fails the same insertion in both and changes nothing; both go on.
    auto until_refused = [&](auto&& insert) {
      TestAllocator::budget = 0;
      uint64_t id = 1000;
      try {
        for (; id < 5000; ++id) insert(Key(mix(id % words), id), Val(id));
      } catch (const std::bad_alloc&) {
      }
      TestAllocator::budget = -1;
      return id;
    };
    const uint64_t cap = plain.capacity();
    const uint64_t stop =
        until_refused([&](Key k, Val v) { plain.insert(std::move(k), std::move(v)); });
    EXPECT_EQ(until_refused([&](Key k, Val v) { fresh.insert_new(std::move(k), std::move(v)); }),
              stop);
    EXPECT_LT(stop, 5000u);
    EXPECT_EQ(fresh.capacity(), cap);
    EXPECT_EQ(order(fresh), order(plain));
    plain.insert(Key(mix(stop % words), stop), Val(stop));
    fresh.insert_new(Key(mix(stop % words), stop), Val(stop));
    EXPECT_EQ(order(fresh), order(plain));
    fresh.check_consistency();
  }
}

TEST_F(Core, InsertNewMatchesInsert) {
  using Elastic = ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>;
  using Funnel = FunnelHashMap<Key, Val, IdentityHasher, TestAllocator>;
  insert_new_matches_insert<Elastic>(ElasticOptions{0});
  insert_new_matches_insert<Elastic>(ElasticOptions{100, 0.5, 4.0});
  insert_new_matches_insert<Funnel>(FunnelOptions{0, kDefaultReserveFraction, std::nullopt});
  insert_new_matches_insert<Funnel>(FunnelOptions{300, 0.01, 2});
}

#ifdef QUENLOR_DEBUG_CHECKS
TEST(DebugChecksDeathTest, BrokenPreconditionAbortsWithItsLocation) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(QUENLOR_DCHECK(1 + 1 == 3), "test_core.cpp:[0-9]+: .*1 \\+ 1 == 3");
  auto t = Table<AlwaysDeleted>::with_capacity_in(16);
  EXPECT_DEATH((void)t.vacate(4), "invariant violated");  // an empty slot
}
#endif

// An allocator with zero-filled blocks only: tables then skip clearing their
// control bytes themselves.
struct ZeroedOnlyAllocator {
  void* allocate_zeroed(std::size_t n) const { return TestAllocator{}.allocate_zeroed(n); }
  void deallocate(void* p, std::size_t n) const noexcept { TestAllocator{}.deallocate(p, n); }
};

// Tables over garbage-filled blocks behave exactly like tables over zeroed
// ones: same slots, traversal order, capacity and counts through growth,
// purges, clears and refused allocations.
template <class Garbage, class Zeroed>
void expect_same_maps_whatever_the_block_contents(Garbage g, Zeroed z) {
  std::mt19937_64 rng(7);
  for (int step = 0; step < 6000; ++step) {
    const uint64_t id = rng() % 700, r = rng() % 1000;
    const uint64_t word = mix(id % (id % 2 == 0 ? 3 : 5000));  // some keys share hashes
    if (r < 5) {
      // The next block of either map is refused; both must stay as they were.
      const uint64_t cap = g.capacity();
      TestAllocator::budget = 0;
      bool thrown_g = false, thrown_z = false;
      try {
        g.reserve(g.len() * 4 + 64);
      } catch (const std::bad_alloc&) {
        thrown_g = true;
      }
      try {
        z.reserve(z.len() * 4 + 64);
      } catch (const std::bad_alloc&) {
        thrown_z = true;
      }
      TestAllocator::budget = -1;
      ASSERT_EQ(thrown_g, thrown_z);
      if (thrown_g) {
        ASSERT_EQ(g.capacity(), cap);
      }
    } else if (r < 8) {
      g.clear(), z.clear();
    } else if (r < 600 || step > 4000) {
      // Long runs of removals make the tables purge.
      ASSERT_EQ(g.remove(Key(word, id)).has_value(), z.remove(Key(word, id)).has_value());
    } else {
      ASSERT_EQ(g.insert(Key(word, id), Val(id)).has_value(),
                z.insert(Key(word, id), Val(id)).has_value());
    }
    ASSERT_EQ(g.len(), z.len());
    ASSERT_EQ(g.capacity(), z.capacity());
    auto a = g.iter();
    auto b = z.iter();
    for (;;) {
      const auto *ea = a.next(), *eb = b.next();
      ASSERT_EQ(ea == nullptr, eb == nullptr);
      if (ea == nullptr) break;
      ASSERT_EQ(ea->key.id, eb->key.id);
      ASSERT_EQ(ea->value.v, eb->value.v);
    }
    if (step % 250 == 0) g.check_consistency(), z.check_consistency();
  }
}

TEST_F(Core, UninitialisedBlocksBehaveLikeZeroedOnes) {
  expect_same_maps_whatever_the_block_contents(
      FunnelHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options({}),
      FunnelHashMap<Key, Val, IdentityHasher, ZeroedOnlyAllocator>::with_options({}));
  expect_same_maps_whatever_the_block_contents(
      ElasticHashMap<Key, Val, IdentityHasher, TestAllocator>::with_options({}),
      ElasticHashMap<Key, Val, IdentityHasher, ZeroedOnlyAllocator>::with_options({}));
}

// all_of walks exactly what iter() yields, in the same order, and stops at the
// first false: over levels, special array and overflow (shared hash words).
template <class Map, class Options>
void all_of_follows_iter(Options o) {
  for (uint64_t words : {1000, 2}) {
    auto m = Map::with_options(o);
    for (uint64_t i = 0; i < 300; ++i) m.insert(Key(mix(i % words), i), Val(i));
    for (uint64_t i = 0; i < 300; i += 3) m.remove(Key(mix(i % words), i));
    std::vector<uint64_t> pulled, walked;
    auto it = m.iter();
    while (const auto* e = it.next()) pulled.push_back(e->key.id);
    EXPECT_TRUE(m.all_of([&](const auto& e) {
      walked.push_back(e.key.id);
      return true;
    }));
    EXPECT_EQ(walked, pulled) << words;
    for (uint64_t stop : {uint64_t{0}, pulled.size() / 2, pulled.size() - 1}) {
      uint64_t calls = 0;
      EXPECT_FALSE(m.all_of([&](const auto&) { return calls++ != stop; }));
      EXPECT_EQ(calls, stop + 1);
    }
  }
}

TEST_F(Core, AllOfFollowsIter) {
  all_of_follows_iter<ElasticHashMap<Key, Val>>(ElasticOptions{100});
  all_of_follows_iter<FunnelHashMap<Key, Val>>(
      FunnelOptions{100, kDefaultReserveFraction, std::nullopt});
}

// peek() shows the entry the next extraction takes whenever it shows one, and
// shows one for most entries of a dense table (all but a group's last).
template <class Map, class Options>
void peek_shows_the_next_extraction(Options o) {
  auto m = Map::with_options(o);
  for (uint64_t i = 0; i < 300; ++i) m.insert(key(i), Val(i));
  uint64_t shown = 0;
  while (m.len() != 0) {
    auto drain = m.extract_if([](const Key&, const Val&) { return true; });
    ASSERT_TRUE(drain.next().has_value());
    std::optional<uint64_t> peeked;
    drain.peek([&](const Key& k, const Val&) { peeked = k.id; });
    if (!peeked) continue;
    ++shown;
    const auto following = drain.next();
    ASSERT_TRUE(following.has_value());
    EXPECT_EQ(following->key.id, *peeked);
  }
  EXPECT_GT(shown, 100u);
}

TEST_F(Core, PeekShowsTheNextExtraction) {
  peek_shows_the_next_extraction<ElasticHashMap<Key, Val>>(ElasticOptions{300});
  peek_shows_the_next_extraction<FunnelHashMap<Key, Val>>(
      FunnelOptions{300, kDefaultReserveFraction, std::nullopt});
}

// walk_three_ahead: every entry visited once and in order, far(), near()
// and nearest() each called once per entry, in that order, kFar, kNear and
// kNearest visits before its own (fewer at the start), and an early stop
// ends the walk.
TEST(Walk, StepsReachEveryEntryAtTheirDistances) {
  constexpr unsigned kFar = 6, kNear = 3, kNearest = 1;
  for (unsigned n : {0u, 1u, 3u, 4u, 6u, 7u, 20u}) {
    std::vector<unsigned> items(n);
    for (unsigned i = 0; i < n; ++i) items[i] = i;
    struct Iter {
      const std::vector<unsigned>* v;
      unsigned at = 0;
      const unsigned* next() { return at < v->size() ? &(*v)[at++] : nullptr; }
    };
    std::vector<int> far_at(n, -1), near_at(n, -1), nearest_at(n, -1);
    std::vector<unsigned> visited;
    const auto record = [&](std::vector<int>& when, unsigned e) {
      EXPECT_EQ(when[e], -1) << "twice: " << e;
      when[e] = static_cast<int>(visited.size());
    };
    const bool whole = walk_three_ahead<kFar, kNear, kNearest>(
        Iter{&items}, [&](unsigned e) { record(far_at, e); },
        [&](unsigned e) {
          EXPECT_NE(far_at[e], -1) << e;
          record(near_at, e);
        },
        [&](unsigned e) {
          EXPECT_NE(near_at[e], -1) << e;
          record(nearest_at, e);
        },
        [&](unsigned e) {
          EXPECT_NE(nearest_at[e], -1) << e;
          visited.push_back(e);
          return true;
        });
    EXPECT_TRUE(whole);
    EXPECT_EQ(visited, items);
    const auto at_distance = [](unsigned e, unsigned d) {
      return std::max(0, static_cast<int>(e) - static_cast<int>(d));
    };
    for (unsigned e = 0; e < n; ++e) {
      EXPECT_EQ(far_at[e], at_distance(e, kFar - 1)) << n;
      EXPECT_EQ(near_at[e], at_distance(e, kNear)) << n;
      EXPECT_EQ(nearest_at[e], at_distance(e, kNearest)) << n;
    }
    unsigned calls = 0;
    EXPECT_EQ(walk_ahead<kFar>(
                  Iter{&items}, [](unsigned) {}, [&](unsigned) { return ++calls < 5; }),
              n < 5);
    EXPECT_EQ(calls, std::min(n, 5u));
  }
}

// A lookup without look-ahead of its own, after prefetch_candidates, finds
// what the plain lookup finds, in a table beyond the look-ahead threshold,
// with shared hash words and tombstones; the candidates a walk reads ahead
// all carry the key's tag.
template <class Map, class Options>
void prefetched_lookups_match_plain_ones(Options o) {
  for (uint64_t words : {uint64_t{100000}, uint64_t{40}}) {
    auto m = Map::with_options(o);
    for (uint64_t i = 0; i < 9000; ++i) m.insert(Key(mix(i % words), i), Val(i));
    for (uint64_t i = 0; i < 9000; i += 3) m.remove(Key(mix(i % words), i));
    for (uint64_t i = 0; i < 12000; ++i) {
      const Key k(mix(i % words), i);
      m.prefetch_search_path(k);
      prefetch_candidates(m, k);
      const auto same_id = [&](const Key& stored) { return stored.id == k.id; };
      const uint64_t h = m.slot_hash(k);
      ASSERT_EQ(m.template find_matching<false>(h, same_id), m.find_matching(h, same_id)) << i;
      m.for_each_candidate(
          k, [&](const auto& c) { ASSERT_EQ(tag_of(m.slot_hash(c.key)), tag_of(h)) << i; });
    }
    m.check_consistency();
  }
}

TEST_F(Core, PrefetchedLookupsMatchPlainOnes) {
  prefetched_lookups_match_plain_ones<ElasticHashMap<Key, Val>>(
      ElasticOptions{kPrefetchFromSlots * 2});
  prefetched_lookups_match_plain_ones<FunnelHashMap<Key, Val>>(
      FunnelOptions{kPrefetchFromSlots * 2, kDefaultReserveFraction, std::nullopt});
}

}  // namespace
