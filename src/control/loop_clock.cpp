#include "control/loop_clock.hpp"

#include <cerrno>
#include <ctime>

#include "control/process_state.hpp"
#include "sampling/sampler.hpp"

void start_sample_grid(sample_grid &grid, std::int64_t interval_ns)
{
    grid.interval_ns = interval_ns;
    grid.last_due_ns = monotonic_nanoseconds();
}

std::int64_t next_sample_due(sample_grid &grid)
{
    const std::int64_t now = monotonic_nanoseconds();
    std::int64_t due = grid.last_due_ns + grid.interval_ns;
    if (due <= now && grid.interval_ns > 0) {
        due += ((now - due) / grid.interval_ns + 1) * grid.interval_ns;
    }
    grid.last_due_ns = due;
    return due;
}

void sleep_until_due(std::int64_t due, std::sig_atomic_t events_seen)
{
    const timespec until{static_cast<time_t>(due / 1'000'000'000), static_cast<long>(due % 1'000'000'000)};
    // Without SA_RESTART a signal ends the sleep with EINTR; one that is
    // neither a stop nor a run event sleeps on to the same time.
    while (stop_requested == 0 && run_signals.events == events_seen &&
           ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}
