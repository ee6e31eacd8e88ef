// PortableGroup: the group queries as a byte loop, for targets without SSE2.
// Compiled everywhere, so tests can hold it against the vector version.
#pragma once

#include <cstdint>
#include <cstring>

#include "common/layout/control.hpp"
#include "common/layout/lane_mask.hpp"

namespace quenlor {

inline constexpr unsigned kGroupWidth = 16;

class PortableGroup {
 public:
  static PortableGroup load(const uint8_t* ctrl) noexcept {
    PortableGroup g;
    std::memcpy(g.b_, ctrl, kGroupWidth);
    return g;
  }
  LaneMask match_tag(uint8_t tag) const noexcept {
    return where([tag](uint8_t c) { return c == tag; });
  }
  struct SpreadTag {
    uint8_t tag;
  };
  static SpreadTag spread(uint8_t tag) noexcept { return {tag}; }
  LaneMask match_tag(SpreadTag t) const noexcept { return match_tag(t.tag); }
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

}  // namespace quenlor
