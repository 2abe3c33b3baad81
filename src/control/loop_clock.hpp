// The loop's clock: samples are due on a fixed grid, the baseline's time plus
// a whole number of intervals, so that the time a pass takes does not add up
// into drift.
#pragma once

#include <csignal>
#include <cstdint>

struct sample_grid {
    std::int64_t interval_ns = 1'000'000'000;
    // The due time of the last sample, on CLOCK_MONOTONIC.
    std::int64_t last_due_ns = 0;
};

// Starts the grid now: the sample about to be taken is due now.
void start_sample_grid(sample_grid &grid, std::int64_t interval_ns);

// The first due time after now, for an absolute sleep; it becomes the last
// due time. A pass that ran past due times skips them rather than sampling
// back to back.
std::int64_t next_sample_due(sample_grid &grid);

// Sleeps until `due` on CLOCK_MONOTONIC, or until a stop, or until run_events
// is no longer `events_seen`.
void sleep_until_due(std::int64_t due, std::sig_atomic_t events_seen);
