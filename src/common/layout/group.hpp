// Group: the 16 control bytes of 16 consecutive slots, queried at once. The
// SSE2 version where the target has it, the portable byte loop otherwise;
// both give the same lane sets.
#pragma once

#include <cstdint>

#include "common/layout/group_portable.hpp"
#include "common/layout/group_sse2.hpp"

namespace quenlor {

#ifdef QUENLOR_SSE2
using Group = Sse2Group;
#else
using Group = PortableGroup;
#endif

// Asks for the cache line holding p. An asm statement, not __builtin_prefetch:
// GCC counts the builtin as without effect and deletes loops that do nothing
// else, which silently dropped the prefetch rings of lookups, copies and
// equality.
inline void prefetch_read(const void* p) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetcht0 %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 0, 3);
  asm volatile("" : : "r"(p));
#endif
}

// Asks for the cache line holding p, to be written.
inline void prefetch_write(const void* p) noexcept {
#if defined(__x86_64__) || defined(__i386__)
  asm volatile("prefetchw %0" : : "m"(*static_cast<const char*>(p)));
#else
  __builtin_prefetch(p, 1, 3);
  asm volatile("" : : "r"(p));
#endif
}

// A map with fewer slots than this stays in the first two cache levels between
// operations, where prefetching only adds instructions (15-30 per lookup).
inline constexpr uint64_t kPrefetchFromSlots = uint64_t{1} << 14;
constexpr bool worth_prefetching(uint64_t slots) noexcept { return slots >= kPrefetchFromSlots; }

// A table with at least this many slots (12 MiB of entries for the Python
// maps) outgrows the share of the last-level cache a process can count on:
// most of its lines come from memory, and how many of them are in flight at
// once, not how early each was asked for, sets the pace of a bulk walk.
inline constexpr uint64_t kBeyondCacheFromSlots = uint64_t{1} << 19;
constexpr bool beyond_cache(uint64_t slots) noexcept { return slots >= kBeyondCacheFromSlots; }

}  // namespace quenlor
