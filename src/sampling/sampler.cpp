#include "sampling/sampler.hpp"

double clock_seconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

std::int64_t monotonic_nanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

namespace {

// Keeps the new census's clients held, and the last one's CPU readings,
// conditions and time base as the base of the next census period.
void keep_census(sampler &from, const sample &census)
{
    const double time = census.time;
    census_period &period = from.period;
    period.count = 0;
    for (int index = 0; index < from.held.count; ++index) {
        const held_client &client = from.held.clients[static_cast<std::size_t>(index)];
        period.before[static_cast<std::size_t>(period.count++)] = {client.pid, client.cpu_seconds};
    }
    period.conditions = from.census_conditions;
    period.reference = from.census_reference;
    from.census_conditions = census.conditions;
    from.census_reference = census.counters.reference;
    from.census_unreadable_processes = census.table.unreadable_processes;
    from.before_time = from.census_time;
    from.census_time = time;
    period.seconds = from.census_time - from.before_time;
    hold_clients(from.held, census.table, from.proc_path, from.stats_file);
}

} // namespace

double cpu_at_census_before(const census_period &period, std::int32_t pid)
{
    for (int index = 0; index < period.count; ++index) {
        if (period.before[static_cast<std::size_t>(index)].pid == pid) {
            return period.before[static_cast<std::size_t>(index)].cpu_seconds;
        }
    }
    return CPU_SECONDS_UNKNOWN;
}

void start_sampler(sampler &into, const char *proc_path, const char *stats_file, client_listing listing,
                   process_tree *tree, int samples_per_census, const condition_paths &conditions)
{
    into.proc_path = proc_path;
    into.stats_file = stats_file;
    into.listing = listing;
    into.tree = tree;
    into.samples_per_census = samples_per_census;
    into.samples_since_census = 0;
    into.census_time = 0.0;
    into.before_time = 0.0;
    into.period.count = 0;
    into.period.seconds = 0.0;
    release_clients(into.held);
    open_condition_files(into.conditions, conditions, stats_file);
}

void take_sample(sampler &from, sample &into)
{
    const bool holds = from.samples_per_census > 1;
    if (holds && from.samples_since_census > 0) {
        sample_held_clients(from.held, into.table, into.counters);
        into.conditions = from.census_conditions;
        into.table.unreadable_processes = from.census_unreadable_processes;
        into.time = clock_seconds(CLOCK_MONOTONIC);
    } else {
        read_gpu_counters(into.counters, from.stats_file);
        scan_clients(into.table, from.proc_path, from.listing, from.tree);
        into.time = clock_seconds(CLOCK_MONOTONIC);
        // After the sample's time: the clock's rate is a firmware call that
        // may block, and must not stretch the interval the CPU time is over.
        read_conditions(from.conditions, into.conditions);
        if (holds) {
            keep_census(from, into);
        }
    }
    into.wall_time = clock_seconds(CLOCK_REALTIME);
    if (holds) {
        from.samples_since_census = (from.samples_since_census + 1) % from.samples_per_census;
    }
}

const census_period *cpu_period(const sampler &from)
{
    return from.samples_per_census > 1 ? &from.period : nullptr;
}

void stop_sampler(sampler &from)
{
    release_clients(from.held);
    close_condition_files(from.conditions);
}
