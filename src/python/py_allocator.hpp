// The table allocator of the Python maps: blocks come from the interpreter's
// allocator, so tracemalloc and the memory statistics of the interpreter see
// a map's tables like any other memory its objects hold. PyMem_* promise only
// the platform's malloc alignment, so a large block is over-allocated by one
// alignment unit and the original pointer is kept just below the aligned
// address; small blocks are taken as they come (see table_padding_for).
// Tables are built and dropped only inside an operation on a map object or in
// its deallocation, so the interpreter lock that PyMem_* needs is always held.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <new>

#include "common/layout/allocator.hpp"
#include "common/layout/page_advice.hpp"

namespace quenlor::py {

struct PyMemAllocator {
  void* allocate_zeroed(std::size_t bytes) const {
    const std::size_t padding = table_padding_for(bytes);
    if (bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) - padding) throw std::bad_alloc();
    // The interpreter's blocks are at least pointer-aligned, so the aligned
    // address leaves room for the pointer below it.
    void* block = align_table_block(PyMem_Calloc(1, bytes + padding), padding);
    advise_huge_pages(block, bytes);
    return block;
  }
  // Uninitialised contents.
  void* allocate(std::size_t bytes) const {
    const std::size_t padding = table_padding_for(bytes);
    if (bytes > static_cast<std::size_t>(PY_SSIZE_T_MAX) - padding) throw std::bad_alloc();
    void* block = align_table_block(PyMem_Malloc(bytes + padding), padding);
    advise_huge_pages(block, bytes);
    return block;
  }
  // Records need only the interpreter's own alignment.
  void* allocate_record(std::size_t bytes) const {
    void* p = PyMem_Malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  void deallocate_record(void* p, std::size_t /*bytes*/) const noexcept { PyMem_Free(p); }
  void deallocate(void* block, std::size_t bytes) const noexcept {
    release_pages(block, bytes);
    PyMem_Free(raw_table_block(block, bytes));
  }
};

}  // namespace quenlor::py
