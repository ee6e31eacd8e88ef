// The default allocator of the tables: large blocks aligned to 64 bytes,
// small ones as malloc gives them, zero-filled or not. calloc keeps large
// blocks lazily zeroed by the kernel; tables take uninitialised blocks and
// clear only their control bytes, since an entry slot is never read before
// an entry is written to it, which spares the zeroing of reused heap memory.
// A large block is over-allocated by one alignment unit and the original
// pointer is kept just below the aligned address.
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
// A small table (a few groups) is taken exactly as allocated: group loads do
// not need an aligned control array, and every allocator the tables use
// hands out 16-aligned blocks in practice, where a 16-byte group never
// straddles a cache line either. Without padding a 16-slot table is a
// 400-byte block, not 416.
inline constexpr std::size_t kSmallTableBytes = 2048;

// The padding a table block of `bytes` is over-allocated by: its alignment,
// or none for a small block, which is taken as it comes.
constexpr std::size_t table_padding_for(std::size_t bytes) noexcept {
  return bytes <= kSmallTableBytes ? 0 : kTableAlign;
}

// The usable block of `raw`, from an allocator that promises at least
// pointer alignment: `raw` itself when the block needs no padding, else
// aligned to `padding` with `raw` kept just below the aligned address.
inline void* align_table_block(void* raw, std::size_t padding) {
  if (raw == nullptr) throw std::bad_alloc();
  if (padding == 0) return raw;
  auto addr = (reinterpret_cast<std::uintptr_t>(raw) + padding) & ~(padding - 1);
  reinterpret_cast<void**>(addr)[-1] = raw;
  return reinterpret_cast<void*>(addr);
}

// What align_table_block was given for a block of `bytes`.
inline void* raw_table_block(void* block, std::size_t bytes) noexcept {
  return table_padding_for(bytes) == 0 ? block : static_cast<void**>(block)[-1];
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
    const std::size_t padding = table_padding_for(bytes);
    if (bytes > SIZE_MAX - padding) throw std::bad_alloc();
    return align_table_block(std::calloc(1, bytes + padding), padding);
  }
  // Uninitialised contents.
  void* allocate(std::size_t bytes) const {
    const std::size_t padding = table_padding_for(bytes);
    if (bytes > SIZE_MAX - padding) throw std::bad_alloc();
    return align_table_block(std::malloc(bytes + padding), padding);
  }
  void deallocate(void* block, std::size_t bytes) const noexcept {
    std::free(raw_table_block(block, bytes));
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
