// Process-wide state: fixed at start-up, read by the samplers and the loop.
#pragma once

#include <csignal>
#include <cstdint>

inline constexpr int STATS_PATH_SIZE = 512;

// The chosen gpu_stats file, NUL-terminated.
extern char stats_path[STATS_PATH_SIZE];

// Clock ticks per second, the unit of utime and stime in /proc/<pid>/stat.
extern std::int64_t clock_ticks;

// The wait between samples, in nanoseconds (-d); a second by default.
inline constexpr std::int64_t DEFAULT_SAMPLE_INTERVAL_NS = 1'000'000'000;
extern std::int64_t sample_interval_ns;

// The wait between censuses, the searches of /proc for clients, in
// nanoseconds (--census); never shorter than the sample interval. Between
// censuses a sample reads only the clients found.
extern std::int64_t census_interval_ns;

// Set by the stop signals and by the terminal's quit key; never reset.
extern volatile std::sig_atomic_t stop_requested;

// Counted by the signals of a followed command's run (a child's end, a stop
// passed on), so that they end the wait between samples early.
extern volatile std::sig_atomic_t run_events;

// Where the CSV and JSON streams go: standard output, or the file of -o.
extern int stream_fd;
