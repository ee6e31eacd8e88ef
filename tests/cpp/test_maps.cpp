// What both maps share, as typed tests over the two families: a randomized
// comparison with a model, the optimised procedures against plain ones
// (purges, re-placement, lazy or skipped levels, known-new keys, look-ahead
// lookups), and allocation failure.
#include <algorithm>
#include <array>
#include <map>
#include <optional>
#include <random>
#include <stdexcept>
#include <vector>

#include "common/bulk_insert.hpp"
#include "common/walk_ahead.hpp"
#include "test_support.hpp"

namespace {

using namespace quenlor;
using namespace quenlor_test;

template <class M>
class Maps : public LeakChecked {};
using Families = ::testing::Types<Elastic, Funnel>;
TYPED_TEST_SUITE(Maps, Families);

auto value_of(const auto* got) { return got ? std::optional(got->v) : std::nullopt; }
auto value_of(const std::optional<Val>& got) { return got ? std::optional(got->v) : std::nullopt; }

// Random operations against std::map, in phases that fill and drain (so that
// purges run with entries left), with the consistency check after every step;
// spread hashes, few hash words (funnel special array and overflow) and one,
// funnel fallback buckets of 64 slots (limit 20) and 32-slot bucket strides
// (delta 0.001). Also traversal: iter, for_each and all_of agree, in strictly
// increasing place; removing walks take what for_each shows, in its order, and
// peek shows what they take next.
TYPED_TEST(Maps, RandomOperationsMatchAModel) {
  using M = TypeParam;
  struct Run {
    uint64_t words;
    double delta;
    uint64_t knob;
  };
  uint64_t peeks = 0, purges = 0;
  for (const Run& run : {Run{1u << 30, 0.1, 0}, Run{3, 0.25, 0}, Run{1, 0.05, 0}, Run{3, 0.1, 20},
                         Run{1u << 30, 0.001, 1}, Run{2, 0.001, 0}}) {
    std::mt19937_64 rng(run.words + run.knob);
    auto m = M::with_options(opts<M>(rng() % 40, run.delta, run.knob));
    std::map<uint64_t, std::pair<uint64_t, uint64_t>> model;  // value, note of the kept key
    const auto k = [&](uint64_t id, uint64_t note = 0) {
      return Key(mix(id % run.words), id, note);
    };
    const auto check_all = [&] {
      std::vector<uint64_t> order;
      std::pair<uint64_t, uint64_t> last;
      auto it = m.iter();
      while (const auto* e = it.next()) {
        const auto at = place_of(m, e->key);
        ASSERT_TRUE(order.empty() || last < at) << "out of order or twice";
        last = at, order.push_back(e->key.id);
        ASSERT_EQ(model.at(e->key.id), std::pair(e->value.v, e->key.note));
      }
      ASSERT_EQ(order.size(), model.size());
      ASSERT_EQ(ids(m), order);
      uint64_t calls = 0;
      const uint64_t stop = order.empty() ? 0 : rng() % order.size();
      ASSERT_EQ(m.all_of([&](const auto&) { return calls++ != stop; }), order.empty());
      ASSERT_EQ(calls, order.empty() ? 0 : stop + 1);
    };
    for (uint64_t step = 0; step < 8000; ++step) {
      const uint64_t id = rng() % 400, r = rng() % 100, v = rng(), t = tombstones(m), had = m.len();
      const auto expected = model.count(id) ? std::optional(model[id].first) : std::nullopt;
      if (r < ((step / 1000) % 2 == 0 ? 55 : 0)) {
        // A new key that needs no growth lands where the slot choice says.
        std::optional<SlotLocation> slot;
        if constexpr (!kElastic<M>)
          if (!expected && m.len() < m.max_insertions())
            slot = m.choose_slot_for_new_key(k(id).word);
        // A replacement keeps the stored key object, and never grows the map.
        const uint64_t cap = m.capacity();
        ASSERT_EQ(value_of(m.insert(k(id, step), Val(v))), expected);
        ASSERT_TRUE(!expected || m.capacity() == cap);
        model[id] = {v, expected ? model[id].second : step};
        if constexpr (!kElastic<M>)
          if (slot) {
            ASSERT_EQ(m.find_location(k(id)), slot);
          }
      } else if (r < 70) {
        ASSERT_EQ(value_of(m.remove(k(id))), expected);
        model.erase(id);
      } else if (r < 88) {
        // Lookups search their own way; the plain search is the oracle: same
        // answer after as many key comparisons.
        const uint64_t before = Key::comparisons;
        ASSERT_EQ(value_of(m.get(k(id))), expected);
        const uint64_t by_get = Key::comparisons - before;
        ASSERT_EQ(place_of(m, k(id)).first != ~uint64_t{0}, expected.has_value());
        ASSERT_EQ(Key::comparisons - before - by_get, by_get);
      } else if (r < 90) {
        // Room for `n` more at the smallest max(capacity, 16) x 2^k.
        const uint64_t n = rng() % 64, cap = m.capacity(), need = m.len() + n;
        const bool fits = need <= m.max_insertions();
        m.reserve(n);
        ASSERT_GE(m.max_insertions(), need);
        ASSERT_TRUE(fits ? m.capacity() == cap
                         : m.capacity() == std::max<uint64_t>(cap, 16) ||
                               max_insertions_for(m.capacity() / 2, run.delta) < need);
      } else if (r < 91 && rng() % 8 == 0) {
        // The funnel map takes any capacity, below len too (the rest waits
        // in the overflow area).
        const uint64_t c = rng() % 300;
        m.resize(kElastic<M> ? std::max(c, m.len()) : c);
      } else if (r >= 91 && r < 97) {
        // Removing walks, each from the front, each taking a few entries.
        const uint64_t mod = std::array<uint64_t, 3>{1, 5, 97}[rng() % 3], residue = rng() % mod;
        const auto pick = [&](const Key& key, const Val&) { return key.id % mod == residue; };
        for (uint64_t walks = 1 + rng() % 3; walks > 0; --walks) {
          std::vector<uint64_t> wanted;
          m.for_each([&](const Key& key, const Val& val) {
            if (pick(key, val)) wanted.push_back(key.id);
          });
          const uint64_t n = rng() % 8 == 0 ? wanted.size() + 1 : rng() % 32;
          auto walk = m.extract_if(pick);
          constexpr uint64_t kNone = ~uint64_t{0};
          uint64_t peeked = kNone;
          for (uint64_t i = 0; i < n; ++i) {
            const auto e = walk.next();
            ASSERT_EQ(e.has_value(), i < wanted.size());
            if (!e) break;
            ASSERT_EQ(e->key.id, wanted[i]);
            ASSERT_TRUE(peeked == kNone || peeked == wanted[i]);
            ASSERT_EQ(model.erase(e->key.id), 1u);
            peeked = kNone;
            if (mod == 1) walk.peek([&](const Key& key, const Val&) { peeked = key.id; });
            peeks += peeked != kNone;
          }
        }
      } else if (r < 98) {
        if (rng() % 16 == 0) m.clear(), model.clear();
      } else {
        ASSERT_NO_FATAL_FAILURE(check_all());
      }
      ASSERT_EQ(m.len(), model.size());
      m.check_consistency();
      purges += m.len() < had && m.len() != 0 && tombstones(m) < t;  // a removal that purged
    }
    ASSERT_NO_FATAL_FAILURE(check_all());
  }
  EXPECT_GT(peeks, 500u);
  EXPECT_GT(purges, 5u);
}

// The consistency check, the oracle of the randomized tests, must notice a
// control byte that disagrees with the entry's tag or with the counts.
TYPED_TEST(Maps, ConsistencyCheckCatchesBrokenTables) {
  auto m = TypeParam::with_options(opts<TypeParam>(256));
  for (uint64_t i = 0; i < 40; ++i) m.insert(key(i), Val(i));
  m.check_consistency();
  {
    auto& table = const_cast<std::remove_cvref_t<decltype(level0_table(m))>&>(level0_table(m));
    uint64_t full = 0, free = 0;
    while (!is_full(table.ctrl_byte(full))) ++full;
    while (table.ctrl_byte(free) != EMPTY) ++free;
    const uint8_t tag = table.ctrl_byte(full);
    table.set_ctrl(full, tag == 0x7F ? 0x7E : tag + 1);  // another tag
    EXPECT_THROW(m.check_consistency(), InternalError);
    table.set_ctrl(full, tag);
    table.set_ctrl(free, DELETED);  // a tombstone nobody counted
    EXPECT_THROW(m.check_consistency(), InternalError);
    table.set_ctrl(free, EMPTY);
  }
  m.check_consistency();
}

// Switches that make a map work by the plain procedure its optimised one must
// match exactly: purges by a full rebuild (both); elastic re-placement as
// insertions of new keys, and every level given its record and block up
// front (null); funnel leading levels without buckets stored too; funnel
// rebuilds and purges placing by the control bytes rather than by counts.
template <class M>
std::vector<bool*> plain_switches() {
  if constexpr (kElastic<M>) {
    return {&M::purge_by_rebuild, &M::refill_plainly, nullptr};
  } else {
    return {&M::purge_by_rebuild, &M::Tables::store_leading_levels, &M::Tables::fill_plainly};
  }
}

template <class F>
decltype(auto) switched(bool* on, F&& f) {
  struct Off {
    bool* s;
    ~Off() {
      if (s) *s = false;
    }
  } off{on};
  if (on) *on = true;
  return f();
}

// Two maps driven alike, one of them plainly, stay identical (state_of)
// through growth from their first capacity, a removing walk that purges,
// fill-and-drain cycles, clears and forced rebuilds: at a fixed capacity, with
// shared hash words, the smallest maps, near-total reserve (the elastic extra
// batch) and tables beyond the look-ahead threshold.
TYPED_TEST(Maps, OptimisedProceduresMatchPlainOnes) {
  using M = TypeParam;
  struct Round {
    uint64_t capacity;
    double delta;
    bool shared;
    uint64_t grow_to, ids, steps;
  };
  for (bool* sw : plain_switches<M>())
    for (const Round r :
         {Round{1000, 0.1, false, 800, 3000, 3000}, Round{128, 0.1, true, 100, 400, 3000},
          Round{16, 0.1, false, 13, 14, 2000}, Round{0, 0.5, true, 2000, 3000, 1000},
          Round{0, 0.999999, false, 10, 0, 0}, Round{0, 0.01, true, 3000, 3000, 0},
          Round{0, 0.1, false, 40000, 0, 0}}) {
      SCOPED_TRACE(testing::Message() << r.capacity << " " << r.grow_to << " " << (sw != nullptr));
      std::mt19937_64 rng(r.grow_to);
      const auto k = [&r](uint64_t id) {
        return Key(r.shared && id % 3 != 0 ? mix(id % 7) : mix(id), id);
      };
      const auto o = opts<M>(r.capacity, r.delta);
      M m = M::with_options(o), plain = switched(sw, [&] { return M::with_options(o); });
      const auto both = [&](auto&& f) {
        f(m);
        switched(sw, [&] {
          if constexpr (kElastic<M>)
            if (sw == nullptr) plain.allocate_all_levels();
          f(plain);
        });
      };
      const auto same = [&] {
        ASSERT_TRUE(state_of(m) == state_of(plain));
        m.check_consistency();
        switched(sw, [&] { plain.check_consistency(); });
      };
      for (uint64_t id = 0; id < r.grow_to; ++id) {
        const uint64_t cap = m.capacity();
        both([&](M& x) { x.insert(k(id), Val(id)); });
        if (m.capacity() != cap && m.len() < 5000) {
          ASSERT_NO_FATAL_FAILURE(same());
        }
      }
      // A quarter of the entries, then half: the second walk purges. Neither
      // the purge nor a rebuild compares keys: keys whose equality changed
      // since they were stored (here: all equal) stay apart.
      Key::all_equal = true;
      const uint64_t comparisons = Key::comparisons;
      both([](M& x) { x.resize(x.capacity()); });
      uint64_t purges = 0;
      for (uint64_t part : {1, 2}) {
        const uint64_t before = tombstones(m);
        both([part](M& x) {
          auto walk = x.extract_if([part](const Key& key, const Val&) {
            return key.id % 4 == part || (part == 2 && key.id % 4 == 3);
          });
          while (walk.next()) {
          }
        });
        purges += tombstones(m) < before;
      }
      Key::all_equal = false;
      EXPECT_EQ(Key::comparisons, comparisons);
      ASSERT_NO_FATAL_FAILURE(same());
      // Cycles that fill to `high` entries and drain to a fifth of it, by key,
      // by popitem bursts and by filtered walks, so that removals from full
      // groups leave DELETED bytes and purges run; clears and forced rebuilds.
      bool draining = false;
      for (uint64_t step = 0; step < r.steps; ++step) {
        const uint64_t high = std::min(r.ids - 1, m.max_insertions() - 2), t = tombstones(m);
        draining = m.len() >= high || (draining && m.len() * 5 > high);
        const uint64_t id = rng() % r.ids, c = rng() % 64;
        const bool insert = c < (draining ? 8 : 52);
        if (insert) {
          both([&](M& x) { x.insert(k(id), Val(id)); });
        } else if (c < 58) {
          both([&](M& x) { x.remove(k(id)); });
        } else if (c < 61) {
          const uint64_t n = rng() % 16;  // popitem: each a walk of its own, from the front
          both([n](M& x) {
            for (uint64_t i = 0; i < n && x.len() != 0; ++i)
              x.extract_if([](const Key&, const Val&) { return true; }).next();
          });
        } else if (c == 61) {
          both([](M& x) {
            auto walk = x.extract_if([](const Key& key, const Val&) { return key.id % 11 == 0; });
            while (walk.next()) {
            }
          });
        } else if (c == 62) {
          both([](M& x) { x.clear(); });
        } else {
          const uint64_t to = std::max(m.len(), rng() % (2 * m.capacity() + 16));
          both([to](M& x) { x.resize(to); });
        }
        purges += !insert && c < 62 && tombstones(m) < t;  // not by clear() or resize()
        if (step % 4 == 0) {
          ASSERT_NO_FATAL_FAILURE(same());
        }
      }
      ASSERT_NO_FATAL_FAILURE(same());
      if (r.grow_to >= 100) {
        EXPECT_GT(purges, 0u);
      }
    }
}

// NewKeys and the batched copy (insert_all_traversed) put keys known to be
// new where insertions put them, comparing none; the batched copy makes the
// same insert calls as a plain loop (as many comparisons once the stored keys
// compare equal, the same partial map when one throws). Targets small, beyond
// the look-ahead threshold and beyond the one for loading slots ahead, with
// spread and shared hashes.
TYPED_TEST(Maps, KnownNewKeysLandWhereInsertionsPutThem) {
  using M = TypeParam;
  for (uint64_t capacity :
       {uint64_t{0}, uint64_t{100}, 2 * kPrefetchFromSlots, kBeyondCacheFromSlots})
    for (uint64_t words : {uint64_t{1} << 30, uint64_t{5}, uint64_t{1}}) {
      auto src = M::with_options(opts<M>(0));
      for (uint64_t i = 0; i < 700; ++i) src.insert(Key(mix(i % words), i, i), Val(i));
      for (uint64_t i = 0; i < 700; i += 1 + i % 4) src.remove(Key(mix(i % words), i));
      // 0: NewKeys; 1: insert, all keys equal; 2, 3: the same stopped by a throw.
      for (int mode = 0; mode < 4; ++mode) {
        uint64_t calls = 0;
        const auto copy = [&](const Key& k, const Val& v) {
          if (mode >= 2 && ++calls > 300) throw std::runtime_error("stop");
          return Entry<Key, Val>{Key(k.word, k.id, k.note), Val(v.v)};
        };
        const auto insert = [&](M& t, const Key& k, const Val& v, uint64_t) {
          auto e = copy(k, v);
          t.insert(std::move(e.key), std::move(e.value));
        };
        const auto noop = [](const Key&, const Val&) {};
        auto plain = M::with_options(opts<M>(capacity)), other = M::with_options(opts<M>(capacity));
        Key::all_equal = mode % 2 == 1, Key::comparisons = 0;
        try {
          src.for_each([&](const Key& k, const Val& v) { insert(plain, k, v, 0); });
        } catch (const std::runtime_error&) {
        }
        const uint64_t plain_comparisons = std::exchange(Key::comparisons, 0);
        calls = 0;
        try {
          if (mode % 2 == 0) {
            typename M::NewKeys to(other);
            const auto put = [&](auto& t, const Key& k, const Val& v, uint64_t h) {
              auto e = copy(k, v);
              t.insert_made(h, [&] { return std::move(e); });
            };
            insert_all_traversed(src, to, put, noop);
          } else {
            insert_all_traversed(src, other, insert, noop);
          }
        } catch (const std::runtime_error&) {
        }
        EXPECT_EQ(Key::comparisons, mode % 2 == 0 ? 0 : plain_comparisons);
        Key::all_equal = false;
        EXPECT_TRUE(state_of(other) == state_of(plain)) << capacity << " " << words << " " << mode;
        other.check_consistency();
      }
    }
}

// A renewed map is the one with_options builds for its capacity and options,
// whatever it held, grew to or had removed: both go through the same
// operations to the same state (blind to block widths, which may differ).
TYPED_TEST(Maps, RenewedMapIsANewOne) {
  using M = TypeParam;
  for (uint64_t capacity : {uint64_t{0}, uint64_t{16}, uint64_t{100}})
    for (uint64_t filled : {uint64_t{0}, uint64_t{5}, uint64_t{15}, uint64_t{400}}) {
      auto used = M::with_options(opts<M>(capacity));
      for (uint64_t i = 0; i < filled; ++i) used.insert(key(i), Val(i));
      for (uint64_t i = 0; i < filled; i += 3) used.remove(key(i));
      used.renew();
      uint64_t knob = 0;
      if constexpr (!kElastic<M>) knob = used.primary_probe_limit();
      auto fresh = M::with_options(opts<M>(used.capacity(), 0.1, knob));
      for (uint64_t i = 1000; i < 1300; ++i) {
        ASSERT_TRUE(state_of(used) == state_of(fresh)) << capacity << " " << filled << " " << i;
        used.insert(key(i), Val(i)), fresh.insert(key(i), Val(i));
        if (i % 5 == 0) used.remove(key(i - 3)), fresh.remove(key(i - 3));
      }
      used.check_consistency();
    }
}

// A lookup without look-ahead of its own, after prefetch_candidate_entries,
// finds what the plain lookup finds, beyond the look-ahead threshold, with
// shared hash words and tombstones, and in a nearly full map large enough for
// the look-ahead to cover a third funnel level; the candidates a walk reads
// ahead all carry the key's tag.
TYPED_TEST(Maps, PrefetchedLookupsMatchPlainOnes) {
  struct Case {
    uint64_t capacity, entries, words;
  };
  for (const Case c :
       {Case{kPrefetchFromSlots * 2, 9000, 100000}, Case{kPrefetchFromSlots * 2, 9000, 40},
        Case{kPrefetchFromSlots * 8, 110000, uint64_t{1} << 40}}) {
    auto m = TypeParam::with_options(opts<TypeParam>(c.capacity));
    const uint64_t words = c.words;
    for (uint64_t i = 0; i < c.entries; ++i) m.insert(Key(mix(i % words), i), Val(i));
    for (uint64_t i = 0; i < c.entries; i += 3) m.remove(Key(mix(i % words), i));
    for (uint64_t i = 0; i < c.entries * 4 / 3; ++i) {
      const Key k(mix(i % words), i);
      m.prefetch_search_path(k);
      m.prefetch_candidate_entries(k);
      const auto same_id = [&](const Key& stored) { return stored.id == k.id; };
      const uint64_t h = m.slot_hash(k);
      ASSERT_EQ(m.template find_matching<false>(h, same_id), m.find_matching(h, same_id)) << i;
      m.for_each_candidate(
          k, [&](const auto& c) { ASSERT_EQ(tag_of(m.slot_hash(c.key)), tag_of(h)) << i; });
    }
  }
}

// insert_new puts a key where insert does, comparing none, also among
// tombstones. Every allocation of every growth from empty is refused in turn,
// table blocks and records: the insertion fails, insert and insert_new alike,
// the map is as it was and the rejected key and value are gone; with the
// block the map goes on. Then capacities that can never be allocated.
// A one-group table starts with room for 4 entries and widens to 8, then 16,
// as its lanes fill; keys land, and removals and purges behave, as in a map
// whose tables had their whole blocks from the start (a rebuild that moves
// entries gives them that). Refused widenings are in the test below.
TYPED_TEST(Maps, ShortBlocksWidenAsTheyFill) {
  using M = TypeParam;
  const auto lanes = [](const M& x) { return level0_table(x).lanes(); };
  const auto k = [](uint64_t id) { return Key(mix(id), id); };
  auto m = M::with_options(opts<M>(0)), whole = M::with_options(opts<M>(0));
  for (M* x : {&m, &whole}) x->insert(k(0), Val(0));
  whole.resize(16);
  ASSERT_EQ(whole.capacity(), 16u);
  EXPECT_EQ(lanes(whole), 16u);
  for (uint64_t id = 1; id < 12; ++id) {
    EXPECT_EQ(lanes(m), id <= 4 ? 4u : id <= 8 ? 8u : 16u) << id;
    for (M* x : {&m, &whole}) x->insert(k(id), Val(id));
    ASSERT_TRUE(state_of(m) == state_of(whole)) << id;
  }
  // Removals, the elastic purge once its tombstones pass half the group, and
  // clear() keep the block.
  for (uint64_t id = 0; id < 9; ++id) {
    for (M* x : {&m, &whole}) x->remove(k(id));
    ASSERT_TRUE(state_of(m) == state_of(whole)) << id;
    m.check_consistency();
  }
  m.clear();
  EXPECT_EQ(lanes(m), 16u);
  // A map that never held more than four entries keeps its short block.
  auto small = M::with_options(opts<M>(0));
  for (uint64_t round = 0; round < 20; ++round) {
    for (uint64_t id = 0; id < 4; ++id) small.insert(k(id), Val(id));
    for (uint64_t id = 0; id < 4; ++id) small.remove(k(id));
  }
  EXPECT_EQ(lanes(small), 4u);
  small.check_consistency();
}

TYPED_TEST(Maps, InsertNewAndAllocationFailure) {
  using M = TypeParam;
  for (int64_t* budget : {&TestAllocator::budget, &TestAllocator::record_budget})
    for (uint64_t words : {uint64_t{1} << 30, uint64_t{3}}) {
      const auto k = [words](uint64_t id) { return Key(mix(id % words), id); };
      const auto summary = [](const M& x) {
        std::vector<uint64_t> v = ids(x);
        v.insert(v.end(),
                 {x.capacity(), x.max_insertions(), x.max_populated_level(), tombstones(x)});
        if constexpr (kElastic<M>) v.insert(v.end(), {x.batch_index(), x.batch_remaining()});
        return v;
      };
      auto m = M::with_options(opts<M>(0)), fresh = M::with_options(opts<M>(0));
      ASSERT_FALSE(m.remove(k(0)) || m.get(k(0)));  // no tables yet
      uint64_t refused = 0;
      for (uint64_t id = 0; id < 1500; ++id) {
        for (int64_t granted = 0;; ++granted) {
          const std::vector<uint64_t> before = summary(m);
          const uint64_t comparisons = Key::comparisons;
          bool threw = false, fresh_threw = false;
          *budget = granted;
          try {
            fresh.insert_new(k(id), Val(id));
          } catch (const std::bad_alloc&) {
            fresh_threw = true;
          }
          ASSERT_EQ(Key::comparisons, comparisons);
          *budget = granted;
          try {
            m.insert(k(id), Val(id));
          } catch (const std::bad_alloc&) {
            threw = true;
          }
          *budget = -1;
          ASSERT_EQ(threw, fresh_threw) << id;
          if (!threw) break;
          ++refused;
          ASSERT_TRUE(summary(m) == before) << id;
          ASSERT_EQ(live, 4 * static_cast<int64_t>(m.len()));
        }
        if (id % 7 == 3) m.remove(k(id / 2)), fresh.remove(k(id / 2));  // tombstones
        if ((id & (id + 1)) == 0) {
          ASSERT_TRUE(state_of(m) == state_of(fresh)) << id;
        }
      }
      EXPECT_GT(refused, 5u);
      m.check_consistency();
      ASSERT_TRUE(state_of(m) == state_of(fresh));

      TestAllocator::max_bytes = std::size_t{1} << 30;
      for (uint64_t huge : {uint64_t{1} << 40, uint64_t{1} << 60, kU64Max}) {
        EXPECT_THROW(M::with_options(opts<M>(huge)), std::bad_alloc);
        EXPECT_THROW(m.resize(huge), std::bad_alloc);
        EXPECT_THROW(m.reserve(huge), std::bad_alloc);
      }
      TestAllocator::max_bytes = std::numeric_limits<std::size_t>::max();
      EXPECT_TRUE(state_of(m) == state_of(fresh));
    }
}

}  // namespace
