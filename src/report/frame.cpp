#include "report/frame.hpp"

namespace {

// The time base of the clients' engine time; 0 when there is none.
std::int64_t reference_delta(const sample &previous, const sample &current)
{
    std::int64_t delta = 0;
    if (__builtin_sub_overflow(current.counters.reference, previous.counters.reference, &delta)) {
        return 0; // no measurable time base
    }
    return delta;
}

} // namespace

void compute_frame(frame &into, const sample &previous, const sample &current, const frame_rules &rules)
{
    frame_header &header = into.header;
    header.sample_time = rules.wall_clock ? current.wall_time : current.time;
    header.wall_time = current.wall_time;
    header.followed_ended = rules.followed_ended;
    header.counters = &current.counters;
    into.previous = {rules.wall_clock ? previous.wall_time : previous.time, previous.wall_time, &previous.counters,
                     previous.conditions, rules.previous_cpu};
    into.cpu = rules.current_cpu;
    compute_queue_loads(current.counters, previous.counters, header.queues);
    header.conditions = current.conditions;
    header.unreadable_processes = current.table.unreadable_processes;
    // Between censuses the conditions are the census's: measured over its period.
    const gpu_conditions &before = rules.cpu_period != nullptr ? rules.cpu_period->conditions : previous.conditions;
    header.powered_known = powered_share(before, current.conditions, header.powered_percent);

    const std::int64_t reference = reference_delta(previous, current);
    // Between censuses a client the last census met first may have opened its
    // file at any time since the census before: its busy time is spread over
    // that, not piled into the last sample's interval.
    std::int64_t new_client_reference = -1;
    if (rules.cpu_period != nullptr && rules.cpu_period->reference > 0 &&
        __builtin_sub_overflow(current.counters.reference, rules.cpu_period->reference, &new_client_reference)) {
        new_client_reference = 0;
    }
    const double elapsed = current.time - previous.time;
    client_busy_sum listed_busy{};
    header.client_count = 0;
    into.row_count = current.table.count;
    for (int index = 0; index < current.table.count; ++index) {
        const auto position = static_cast<std::size_t>(index);
        const client_sample &client = current.table.records[position];
        utilisation_row &row = into.rows[position];
        row = compute_utilisation(client, previous.table, reference, elapsed, rules.cpu_period, new_client_reference);
        into.listed[position] = rules.lists_all || busy_on_default_queues(client.engine);
        if (into.listed[position]) {
            ++header.client_count;
            add_client_busy(listed_busy, row);
        }
    }
    into.others = compute_others(header, listed_busy);
}
