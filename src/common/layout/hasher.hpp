// The key hash shared by both schemes. A key contributes one 64-bit word (for
// Python keys, the cached Python hash); the map mixes it with its own seed:
//
//   h = fold_mul(word ^ per_map_seed, fold_seed)
//
// where fold_mul folds the 128-bit product into 64 bits. The fold seed is fixed
// per process; each map draws a fresh per-map seed from a counter-driven
// generator. Neither needs an operating-system random source.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <type_traits>

namespace quenlor {

constexpr uint64_t fold_mul(uint64_t a, uint64_t b) noexcept {
  unsigned __int128 p = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(p) ^ static_cast<uint64_t>(p >> 64);
}

// 2^64 / φ, odd: successive multiples spread evenly over 64 bits. It steps the
// seed generator and salts each table of a map differently.
inline constexpr uint64_t kGoldenRatio64 = 0x9E3779B97F4A7C15ull;

// Salt of a map's table `index`, so that tables sharing a hash start their
// probes at unrelated places.
constexpr uint64_t table_salt(uint64_t index) noexcept { return (index + 1) * kGoldenRatio64; }

namespace detail {

constexpr uint64_t splitmix64(uint64_t x) noexcept {
  x += kGoldenRatio64;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

inline uint64_t process_entropy() noexcept {
  static int anchor;
  auto t = static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  return splitmix64(t ^ reinterpret_cast<uintptr_t>(&anchor));
}

}  // namespace detail

// Fixed for the life of the process; thread-safe one-time initialisation.
inline uint64_t fold_seed() noexcept {
  // Odd and well spread, so the multiplication keeps every input bit.
  static const uint64_t seed = detail::splitmix64(detail::process_entropy()) | 1;
  return seed;
}

// A fresh, well-spread value on every call.
inline uint64_t next_per_map_seed() noexcept {
  static std::atomic<uint64_t> counter{detail::process_entropy()};
  return detail::splitmix64(counter.fetch_add(kGoldenRatio64, std::memory_order_relaxed));
}

// The 64-bit word a key feeds to the hasher. Key types provide an overload of
// `hash_word` found by argument-dependent lookup; integers hash as themselves.
template <class K>
requires std::is_integral_v<K>
constexpr uint64_t hash_word(K k) noexcept { return static_cast<uint64_t>(k); }

struct SeededHasher {
  uint64_t per_map_seed = 0;
  // A copy of the process seed, so hashing never checks a one-time guard.
  uint64_t fold = 0;

  static SeededHasher make() noexcept { return SeededHasher{next_per_map_seed(), fold_seed()}; }
  uint64_t hash(uint64_t word) const noexcept { return fold_mul(word ^ per_map_seed, fold); }
};

}  // namespace quenlor
