#include "control/process_state.hpp"

char stats_path[STATS_PATH_SIZE] = {};
std::int64_t clock_ticks = 100;
volatile std::sig_atomic_t stop_requested = 0;
