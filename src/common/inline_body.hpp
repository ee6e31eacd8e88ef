// QUENLOR_INLINE_BODY: a lambda inlined into its caller whatever the
// compiler's budget says. For the bodies an entry point runs through `enter`
// and `guarded`, and for the visitors of bulk walks: the maps' lookup and
// placement loops are forced into them, and a body left out of line would pay
// a call per operation or per entry and keep its state in memory.
#pragma once

#define QUENLOR_INLINE_BODY __attribute__((always_inline))
