#include "control/process_state.hpp"


char stats_path[STATS_PATH_SIZE] = {};
std::int64_t clock_ticks = 100;
std::int64_t sample_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
std::int64_t census_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t run_events = 0;
int stream_fd = 1;

