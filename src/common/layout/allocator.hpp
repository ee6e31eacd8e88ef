// The default allocator of the tables: zero-filled blocks aligned to 64 bytes.
// calloc keeps large blocks lazily zeroed by the kernel, so a new table costs
// no initialisation pass; the block is over-allocated by one alignment unit and
// the original pointer is kept just below the aligned address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace quenlor {

// One cache line: a group's 16 control bytes never straddle two lines, and
// the entry array starts on a line boundary.
inline constexpr std::size_t kTableAlign = 64;

struct ZeroedAllocator {
  void* allocate_zeroed(std::size_t bytes) const {
    if (bytes > SIZE_MAX - kTableAlign) throw std::bad_alloc();
    void* raw = std::calloc(1, bytes + kTableAlign);
    if (raw == nullptr) throw std::bad_alloc();
    auto addr = (reinterpret_cast<std::uintptr_t>(raw) + kTableAlign) & ~(kTableAlign - 1);
    reinterpret_cast<void**>(addr)[-1] = raw;
    return reinterpret_cast<void*>(addr);
  }
  void deallocate(void* block, std::size_t /*bytes*/) const noexcept {
    std::free(static_cast<void**>(block)[-1]);
  }
};

}  // namespace quenlor
