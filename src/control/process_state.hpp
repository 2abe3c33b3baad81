// The process-wide state: fixed at start-up (the stop at a signal), read
// by the samplers, the outputs and the loop.
#pragma once

#include <csignal>
#include <cstdint>

inline constexpr int STATS_PATH_SIZE = 512;

// The chosen gpu_stats file, NUL-terminated.
extern char stats_path[STATS_PATH_SIZE];

// Clock ticks per second, the unit of utime and stime in /proc/<pid>/stat.
extern std::int64_t clock_ticks;

// Set by the stop signals and by the terminal's quit key; never reset.
extern volatile std::sig_atomic_t stop_requested;

