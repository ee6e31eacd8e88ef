// What the tables tell the operating system about their pages (Linux only;
// elsewhere nothing): large blocks ask for huge pages, and freed blocks give
// their pages back.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace quenlor {

// Large tables are probed at random, so nearly every lookup in one touches a
// different 4 KiB page and misses the TLB. Asking the kernel to back such a
// block with 2 MiB pages (where it offers transparent huge pages on request)
// makes those misses rare. Only the 2 MiB-aligned interior of the block is
// advised, so the block needs no extra room.

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

// Called just before a table block goes back to the C heap: lets the system
// reclaim the block's pages at once. glibc raises its mmap threshold as large
// blocks are freed, so later tables come from the heap, and the pages of the
// tables a growth frees would otherwise stay resident until reused. Only whole
// pages inside the block are released, never the allocator's bookkeeping
// around it, and it costs one system call, whatever the state of the heap.
inline constexpr std::size_t kReleasePagesFromBytes = std::size_t{256} << 10;

inline void release_pages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
  if (bytes < kReleasePagesFromBytes) return;
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1);
  const std::uintptr_t last = (begin + bytes) & ~(page - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace quenlor
