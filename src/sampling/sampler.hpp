// The sampler: what sampling keeps between samples (the census cadence, the
// clients held open between censuses, the CPU readings of the last census
// period), and the one call that takes a sample.
#pragma once

#include <array>
#include <ctime>

#include "sampling/client_table.hpp"
#include "sampling/gpu_conditions.hpp"
#include "sampling/held_clients.hpp"

// Seconds on `clock` (CLOCK_MONOTONIC or CLOCK_REALTIME).
double clock_seconds(clockid_t clock);

// CLOCK_MONOTONIC in nanoseconds.
std::int64_t monotonic_nanoseconds();

// A sample is three readings, always taken in this order, and its times.
struct sample {
    gpu_counters counters{};
    client_table table{};
    // Read at a census; a sample between censuses carries the census's.
    gpu_conditions conditions{};
    double time = 0.0;      // CLOCK_MONOTONIC seconds
    double wall_time = 0.0; // Unix seconds
};

// One process's CPU time at a census.
struct process_reading {
    std::int32_t pid = 0;
    double cpu_seconds = 0.0;
};

// CPU time comes from the census, in clock ticks too coarse for a short
// interval, so between censuses a row's CPU is measured over the last census
// period: from the census before the last (these readings) to the last.
struct census_period {
    std::array<process_reading, MAX_CLIENTS> before{};
    int count = 0;
    double seconds = 0.0;
    // The GPU's conditions at the census before the last, for the powered share.
    gpu_conditions conditions{};
    // The GPU's time base (gpu_stats) at the census before the last: a client
    // the last census met for the first time opened its file since then.
    std::int64_t reference = 0;
};

// The process's CPU time at the census before the last; unknown when it was not there.
double cpu_at_census_before(const census_period &period, std::int32_t pid);

struct sampler {
    const char *proc_path = DEFAULT_PROC_PATH;
    const char *stats_file = nullptr;
    client_listing listing = client_listing::default_queues;
    process_tree *tree = nullptr; // the followed tree, changed only at a census
    // 1 when every sample is a census; then nothing is held.
    int samples_per_census = 1;
    int samples_since_census = 0;
    held_clients held{};
    double census_time = 0.0;
    double before_time = 0.0;
    census_period period{};
    condition_files conditions{};
    gpu_conditions census_conditions{}; // the last census's
    int census_unreadable_processes = 0;
    std::int64_t census_reference = 0;
};

// Readies `into` to sample: the files, the clients to list, the tree, and how
// many samples make a census period.
void start_sampler(sampler &into, const char *proc_path, const char *stats_file, client_listing listing,
                   process_tree *tree, int samples_per_census, const condition_paths &conditions = {});

// A census, or between censuses one read of each held file.
void take_sample(sampler &from, sample &into);

// The last census period, for a row's CPU; null when every sample is a census.
const census_period *cpu_period(const sampler &from);

// Closes what the sampler holds.
void stop_sampler(sampler &from);
