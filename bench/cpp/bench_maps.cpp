// The two generic maps against C++ hash tables, with 64-bit integer keys and
// values and one hash function shared by every table, so that the tables
// differ only in layout and probing.
//
//   insert/<n>   insert n new keys into an empty table (growth included)
//   hit/<n>      look up present keys, in an order unrelated to insertion
//   miss/<n>     look up absent keys
//   erase/<n>    erase every key (the table is rebuilt outside the timing)
//   copy/<n>     copy a table of n entries, the copy's destruction included
//   grow/<c>     (the two maps) the insertion that grows a map filled to its
//                growth point at capacity c, per entry it moves
//   load/<pct>   hit and miss lookups in a table of about 2^20 slots filled to
//                pct % of its allocated slots, built the way each table allows
//
// Load is always entries / allocated slots (for the funnel map every slot of
// its levels and special array, also those no key can be placed in; for
// std::unordered_map: entries / buckets, since it chains). A table that cannot
// reach a load without growing says so on stderr and in the benchmark's error
// message instead of vanishing.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "absl/container/flat_hash_map.h"
#include "common/bulk_insert.hpp"
#include "common/layout/hasher.hpp"
#include "elastic/elastic_hash_map.hpp"
#include "fixed_key.hpp"
#include "funnel/funnel_hash_map.hpp"

#if __has_include(<boost/unordered/unordered_flat_map.hpp>)
#include <boost/unordered/unordered_flat_map.hpp>
#define QUENLOR_BENCH_BOOST 1
#endif

namespace {

using quenlor_bench::FixedHasher;
using quenlor_bench::Key;
using quenlor_bench::mix;

struct StdHash {
  size_t operator()(const Key& k) const noexcept { return mix(k.v); }
};

using Funnel = quenlor::FunnelHashMap<Key, uint64_t, FixedHasher>;
using Elastic = quenlor::ElasticHashMap<Key, uint64_t, FixedHasher>;
using Absl = absl::flat_hash_map<Key, uint64_t, StdHash>;
using Std = std::unordered_map<Key, uint64_t, StdHash>;
#ifdef QUENLOR_BENCH_BOOST
using Boost = boost::unordered_flat_map<Key, uint64_t, StdHash>;
#endif

// One interface over every table: make (optionally for a reserve fraction),
// insert, find, erase, entries, slots.
template <class M>
struct Ops;

template <class M>
struct QuenlorOps {
  static M make(uint64_t capacity = 0, double reserve = 0.1) {
    typename M::Options o{};
    o.capacity = capacity;
    o.reserve_fraction = reserve;
    return M::with_options(o);
  }
  static void insert(M& m, uint64_t k, uint64_t v) { m.insert(Key{k}, v); }
  static const uint64_t* find(const M& m, uint64_t k) { return m.get(Key{k}); }
  static void erase(M& m, uint64_t k) { m.remove(Key{k}); }
  static uint64_t entries(const M& m) { return m.len(); }
  static uint64_t capacity(const M& m) { return m.capacity(); }
  // What the module's copy does without Python: a map built at the capacity
  // filling reaches (that of a source grown from empty), every entry
  // re-placed in traversal order as a key known to be new. Here the copy
  // keeps the source's hash function, so the entries go back in the order
  // they lie in; the module's copy draws a seed of its own and places them
  // at random.
  static M copy(const M& m) {
    M c = make(m.capacity());
    {
      typename M::NewKeys to(c);
      quenlor::insert_all_traversed(
          m, to,
          [](auto& t, const Key& k, const uint64_t& v, uint64_t h) {
            t.insert_made(h, [&] { return quenlor::Entry<Key, uint64_t>{k, v}; });
          },
          [](const Key&, const uint64_t&) {});
    }
    return c;
  }
};

template <>
struct Ops<Funnel> : QuenlorOps<Funnel> {
  static constexpr const char* name = "FunnelHashMap";
  // Every allocated slot, including the parts of wide buckets and of the
  // fallback that no key is ever placed in.
  static uint64_t slots(const Funnel& m) {
    uint64_t s = m.special().primary.slots() + m.special().fallback.slots();
    for (const auto& lv : m.levels()) s += lv.slots();
    return s;
  }
};

template <>
struct Ops<Elastic> : QuenlorOps<Elastic> {
  static constexpr const char* name = "ElasticHashMap";
  // The slots of the levels that have a record: in batch 0 only level 0 has
  // one (level(i) is defined for i < recorded_levels() only).
  static uint64_t slots(const Elastic& m) {
    uint64_t s = 0;
    for (uint64_t i = 0; i < m.recorded_levels(); ++i) s += m.level(i).slots();
    return s;
  }
};

template <class M>
struct StdLikeOps {
  static M make(uint64_t capacity = 0, double = 0) {
    M m;
    if (capacity) m.reserve(capacity);
    return m;
  }
  static void insert(M& m, uint64_t k, uint64_t v) { m.insert_or_assign(Key{k}, v); }
  static const uint64_t* find(const M& m, uint64_t k) {
    auto it = m.find(Key{k});
    return it == m.end() ? nullptr : &it->second;
  }
  static void erase(M& m, uint64_t k) { m.erase(Key{k}); }
  static uint64_t entries(const M& m) { return m.size(); }
  static M copy(const M& m) { return M(m); }
};

template <>
struct Ops<Absl> : StdLikeOps<Absl> {
  static constexpr const char* name = "absl::flat_hash_map";
  static uint64_t slots(const Absl& m) { return m.capacity(); }
  static uint64_t capacity(const Absl& m) { return m.capacity(); }
};

template <>
struct Ops<Std> : StdLikeOps<Std> {
  static constexpr const char* name = "std::unordered_map";
  static uint64_t slots(const Std& m) { return m.bucket_count(); }
  static uint64_t capacity(const Std& m) { return m.bucket_count(); }
};

#ifdef QUENLOR_BENCH_BOOST
template <>
struct Ops<Boost> : StdLikeOps<Boost> {
  static constexpr const char* name = "boost::unordered_flat_map";
  // bucket_count() is its element capacity: 15 slots per group, less one
  // sentinel slot.
  static uint64_t slots(const Boost& m) { return m.bucket_count(); }
  static uint64_t capacity(const Boost& m) { return m.bucket_count(); }
};
#endif

std::vector<uint64_t> random_keys(uint64_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> v(n);
  for (auto& k : v) k = rng() >> 1;  // top bit clear: absent keys set it
  return v;
}

std::vector<uint64_t> absent_keys(const std::vector<uint64_t>& keys) {
  std::vector<uint64_t> v(keys.size());
  for (size_t i = 0; i < keys.size(); ++i) v[i] = keys[i] | (uint64_t{1} << 63);
  return v;
}

std::vector<uint64_t> shuffled(std::vector<uint64_t> v, uint64_t seed) {
  std::shuffle(v.begin(), v.end(), std::mt19937_64(seed));
  return v;
}

template <class M>
void report_load(benchmark::State& st, const M& m) {
  st.counters["load"] =
      static_cast<double>(Ops<M>::entries(m)) / static_cast<double>(Ops<M>::slots(m));
  st.counters["entries"] = static_cast<double>(Ops<M>::entries(m));
  st.counters["slots"] = static_cast<double>(Ops<M>::slots(m));
}

template <class M>
void BM_insert(benchmark::State& st) {
  const auto keys = random_keys(st.range(0), 1);
  for (auto _ : st) {
    M m = Ops<M>::make();
    for (uint64_t k : keys) Ops<M>::insert(m, k, k);
    benchmark::DoNotOptimize(Ops<M>::entries(m));
    st.PauseTiming();  // destruction is not insertion
    { M gone = std::move(m); }
    st.ResumeTiming();
  }
  st.SetItemsProcessed(st.iterations() * keys.size());
}

template <class M>
void BM_hit(benchmark::State& st) {
  const auto keys = random_keys(st.range(0), 1);
  M m = Ops<M>::make();
  for (uint64_t k : keys) Ops<M>::insert(m, k, k);
  const auto order = shuffled(keys, 2);
  for (auto _ : st) {
    uint64_t sum = 0;
    for (uint64_t k : order) sum += *Ops<M>::find(m, k);
    benchmark::DoNotOptimize(sum);
  }
  st.SetItemsProcessed(st.iterations() * keys.size());
  report_load(st, m);
}

template <class M>
void BM_miss(benchmark::State& st) {
  const auto keys = random_keys(st.range(0), 1);
  M m = Ops<M>::make();
  for (uint64_t k : keys) Ops<M>::insert(m, k, k);
  const auto absent = absent_keys(shuffled(keys, 3));
  for (auto _ : st) {
    uint64_t found = 0;
    for (uint64_t k : absent) found += Ops<M>::find(m, k) != nullptr;
    benchmark::DoNotOptimize(found);
  }
  st.SetItemsProcessed(st.iterations() * keys.size());
}

template <class M>
void BM_erase(benchmark::State& st) {
  const auto keys = random_keys(st.range(0), 1);
  const auto order = shuffled(keys, 4);
  for (auto _ : st) {
    st.PauseTiming();
    auto m = std::make_unique<M>(Ops<M>::make());
    for (uint64_t k : keys) Ops<M>::insert(*m, k, k);
    st.ResumeTiming();
    for (uint64_t k : order) Ops<M>::erase(*m, k);
    benchmark::DoNotOptimize(Ops<M>::entries(*m));
    st.PauseTiming();
    m.reset();
    st.ResumeTiming();
  }
  st.SetItemsProcessed(st.iterations() * keys.size());
}

// Python's dict.copy() copies its table as one block; every table here
// places each entry again (absl and Boost 1.81 re-insert by hash too). All
// of them keep the hash function, so a copy's entries land in the order the
// walk meets them: the easy case of re-placing.
template <class M>
void BM_copy(benchmark::State& st) {
  const auto keys = random_keys(st.range(0), 1);
  M m = Ops<M>::make();
  for (uint64_t k : keys) Ops<M>::insert(m, k, k);
  for (auto _ : st) {
    M c = Ops<M>::copy(m);
    benchmark::DoNotOptimize(Ops<M>::entries(c));
  }
  st.SetItemsProcessed(st.iterations() * keys.size());
}

// A growth re-places every entry in new tables, which is what growing from
// empty, a copy and a purge spend most of their time on.
template <class M>
void BM_grow(benchmark::State& st) {
  const uint64_t capacity = st.range(0);
  const uint64_t limit = capacity - capacity / 10;  // the default reserve fraction's
  const auto keys = random_keys(limit + 1, 5);
  for (auto _ : st) {
    M m = Ops<M>::make(capacity);
    for (uint64_t i = 0; i < limit; ++i) Ops<M>::insert(m, keys[i], i);
    const auto start = std::chrono::steady_clock::now();
    Ops<M>::insert(m, keys[limit], limit);
    const auto end = std::chrono::steady_clock::now();
    if (Ops<M>::capacity(m) == capacity) {
      st.SkipWithError("the map did not grow at its growth point");
      return;
    }
    st.SetIterationTime(std::chrono::duration<double>(end - start).count());
  }
  st.SetItemsProcessed(st.iterations() * limit);
}

// Fills a table of about 2^20 slots to `target` of its slots without growth.
// Returns nullopt (with the reason) when the table cannot run there.
template <class M>
std::optional<M> table_at_load(double target, std::string& why) {
  constexpr uint64_t kSlots = uint64_t{1} << 20;
  const auto keys = random_keys(kSlots * 2, 5);
  if constexpr (std::is_same_v<M, Funnel> || std::is_same_v<M, Elastic>) {
    // The largest reserve fraction whose growth limit lies beyond the target.
    for (double r : {0.1, 0.01, 0.001}) {
      M m = Ops<M>::make(kSlots, r);
      // All of an elastic map's levels, so that its slots can be counted now.
      if constexpr (std::is_same_v<M, Elastic>) m.allocate_all_levels();
      const uint64_t want = static_cast<uint64_t>(target * static_cast<double>(Ops<M>::slots(m)));
      const uint64_t cap0 = Ops<M>::capacity(m);
      bool grew = false;
      for (uint64_t i = 0; i < want && !grew; ++i) {
        Ops<M>::insert(m, keys[i], keys[i]);
        grew = Ops<M>::capacity(m) != cap0;
      }
      if (!grew) return m;
    }
    why = "grows before reaching this load even at reserve_fraction 0.001";
    return std::nullopt;
  } else if constexpr (std::is_same_v<M, Std>) {
    M m;
    m.max_load_factor(1.0f);
    m.rehash(kSlots);
    const uint64_t want = static_cast<uint64_t>(target * static_cast<double>(m.bucket_count()));
    for (uint64_t i = 0; i < want; ++i) Ops<M>::insert(m, keys[i], keys[i]);
    return m;
  } else {
    // Open-addressing tables with a fixed maximum load: fill an exact
    // reservation and check that it did not grow.
    M m;
    m.reserve(kSlots / 2);
    const uint64_t slots0 = Ops<M>::slots(m);
    const uint64_t want = static_cast<uint64_t>(target * static_cast<double>(slots0));
    for (uint64_t i = 0; i < want; ++i) {
      Ops<M>::insert(m, keys[i], keys[i]);
      if (Ops<M>::slots(m) != slots0) {
        why = "its maximum load factor is below this load (it grew at " +
              std::to_string(static_cast<double>(i) / static_cast<double>(slots0)) + ")";
        return std::nullopt;
      }
    }
    return m;
  }
}

template <class M>
void BM_load(benchmark::State& st, double target, bool hits) {
  std::string why;
  std::optional<M> m = table_at_load<M>(target, why);
  if (!m) {
    std::fprintf(stderr, "note: %s cannot run at load %.2f: %s\n", Ops<M>::name, target,
                 why.c_str());
    st.SkipWithError(("cannot run at this load: " + why).c_str());
    for (auto _ : st) {
    }
    return;
  }
  const uint64_t n = Ops<M>::entries(*m);
  auto keys = random_keys(uint64_t{1} << 21, 5);
  keys.resize(n);
  const auto order = hits ? shuffled(keys, 6) : absent_keys(shuffled(keys, 6));
  for (auto _ : st) {
    uint64_t acc = 0;
    for (uint64_t k : order) {
      const uint64_t* v = Ops<M>::find(*m, k);
      acc += v ? *v : 1;
    }
    benchmark::DoNotOptimize(acc);
  }
  st.SetItemsProcessed(st.iterations() * n);
  report_load(st, *m);
}

template <class M>
void register_table() {
  const std::string name = Ops<M>::name;
  for (auto* b : {benchmark::RegisterBenchmark((name + "/insert").c_str(), BM_insert<M>),
                  benchmark::RegisterBenchmark((name + "/hit").c_str(), BM_hit<M>),
                  benchmark::RegisterBenchmark((name + "/miss").c_str(), BM_miss<M>),
                  benchmark::RegisterBenchmark((name + "/erase").c_str(), BM_erase<M>),
                  benchmark::RegisterBenchmark((name + "/copy").c_str(), BM_copy<M>)})
    b->Arg(1000)->Arg(1000000)->Unit(benchmark::kNanosecond);
  if constexpr (std::is_same_v<M, Funnel> || std::is_same_v<M, Elastic>)
    benchmark::RegisterBenchmark((name + "/grow").c_str(), BM_grow<M>)
        ->Arg(1024)
        ->Arg(131072)
        ->UseManualTime()
        ->Unit(benchmark::kNanosecond);
  for (double load : {0.5, 0.9, 0.99})
    for (bool hits : {true, false}) {
      const std::string label = name + "/load" +
                                std::to_string(static_cast<int>(load * 100 + 0.5)) +
                                (hits ? "/hit" : "/miss");
      benchmark::RegisterBenchmark(label.c_str(), BM_load<M>, load, hits)
          ->Unit(benchmark::kNanosecond)
          ->Iterations(2)
          ->Repetitions(1);  // each pass is 2^20 lookups; the fill dominates the run
    }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  register_table<Funnel>();
  register_table<Elastic>();
  register_table<Absl>();
  register_table<Std>();
#ifdef QUENLOR_BENCH_BOOST
  register_table<Boost>();
#else
  std::fprintf(stderr,
               "note: boost::unordered_flat_map needs Boost 1.81 or newer; the installed Boost has "
               "none, so it is not measured\n");
#endif
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
