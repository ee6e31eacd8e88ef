// Control bytes: one per slot. EMPTY (0x00) was never used since the table was
// created or reset and stops lookups; DELETED (0x80) held a removed entry; a
// full slot holds its entry's 7-bit tag (1..127), so "free" is (c & 0x7F) == 0.
#pragma once

#include <cstdint>

namespace quenlor {

inline constexpr uint8_t EMPTY = 0x00;
inline constexpr uint8_t DELETED = 0x80;

constexpr bool is_full(uint8_t c) noexcept { return (c & 0x7F) != 0; }
constexpr bool is_free(uint8_t c) noexcept { return (c & 0x7F) == 0; }

// Top 7 bits of the hash; 0 becomes 1 so a tag never looks EMPTY or DELETED.
constexpr uint8_t tag_of(uint64_t h) noexcept {
  auto t = static_cast<uint8_t>(h >> 57);
  return t == 0 ? uint8_t{1} : t;
}

}  // namespace quenlor
