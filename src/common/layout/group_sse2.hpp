// Sse2Group: the group queries on one 16-byte vector, one compare and one
// movemask each. Only where SSE2 is available (QUENLOR_SSE2).
#pragma once

#include <cstdint>

#include "common/layout/control.hpp"
#include "common/layout/group_portable.hpp"
#include "common/layout/lane_mask.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUENLOR_SSE2 1

namespace quenlor {

class Sse2Group {
 public:
  // Any address: small tables take their blocks as the allocator gives them
  // (16-aligned in practice, where this load costs what an aligned one does).
  static Sse2Group load(const uint8_t* ctrl) noexcept {
    return Sse2Group(_mm_loadu_si128(reinterpret_cast<const __m128i*>(ctrl)));
  }
  // The tag spread by one multiplication: a lane shuffle fewer than SSE2's
  // byte broadcast, on every lookup.
  LaneMask match_tag(uint8_t tag) const noexcept {
    const uint64_t lanes = uint64_t{tag} * 0x0101010101010101u;
    return mask(_mm_cmpeq_epi8(v_, _mm_set1_epi64x(static_cast<long long>(lanes))));
  }
  // A tag spread once for a search that matches it in several tables: the
  // compiler does not always lift the spread out of such a loop itself.
  struct SpreadTag {
    __m128i lanes;
  };
  static SpreadTag spread(uint8_t tag) noexcept {
    return {_mm_set1_epi64x(static_cast<long long>(uint64_t{tag} * 0x0101010101010101u))};
  }
  LaneMask match_tag(SpreadTag t) const noexcept { return mask(_mm_cmpeq_epi8(v_, t.lanes)); }
  LaneMask match_empty() const noexcept { return mask(_mm_cmpeq_epi8(v_, _mm_setzero_si128())); }
  LaneMask match_free() const noexcept {
    __m128i low7 = _mm_and_si128(v_, _mm_set1_epi8(0x7F));
    return mask(_mm_cmpeq_epi8(low7, _mm_setzero_si128()));
  }
  LaneMask match_full() const noexcept { return LaneMask(match_free().bits() ^ 0xFFFFu); }
  LaneMask match_deleted() const noexcept {
    return mask(_mm_cmpeq_epi8(v_, _mm_set1_epi8(static_cast<char>(DELETED))));
  }

 private:
  explicit Sse2Group(__m128i v) noexcept : v_(v) {}
  static LaneMask mask(__m128i m) noexcept {
    return LaneMask(static_cast<uint32_t>(_mm_movemask_epi8(m)));
  }
  __m128i v_;
};

}  // namespace quenlor

#endif
