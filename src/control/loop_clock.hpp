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

// What the signal handlers of a followed command's run share with the loop.
struct run_signal_state {
    // Counted by the signals of the run (a child's end, a stop passed on),
    // so that they end the wait between samples early.
    volatile std::sig_atomic_t events;
    // The stop passed on to the tree (SIGTERM, SIGHUP, or SIGINT once the
    // command has ended); 0 for none yet.
    volatile std::sig_atomic_t passed_stop;
    // The command while it may take a signal; 0 once it has been reaped, so
    // that no signal goes to a pid that another process may have taken.
    volatile std::sig_atomic_t command;
};
extern run_signal_state run_signals;

// Sleeps until `due` on CLOCK_MONOTONIC, or until a stop, or until run_signals.events
// is no longer `events_seen`.
void sleep_until_due(std::int64_t due, std::sig_atomic_t events_seen);
