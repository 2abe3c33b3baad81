#include "control/process_state.hpp"

#include <cerrno>
#include <ctime>

char stats_path[STATS_PATH_SIZE] = {};
std::int64_t clock_ticks = 100;
std::int64_t sample_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
std::int64_t census_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
volatile std::sig_atomic_t stop_requested = 0;
volatile std::sig_atomic_t run_events = 0;
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

void sleep_until_due(std::int64_t due, std::sig_atomic_t events_seen)
{
    const timespec until{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
    // Without SA_RESTART a signal ends the sleep with EINTR; one that is
    // neither a stop nor a run event sleeps on to the same time.
    while (stop_requested == 0 && run_events == events_seen &&
           ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
