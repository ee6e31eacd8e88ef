// Large tables are probed at random, so nearly every lookup in one touches a
// different 4 KiB page and misses the TLB. Asking the kernel to back such a
// block with 2 MiB pages (where it offers transparent huge pages on request)
// makes those misses rare. Only the 2 MiB-aligned interior of the block is
// advised, so the block needs no extra room; elsewhere this does nothing.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace quenlor {

// Below this a table fits a few huge pages at most and the TLB copes anyway.
inline constexpr std::size_t kHugePagesFromBytes = std::size_t{8} << 20;

inline void advise_huge_pages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = std::uintptr_t{2} << 20;
  if (bytes < kHugePagesFromBytes) return;
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + kHuge - 1) & ~(kHuge - 1);
  const std::uintptr_t last = (begin + bytes) & ~(kHuge - 1);
  // A refusal (no THP support, a sealed range) leaves ordinary pages: harmless.
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

// Gives the free memory of the C heap back to the system. glibc's allocator
// raises its mmap threshold as large blocks are freed, so the tables of a
// growing map soon come from the heap, and the old tables a growth frees
// would otherwise stay resident in the process. Only glibc has malloc_trim;
// elsewhere this does nothing.
inline void trim_c_heap() noexcept {
#if defined(__GLIBC__)
  (void)malloc_trim(0);
#endif
}

}  // namespace quenlor
