// Probe counting for the probe report (bench/probes). Only builds that define
// QUENLOR_PROBE_STATS count; everywhere else the hook is an empty inline
// function and the tables compile exactly as without it.
#pragma once

#include <cstdint>

namespace quenlor::probe_stats {

#ifdef QUENLOR_PROBE_STATS
// Control-group loads since the last reset. A plain global: the report is
// single-threaded and the counter must cost one increment, nothing more.
inline uint64_t group_loads = 0;
inline void count_group_load() noexcept { ++group_loads; }
#else
inline void count_group_load() noexcept {}
#endif

}  // namespace quenlor::probe_stats
