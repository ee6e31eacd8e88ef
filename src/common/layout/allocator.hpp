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
#include <memory>
#include <new>
#include <type_traits>
#include <vector>

namespace quenlor {

// One cache line: a large table's entry array starts on a line boundary.
inline constexpr std::size_t kTableAlign = 64;
// A small table (a few groups) needs only what the 16-byte group loads need:
// a 16-aligned control array never straddles a cache line either, and the
// smaller padding keeps a small map's block in a smaller size class.
inline constexpr std::size_t kSmallTableAlign = 16;
inline constexpr std::size_t kSmallTableBytes = 2048;

// The alignment of a table block of `bytes`, and the padding it is
// over-allocated by.
constexpr std::size_t table_align_for(std::size_t bytes) noexcept {
  return bytes <= kSmallTableBytes ? kSmallTableAlign : kTableAlign;
}

// Aligns a block of bytes + align from an allocator that promises at least
// pointer alignment, keeping `raw` just below the aligned address.
inline void* align_table_block(void* raw, std::size_t align) {
  if (raw == nullptr) throw std::bad_alloc();
  auto addr = (reinterpret_cast<std::uintptr_t>(raw) + align) & ~(align - 1);
  reinterpret_cast<void**>(addr)[-1] = raw;
  return reinterpret_cast<void*>(addr);
}

struct ZeroedAllocator {
  // Blocks for records (level arrays and the like) need only the platform's
  // alignment, so they are taken as they come.
  void* allocate_record(std::size_t bytes) const {
    void* p = std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void deallocate_record(void* p, std::size_t /*bytes*/) const noexcept { std::free(p); }

  void* allocate_zeroed(std::size_t bytes) const {
    const std::size_t align = table_align_for(bytes);
    if (bytes > SIZE_MAX - align) throw std::bad_alloc();
    return align_table_block(std::calloc(1, bytes + align), align);
  }
  // Uninitialised contents.
  void* allocate(std::size_t bytes) const {
    const std::size_t align = table_align_for(bytes);
    if (bytes > SIZE_MAX - align) throw std::bad_alloc();
    return align_table_block(std::malloc(bytes + align), align);
  }
  void deallocate(void* block, std::size_t /*bytes*/) const noexcept {
    std::free(static_cast<void**>(block)[-1]);
  }
};

// A standard allocator over a table allocator's record blocks, so that the
// records a map keeps outside its object (its level arrays) come from the
// same place as its tables. Table allocators without record blocks (test
// allocators) leave records to operator new.
template <class T, class A>
struct RecordAllocator {
  using value_type = T;
  using is_always_equal = std::true_type;

  RecordAllocator() noexcept = default;
  template <class U>
  RecordAllocator(const RecordAllocator<U, A>&) noexcept {}

  T* allocate(std::size_t n) {
    if (n > SIZE_MAX / sizeof(T)) throw std::bad_alloc();
    if constexpr (requires(const A& a) { a.allocate_record(n); })
      return static_cast<T*>(A{}.allocate_record(n * sizeof(T)));
    else
      return std::allocator<T>{}.allocate(n);
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if constexpr (requires(const A& a) { a.allocate_record(n); })
      A{}.deallocate_record(p, n * sizeof(T));
    else
      std::allocator<T>{}.deallocate(p, n);
  }

  template <class U>
  friend bool operator==(const RecordAllocator&, const RecordAllocator<U, A>&) noexcept {
    return true;
  }
};

// A vector of records of a map whose tables come from A.
template <class T, class A>
using RecordVector = std::vector<T, RecordAllocator<T, A>>;

}  // namespace quenlor
