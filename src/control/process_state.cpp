#include "control/process_state.hpp"

#include <ctime>

char stats_path[STATS_PATH_SIZE] = {};
std::int64_t clock_ticks = 100;
std::int64_t sample_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
std::int64_t census_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
volatile std::sig_atomic_t stop_requested = 0;
int stream_fd = 1;
std::int64_t last_sample_due_ns = 0;

std::int64_t monotonic_nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

void start_sample_grid()
{
    last_sample_due_ns = monotonic_nanoseconds();
}

std::int64_t next_sample_due()
{
    const std::int64_t now = monotonic_nanoseconds();
    std::int64_t due = last_sample_due_ns + sample_interval_ns;
    if (due <= now && sample_interval_ns > 0) {
        due += ((now - due) / sample_interval_ns + 1) * sample_interval_ns;
    }
    last_sample_due_ns = due;
    return due;
}
