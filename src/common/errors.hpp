// Errors raised inside the generic maps. They never reach the interpreter as
// C++ exceptions: the Python boundary translates them (see src/python/boundary.hpp).
#pragma once

#include <new>
#include <stdexcept>
#include <string>

namespace quenlor {

// A state that correct operation never reaches. Surfaces in Python as the
// panic exception, which derives from BaseException.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] inline void fatal(const char* message) { throw InternalError(message); }

// A size that cannot be represented in memory at all. It is an allocation
// failure from the caller's point of view (a huge requested capacity), so it
// derives from std::bad_alloc and becomes MemoryError with the map unchanged.
class LayoutOverflow : public std::bad_alloc {
 public:
  const char* what() const noexcept override { return "layout overflow"; }
};

}  // namespace quenlor
