// Groups probed per operation, for both maps and a plain uniform-probing table,
// as the load approaches the growth limit 1 - delta.
//
// Built with QUENLOR_PROBE_STATS, so every control-group load of the maps
// (RawTable::group, which every search goes through) bumps
// quenlor::probe_stats::group_loads; each operation is measured by resetting
// the counter before it and reading it after. The uniform tables count their
// own probes into the same counter.
//
// For each delta a map built with that reserve fraction is filled with random
// keys up to its growth limit (never past it: growth would count a rebuild).
// Recorded: every insertion's groups (and, just before it, the groups of a
// lookup of the same absent key, so placement = insertion - lookup), hit and
// miss lookups over samples at load checkpoints, and over every present key at
// the end. Output: one JSON document on stdout (bench/probes/plot.py draws it).
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "common/layout/hasher.hpp"
#include "common/probe_stats.hpp"
#include "elastic/elastic_hash_map.hpp"
#include "fixed_key.hpp"
#include "funnel/funnel_hash_map.hpp"

#ifndef QUENLOR_PROBE_STATS
#error "the probe report needs -DQUENLOR_PROBE_STATS"
#endif

namespace {

using quenlor::probe_stats::group_loads;

using quenlor_bench::FixedHasher;
using quenlor_bench::Key;
using quenlor_bench::mix;

using Funnel = quenlor::FunnelHashMap<Key, uint64_t, FixedHasher>;
using Elastic = quenlor::ElasticHashMap<Key, uint64_t, FixedHasher>;

// Open addressing over groups of W slots with double hashing on the group
// index: the start and the odd step come from independent bits of the hash,
// and the group count is a power of two, so a sequence visits every group once
// before repeating: the textbook stand-in for uniform probing. Without
// removals a group with a free slot ends a miss. W = 1 is classic slot-level
// probing; W = 16 matches the maps' groups.
template <unsigned W>
class UniformTable {
 public:
  explicit UniformTable(uint64_t slots)
      : groups_(std::max<uint64_t>(1, slots / W)), keys_(groups_ * W, 0), used_(groups_, 0) {}

  uint64_t slots() const { return keys_.size(); }
  uint64_t len() const { return len_; }

  void insert(uint64_t k) {
    Seq s(mix(k), groups_ - 1);
    for (;; s.next()) {
      quenlor::probe_stats::count_group_load();
      if (used_[s.g] < W) {
        keys_[s.g * W + used_[s.g]++] = k;
        ++len_;
        return;
      }
    }
  }
  bool contains(uint64_t k) const {
    Seq s(mix(k), groups_ - 1);
    for (uint64_t visited = 0; visited < groups_; ++visited, s.next()) {
      quenlor::probe_stats::count_group_load();
      for (unsigned i = 0; i < used_[s.g]; ++i)
        if (keys_[s.g * W + i] == k) return true;
      if (used_[s.g] < W) return false;
    }
    return false;
  }

 private:
  struct Seq {
    uint64_t g, step, mask;
    Seq(uint64_t h, uint64_t m) : g(h & m), step(((h >> 32) | 1) & m), mask(m) {
      if (step == 0) step = 1;
    }
    void next() { g = (g + step) & mask; }
  };
  uint64_t groups_;
  std::vector<uint64_t> keys_;  // 0 = empty; the report's keys are never 0
  std::vector<uint32_t> used_;
  uint64_t len_ = 0;
};

// One interface: insert, find, len, capacity, allocated slots, and whether the
// next new key would grow the table (the fill stops there).
template <class M>
struct MapAdapter {
  M m;
  MapAdapter(uint64_t capacity, double delta) : m(make(capacity, delta)) {}
  static M make(uint64_t capacity, double delta) {
    typename M::Options o{};
    o.capacity = capacity;
    o.reserve_fraction = delta;
    return M::with_options(o);
  }
  void insert(uint64_t k) { m.insert(Key{k}, k); }
  bool find(uint64_t k) const { return m.get(Key{k}) != nullptr; }
  uint64_t len() const { return m.len(); }
  uint64_t capacity() const { return m.capacity(); }
  uint64_t slots() const;
  bool next_would_grow(uint64_t k) const;
};

template <>
uint64_t MapAdapter<Elastic>::slots() const {
  uint64_t s = 0;
  for (uint64_t i = 0; i < m.level_count(); ++i) s += m.level(i).slots();
  return s;
}
template <>
bool MapAdapter<Elastic>::next_would_grow(uint64_t) const {
  return m.len() >= m.max_insertions();
}
template <>
uint64_t MapAdapter<Funnel>::slots() const {
  uint64_t s = m.special().primary.slots() + m.special().fallback.slots();
  for (const auto& lv : m.levels()) s += lv.slots();
  return s;
}
template <>
bool MapAdapter<Funnel>::next_would_grow(uint64_t k) const {
  // Besides the load limit, a key with no free place in any of its areas
  // makes the map grow (or go to the overflow area) before the limit.
  return m.len() >= m.max_insertions() ||
         !m.choose_slot_for_new_key(m.hasher().hash(k)).has_value();
}

template <unsigned W>
struct UniformAdapter {
  UniformTable<W> t;
  uint64_t limit;
  UniformAdapter(uint64_t capacity, double delta)
      : t(capacity),
        limit(t.slots() - static_cast<uint64_t>(delta * static_cast<double>(t.slots()))) {}
  void insert(uint64_t k) { t.insert(k); }
  bool find(uint64_t k) const { return t.contains(k); }
  uint64_t len() const { return t.len(); }
  uint64_t capacity() const { return t.slots(); }
  uint64_t slots() const { return t.slots(); }
  bool next_would_grow(uint64_t) const { return t.len() >= limit; }
};

struct Stat {
  uint64_t n = 0, sum = 0, max = 0;
  void add(uint64_t v) {
    ++n;
    sum += v;
    max = std::max(max, v);
  }
  double mean() const { return n ? static_cast<double>(sum) / static_cast<double>(n) : 0.0; }
};

template <class F>
uint64_t probes_of(F&& op) {
  group_loads = 0;
  op();
  return group_loads;
}

std::string stat_json(const Stat& s) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "{\"n\": %llu, \"mean\": %.4f, \"max\": %llu}",
                static_cast<unsigned long long>(s.n), s.mean(),
                static_cast<unsigned long long>(s.max));
  return buf;
}

std::vector<uint64_t> random_keys(uint64_t n, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::vector<uint64_t> v;
  v.reserve(n);
  while (v.size() < n) {
    const uint64_t k = rng() >> 2;  // bit 63 marks absent keys; 0 is never a key
    if (k != 0) v.push_back(k);
  }
  return v;
}

struct Config {
  uint64_t capacity = uint64_t{1} << 20;
  uint64_t sample = 20000;  // hits and misses per checkpoint
  uint64_t final_misses = 100000;
};

// Fills `t` to its growth limit and returns the JSON object of the run.
template <class T>
std::string run(const char* scheme, double delta, const Config& cfg) {
  T t(cfg.capacity, delta);
  const uint64_t cap = t.capacity();
  const auto keys = random_keys(cap + cap / 2 + 16, 7);
  const auto absent_of = [](uint64_t k) { return k | (uint64_t{1} << 63); };

  // Insertion statistics per band of log2(1 / free fraction), quarter steps.
  constexpr int kBandsPerBit = 4;
  std::vector<Stat> ins_band, place_band, look_band;
  Stat ins_all, place_all;
  // The last insertions before the limit (free fraction below 2 delta): the
  // worst-case expected cost of the theory.
  Stat ins_tail, place_tail, look_tail;
  const std::vector<double> marks = {0.5, 0.75, 0.9, 0.95, 0.99, 0.995, 0.999};
  size_t next_mark = 0;
  std::string checkpoints;

  const auto checkpoint = [&](uint64_t n, uint64_t hits, uint64_t misses) {
    Stat hit, miss;
    const uint64_t hstride = std::max<uint64_t>(1, n / std::max<uint64_t>(hits, 1));
    for (uint64_t i = 0; i < n; i += hstride)
      hit.add(probes_of([&] {
        if (!t.find(keys[i])) std::abort();
      }));
    const uint64_t mstride = std::max<uint64_t>(1, n / std::max<uint64_t>(misses, 1));
    for (uint64_t i = 0, c = 0; c < misses; i = (i + mstride) % keys.size(), ++c)
      miss.add(probes_of([&] {
        if (t.find(absent_of(keys[i]))) std::abort();
      }));
    char head[160];
    std::snprintf(head, sizeof head, "{\"len\": %llu, \"load\": %.6f, \"slot_load\": %.6f, ",
                  static_cast<unsigned long long>(n),
                  static_cast<double>(n) / static_cast<double>(cap),
                  static_cast<double>(n) / static_cast<double>(t.slots()));
    if (!checkpoints.empty()) checkpoints += ", ";
    checkpoints +=
        std::string(head) + "\"hit\": " + stat_json(hit) + ", \"miss\": " + stat_json(miss) + "}";
  };

  uint64_t n = 0;
  for (; n < keys.size(); ++n) {
    const uint64_t k = keys[n];
    if (t.next_would_grow(k)) break;
    while (next_mark < marks.size() &&
           static_cast<double>(n) >= marks[next_mark] * static_cast<double>(cap)) {
      checkpoint(n, cfg.sample, cfg.sample);
      ++next_mark;
    }
    const uint64_t look = probes_of([&] { (void)t.find(k); });
    const uint64_t ins = probes_of([&] { t.insert(k); });
    const double free_frac = 1.0 - static_cast<double>(n) / static_cast<double>(cap);
    const size_t band =
        free_frac <= 0 ? 0 : static_cast<size_t>(std::floor(-std::log2(free_frac) * kBandsPerBit));
    if (ins_band.size() <= band) {
      ins_band.resize(band + 1);
      place_band.resize(band + 1);
      look_band.resize(band + 1);
    }
    const uint64_t place = ins > look ? ins - look : 0;
    ins_band[band].add(ins);
    place_band[band].add(place);
    look_band[band].add(look);
    ins_all.add(ins);
    place_all.add(place);
    if (free_frac < 2 * delta) {
      ins_tail.add(ins);
      place_tail.add(place);
      look_tail.add(look);
    }
  }
  const double final_load = static_cast<double>(n) / static_cast<double>(cap);
  const bool stopped_early = final_load < 1.0 - delta - 1e-3;
  if (t.len() != n) std::abort();  // a hidden growth would have changed len
  if (t.capacity() != cap) std::abort();
  checkpoint(n, n, cfg.final_misses);

  std::string bands;
  for (size_t b = 0; b < ins_band.size(); ++b) {
    if (ins_band[b].n == 0) continue;
    char head[96];
    std::snprintf(head, sizeof head, "{\"inv_free_log2\": %.2f, ",
                  static_cast<double>(b) / kBandsPerBit);
    if (!bands.empty()) bands += ", ";
    bands += std::string(head) + "\"insert\": " + stat_json(ins_band[b]) +
             ", \"place\": " + stat_json(place_band[b]) +
             ", \"lookup_before\": " + stat_json(look_band[b]) + "}";
  }
  char head[400];
  std::snprintf(head, sizeof head,
                "{\"scheme\": \"%s\", \"delta\": %g, \"capacity\": %llu, \"slots\": %llu, "
                "\"len\": %llu, \"load\": %.6f, \"slot_load\": %.6f, \"stopped_early\": %s, ",
                scheme, delta, static_cast<unsigned long long>(cap),
                static_cast<unsigned long long>(t.slots()), static_cast<unsigned long long>(n),
                final_load, static_cast<double>(n) / static_cast<double>(t.slots()),
                stopped_early ? "true" : "false");
  std::fprintf(stderr, "  %-16s delta %-6g load %.4f (slots %.4f): insert mean %.2f max %llu\n",
               scheme, delta, final_load, static_cast<double>(n) / static_cast<double>(t.slots()),
               ins_all.mean(), static_cast<unsigned long long>(ins_all.max));
  return std::string(head) + "\"insert\": " + stat_json(ins_all) +
         ", \"place\": " + stat_json(place_all) + ", \"insert_tail\": " + stat_json(ins_tail) +
         ", \"place_tail\": " + stat_json(place_tail) +
         ", \"lookup_before_tail\": " + stat_json(look_tail) + ", \"bands\": [" + bands +
         "], \"checkpoints\": [" + checkpoints + "]}";
}

}  // namespace

int main(int argc, char** argv) {
  Config cfg;
  std::vector<double> deltas = {0.1, 0.01, 0.001};
  std::string only;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--capacity-log2" && i + 1 < argc) {
      cfg.capacity = uint64_t{1} << std::strtoul(argv[++i], nullptr, 10);
    } else if (a == "--sample" && i + 1 < argc) {
      cfg.sample = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--final-misses" && i + 1 < argc) {
      cfg.final_misses = std::strtoull(argv[++i], nullptr, 10);
    } else if (a == "--only" && i + 1 < argc) {
      only = argv[++i];
    } else {
      std::fprintf(stderr,
                   "usage: %s [--capacity-log2 K] [--sample N] [--final-misses N] "
                   "[--only funnel|elastic|uniform16|uniform1]\n",
                   argv[0]);
      return 2;
    }
  }
  std::vector<std::string> runs;
  for (double d : deltas) {
    std::fprintf(stderr, "delta %g, capacity %llu\n", d,
                 static_cast<unsigned long long>(cfg.capacity));
    if (only.empty() || only == "funnel") runs.push_back(run<MapAdapter<Funnel>>("funnel", d, cfg));
    if (only.empty() || only == "elastic")
      runs.push_back(run<MapAdapter<Elastic>>("elastic", d, cfg));
    if (only.empty() || only == "uniform16")
      runs.push_back(run<UniformAdapter<16>>("uniform16", d, cfg));
    if (only.empty() || only == "uniform1")
      runs.push_back(run<UniformAdapter<1>>("uniform1", d, cfg));
  }
  std::printf("{\"capacity\": %llu, \"runs\": [\n", static_cast<unsigned long long>(cfg.capacity));
  for (size_t i = 0; i < runs.size(); ++i)
    std::printf("%s%s\n", runs[i].c_str(), i + 1 < runs.size() ? "," : "");
  std::printf("]}\n");
  return 0;
}
