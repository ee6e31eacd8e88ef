// QUENLOR_DCHECK(cond): an invariant the code relies on. Debug builds
// (QUENLOR_DEBUG_CHECKS) print the failed condition with its location and
// abort, so a sanitizer or test run stops at the first broken invariant;
// other builds compile the check away without evaluating it.
#pragma once

#ifdef QUENLOR_DEBUG_CHECKS

#include <cstdio>
#include <cstdlib>

namespace quenlor::detail {

[[noreturn, gnu::cold]] inline void dcheck_failed(const char* cond, const char* file,
                                                  int line) noexcept {
  std::fprintf(stderr, "%s:%d: quenlor invariant violated: %s\n", file, line, cond);
  std::fflush(stderr);
  std::abort();
}

}  // namespace quenlor::detail

#define QUENLOR_DCHECK(cond) \
  ((cond) ? static_cast<void>(0) : ::quenlor::detail::dcheck_failed(#cond, __FILE__, __LINE__))

#else

// Unevaluated operand: names stay used, nothing runs.
#define QUENLOR_DCHECK(cond) static_cast<void>(sizeof(!(cond)))

#endif
