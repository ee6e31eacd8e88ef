// The key type and hash every benchmark table shares: 64-bit integer keys,
// one fixed fold-multiply hash, so that tables differ only in how they probe.
#pragma once

#include <cstdint>

#include "common/layout/hasher.hpp"

namespace quenlor_bench {

constexpr uint64_t kSeed = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kFold = 0xD6E8FEB86659FD93ull;

inline uint64_t mix(uint64_t w) noexcept { return quenlor::fold_mul(w ^ kSeed, kFold); }

struct Key {
  uint64_t v;
  bool operator==(const Key& o) const noexcept { return v == o.v; }
};
inline uint64_t hash_word(const Key& k) noexcept { return k.v; }

// The generic maps' hasher, fixed so that every table sees the same hash.
struct FixedHasher {
  static FixedHasher make() noexcept { return {}; }
  uint64_t hash(uint64_t w) const noexcept { return mix(w); }
};

}  // namespace quenlor_bench
