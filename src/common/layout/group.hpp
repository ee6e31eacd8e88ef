// One group: the 16 control bytes of 16 consecutive slots, queried at once.
// SSE2 where available, a portable byte loop otherwise; both give the same
// lane sets.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/layout/control.hpp"
#include "common/layout/lane_mask.hpp"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define QUENLOR_SSE2 1
#endif

namespace quenlor {

inline constexpr unsigned kGroupWidth = 16;

#ifdef QUENLOR_SSE2

class Group {
 public:
  // `ctrl` must be 16-byte aligned (tables align their control array to 64).
  static Group load(const uint8_t* ctrl) noexcept {
    return Group(_mm_load_si128(reinterpret_cast<const __m128i*>(ctrl)));
  }
  LaneMask match_tag(uint8_t tag) const noexcept {
    return mask(_mm_cmpeq_epi8(v_, _mm_set1_epi8(static_cast<char>(tag))));
  }
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
  explicit Group(__m128i v) noexcept : v_(v) {}
  static LaneMask mask(__m128i m) noexcept {
    return LaneMask(static_cast<uint32_t>(_mm_movemask_epi8(m)));
  }
  __m128i v_;
};

#else

class Group {
 public:
  static Group load(const uint8_t* ctrl) noexcept {
    Group g;
    std::memcpy(g.b_, ctrl, kGroupWidth);
    return g;
  }
  LaneMask match_tag(uint8_t tag) const noexcept {
    return where([tag](uint8_t c) { return c == tag; });
  }
  LaneMask match_empty() const noexcept {
    return where([](uint8_t c) { return c == EMPTY; });
  }
  LaneMask match_free() const noexcept { return where(is_free); }
  LaneMask match_full() const noexcept { return where(is_full); }
  LaneMask match_deleted() const noexcept {
    return where([](uint8_t c) { return c == DELETED; });
  }

 private:
  template <class P>
  LaneMask where(P pred) const noexcept {
    uint32_t bits = 0;
    for (unsigned i = 0; i < kGroupWidth; ++i)
      if (pred(b_[i])) bits |= 1u << i;
    return LaneMask(bits);
  }
  uint8_t b_[kGroupWidth];
};

#endif

inline void prefetch_read(const void* p) noexcept { __builtin_prefetch(p, 0, 3); }

}  // namespace quenlor
