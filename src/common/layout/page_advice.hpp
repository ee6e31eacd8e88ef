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

#if defined(__linux__)
// Gives `advice` for the whole `unit`-aligned stretches inside the block, so
// that nothing outside it (the allocator's bookkeeping) is touched. A refusal
// (no such support, a sealed range) changes nothing: harmless.
inline void advise_interior(void* block, std::size_t bytes, std::uintptr_t unit,
                            int advice) noexcept {
  const auto begin = reinterpret_cast<std::uintptr_t>(block);
  const std::uintptr_t first = (begin + unit - 1) & ~(unit - 1);
  const std::uintptr_t last = (begin + bytes) & ~(unit - 1);
  if (last > first) (void)madvise(reinterpret_cast<void*>(first), last - first, advice);
}
#endif

// Large tables are probed at random, so nearly every lookup in one touches a
// different 4 KiB page and misses the TLB. Asking the kernel to back such a
// block with 2 MiB pages (where it offers transparent huge pages on request)
// makes those misses rare. Only the 2 MiB-aligned interior of the block is
// advised, so the block needs no extra room. Below 8 MiB a table fits a few
// huge pages at most and the TLB copes anyway.
inline constexpr std::size_t kHugePagesFromBytes = std::size_t{8} << 20;

inline void advise_huge_pages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= kHugePagesFromBytes)
    advise_interior(block, bytes, std::uintptr_t{2} << 20, MADV_HUGEPAGE);
#else
  (void)block;
  (void)bytes;
#endif
}

// Called just before a table block goes back to the C heap: lets the system
// reclaim the block's pages at once. glibc raises its mmap threshold as large
// blocks are freed, so later tables come from the heap, and the pages of the
// tables a growth frees would otherwise stay resident until reused. It costs
// one system call, whatever the state of the heap.
inline constexpr std::size_t kReleasePagesFromBytes = std::size_t{256} << 10;

inline void release_pages(void* block, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_DONTNEED)
  static const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  if (bytes >= kReleasePagesFromBytes) advise_interior(block, bytes, page, MADV_DONTNEED);
#else
  (void)block;
  (void)bytes;
#endif
}

}  // namespace quenlor
