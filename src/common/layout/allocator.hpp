// The default allocator of the tables: blocks aligned to 64 bytes, zero-filled
// or not. calloc keeps large blocks lazily zeroed by the kernel; tables take
// uninitialised blocks and clear only their control bytes, since an entry slot
// is never read before an entry is written to it, which spares the zeroing of
// reused heap memory. The block is over-allocated by one alignment unit and
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

// Aligns a block of bytes + kTableAlign from an allocator that promises at
// least pointer alignment, keeping `raw` just below the aligned address.
inline void* align_table_block(void* raw) {
  if (raw == nullptr) throw std::bad_alloc();
  auto addr = (reinterpret_cast<std::uintptr_t>(raw) + kTableAlign) & ~(kTableAlign - 1);
  reinterpret_cast<void**>(addr)[-1] = raw;
  return reinterpret_cast<void*>(addr);
}

struct ZeroedAllocator {
  void* allocate_zeroed(std::size_t bytes) const {
    if (bytes > SIZE_MAX - kTableAlign) throw std::bad_alloc();
    return align_table_block(std::calloc(1, bytes + kTableAlign));
  }
  // Uninitialised contents.
  void* allocate(std::size_t bytes) const {
    if (bytes > SIZE_MAX - kTableAlign) throw std::bad_alloc();
    return align_table_block(std::malloc(bytes + kTableAlign));
  }
  void deallocate(void* block, std::size_t /*bytes*/) const noexcept {
    std::free(static_cast<void**>(block)[-1]);
  }
};

}  // namespace quenlor
