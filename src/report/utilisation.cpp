#include <algorithm>
#include <string_view>

#include "report/report.hpp"
#include "sampling/sampler.hpp"

namespace {

// The first valid record of `table` that `wanted` accepts, or none.
template <typename record_test>
const client_sample *find_first(const client_table &table, record_test wanted)
{
    for (int index = 0; index < table.count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        if (wanted(record)) {
            return &record;
        }
    }
    return nullptr;
}

// What a cumulative counter gained since `before`; 0 for a fall or an overflow.
std::int64_t gain(std::int64_t now, std::int64_t before)
{
    std::int64_t delta = 0;
    return !__builtin_sub_overflow(now, before, &delta) && delta > 0 ? delta : 0;
}

} // namespace

utilisation_row compute_utilisation(const client_sample &current, const client_table &previous,
                                    std::int64_t reference_delta, double elapsed, const census_period *period,
                                    std::int64_t new_client_reference_delta)
{
    utilisation_row row;
    row.client_id = current.client_id;
    row.pid = current.pid;
    row.name = current.name;
    row.client_name = current.client_name;
    row.memory = current.memory;
    row.engine_nanoseconds = current.engine;
    row.jobs = current.jobs;
    row.engine_listed = current.engine_listed;
    row.cpu_seconds = current.cpu_seconds;
    row.elapsed = elapsed;

    // A new client is measured from zero: all its busy time and jobs are new.
    const client_sample *match =
        find_first(previous, [&current](const client_sample &record) { return record.client_id == current.client_id; });
    if (match == nullptr && new_client_reference_delta >= 0) {
        reference_delta = new_client_reference_delta;
    }
    row.reference_nanoseconds = reference_delta;
    for (std::size_t engine = 0; engine < row.engine.size(); ++engine) {
        const std::int64_t delta = gain(current.engine[engine], match != nullptr ? match->engine[engine] : 0);
        row.engine_gained_nanoseconds[engine] = delta;
        row.jobs_gained[engine] = gain(current.jobs[engine], match != nullptr ? match->jobs[engine] : 0);
        row.job_milliseconds[engine] = average_job_milliseconds(delta, row.jobs_gained[engine]);
        if (delta > 0 && reference_delta > 0) {
            row.engine[engine] = static_cast<double>(delta) / static_cast<double>(reference_delta) * 100.0;
        }
        if (reference_delta > 0) {
            row.jobs_per_second[engine] =
                static_cast<double>(row.jobs_gained[engine]) / (static_cast<double>(reference_delta) / 1e9);
        }
    }

    if (period != nullptr) {
        set_process_cpu(row, cpu_at_census_before(*period, current.pid), period->seconds);
        return row;
    }
    // CPU time is only comparable with the same process's earlier reading; a
    // process seen for the first time is measured from the next pass on, and
    // an unknown reading on either side gives no percentage at all.
    const client_sample *base =
        match != nullptr && match->pid == current.pid
            ? match
            : find_first(previous, [&current](const client_sample &record) { return record.pid == current.pid; });
    set_process_cpu(row, base != nullptr ? base->cpu_seconds : CPU_SECONDS_UNKNOWN, elapsed);
    return row;
}

void set_process_cpu(utilisation_row &row, double base_cpu_seconds, double elapsed)
{
    row.cpu = 0.0;
    row.cpu_known = elapsed > 0.0 && row.cpu_seconds >= 0.0 && base_cpu_seconds >= 0.0;
    if (row.cpu_known) {
        const double gained = row.cpu_seconds - base_cpu_seconds;
        if (gained > 0.0) {
            row.cpu = gained / elapsed * 100.0;
        }
    }
}

void compute_queue_loads(const gpu_counters &current, const gpu_counters &previous,
                         std::array<queue_load, MAX_QUEUE_ROWS> &loads)
{
    loads.fill(UNMEASURED_QUEUE);
    for (int index = 0; index < current.queue_count; ++index) {
        const queue_counters &now = current.queues[static_cast<std::size_t>(index)];
        const queue_counters *before = nullptr;
        for (int earlier = 0; earlier < previous.queue_count && before == nullptr; ++earlier) {
            const queue_counters &candidate = previous.queues[static_cast<std::size_t>(earlier)];
            if (candidate.name == now.name) {
                before = &candidate;
            }
        }
        std::int64_t elapsed = 0;
        if (before == nullptr || __builtin_sub_overflow(now.timestamp, before->timestamp, &elapsed) || elapsed <= 0) {
            continue; // no time base for this queue yet
        }
        queue_load &load = loads[static_cast<std::size_t>(index)];
        load.measured = true;
        const std::int64_t runtime = gain(now.runtime, before->runtime);
        load.busy = static_cast<double>(runtime) / static_cast<double>(elapsed) * 100.0;
        const std::int64_t jobs = gain(now.jobs, before->jobs);
        load.jobs_per_second = static_cast<double>(jobs) / (static_cast<double>(elapsed) / 1e9);
        load.job_milliseconds = average_job_milliseconds(runtime, jobs);
    }
}

double average_job_milliseconds(std::int64_t busy_nanoseconds, std::int64_t jobs)
{
    return jobs > 0 ? static_cast<double>(busy_nanoseconds) / static_cast<double>(jobs) / 1e6 : NO_JOB_LENGTH;
}

bool powered_share(const gpu_conditions &before, const gpu_conditions &now, double &percent)
{
    percent = 0.0;
    if (!before.power_times_known || !now.power_times_known) {
        return false;
    }
    const std::int64_t active = now.active_ms - before.active_ms;
    const std::int64_t suspended = now.suspended_ms - before.suspended_ms;
    if (active < 0 || suspended < 0 || active + suspended <= 0) {
        return false;
    }
    percent = 100.0 * static_cast<double>(active) / static_cast<double>(active + suspended);
    return true;
}

void add_client_busy(client_busy_sum &sum, const utilisation_row &row)
{
    for (std::size_t engine = 0; engine < sum.size(); ++engine) {
        sum[engine] += row.engine[engine];
    }
}

others_load compute_others(const frame_header &frame, const client_busy_sum &clients)
{
    others_load others;
    for (std::size_t engine = 0; frame.counters != nullptr && engine < others.busy.size(); ++engine) {
        others.listed[engine] = frame.counters->queue_listed[engine];
        const auto row = static_cast<std::size_t>(frame.counters->queue_rows[engine]);
        if (!others.listed[engine] || !frame.queues[row].measured) {
            continue;
        }
        const double difference = frame.queues[row].busy - clients[engine];
        others.busy[engine] = std::max(difference, 0.0);
        others.overcount[engine] = -difference > OVERCOUNT_POINTS;
        others.shown = others.shown || others.overcount[engine] || difference >= OTHERS_SHOWN_POINTS;
    }
    return others;
}
