// The figures of a run, added up pass by pass.
#include "report/run_summary.hpp"
#include "report/frame.hpp"

#include <algorithm>

namespace {

void keep_pass(run_summary &summary, const std::array<double, ENGINE_COUNT> &busy)
{
    for (std::size_t engine = 0; engine < busy.size(); ++engine) {
        summary.kept[engine][static_cast<std::size_t>(summary.kept_count)] = static_cast<float>(busy[engine]);
    }
    ++summary.kept_count;
}

// Halves the kept values: each neighbouring pair becomes its mean.
void fold_kept(run_summary &summary)
{
    for (auto &values : summary.kept) {
        for (int index = 0; index < summary.kept_count / 2; ++index) {
            const auto position = static_cast<std::size_t>(index);
            values[position] = (values[2 * position] + values[2 * position + 1]) / 2.0F;
        }
    }
    summary.kept_count /= 2;
    ++summary.fold_level;
}

void keep_pending(run_summary &summary)
{
    std::array<double, ENGINE_COUNT> mean{};
    for (std::size_t engine = 0; engine < mean.size(); ++engine) {
        mean[engine] = summary.pending_busy[engine] / summary.pending;
    }
    keep_pass(summary, mean);
    summary.pending = 0;
    summary.pending_busy = {};
}

// Whole-run busy per cent of the queue `engine`: Δruntime / Δtimestamp.
double gpu_mean_busy(const gpu_counters &first, const gpu_counters &last, std::size_t engine)
{
    if (!first.queue_listed[engine] || !last.queue_listed[engine]) {
        return 0.0;
    }
    const queue_counters &before = first.queues[static_cast<std::size_t>(first.queue_rows[engine])];
    const queue_counters &after = last.queues[static_cast<std::size_t>(last.queue_rows[engine])];
    std::int64_t elapsed = 0;
    std::int64_t busy = 0;
    if (__builtin_sub_overflow(after.timestamp, before.timestamp, &elapsed) || elapsed <= 0 ||
        __builtin_sub_overflow(after.runtime, before.runtime, &busy) || busy <= 0) {
        return 0.0;
    }
    return static_cast<double>(busy) / static_cast<double>(elapsed) * 100.0;
}

void raise_peak(std::int64_t &peak, std::int64_t value)
{
    if (value != MEMORY_UNKNOWN && (peak == MEMORY_UNKNOWN || value > peak)) {
        peak = value;
    }
}

double cpu_seconds(std::int64_t start_ticks, std::int64_t end_ticks, double reaped_seconds)
{
    const std::int64_t ticks = end_ticks > start_ticks ? end_ticks - start_ticks : 0;
    return static_cast<double>(ticks) / static_cast<double>(clock_ticks > 0 ? clock_ticks : 100) + reaped_seconds;
}

double user_seconds(const run_summary &summary)
{
    return cpu_seconds(summary.start_user_ticks, summary.end_user_ticks, summary.reaped_user_seconds);
}

double system_seconds(const run_summary &summary)
{
    return cpu_seconds(summary.start_system_ticks, summary.end_system_ticks, summary.reaped_system_seconds);
}

} // namespace

void begin_summary(run_summary &summary, const gpu_counters &counters, double time, double wall_time,
                   std::int64_t user_ticks, std::int64_t system_ticks)
{
    summary.start_time = time;
    summary.end_time = time;
    summary.start_wall_time = wall_time;
    summary.end_wall_time = wall_time;
    summary.first_counters = counters;
    summary.last_counters = counters;
    summary.start_user_ticks = user_ticks;
    summary.start_system_ticks = system_ticks;
    summary.end_user_ticks = user_ticks;
    summary.end_system_ticks = system_ticks;
}

void add_summary_row(run_summary &summary, const utilisation_row &row)
{
    for (std::size_t engine = 0; engine < row.engine.size(); ++engine) {
        summary.pass_busy[engine] += row.engine[engine];
        summary.busy_nanoseconds[engine] += row.engine_gained_nanoseconds[engine];
        summary.jobs[engine] += row.jobs_gained[engine];
        summary.listed[engine] = summary.listed[engine] || row.engine_listed[engine];
    }
    client_peak *peak = nullptr;
    for (int index = 0; index < summary.client_count && peak == nullptr; ++index) {
        if (summary.clients[static_cast<std::size_t>(index)].client_id == row.client_id) {
            peak = &summary.clients[static_cast<std::size_t>(index)];
        }
    }
    if (peak == nullptr) {
        if (summary.client_count == MAX_CLIENTS) {
            return; // the first clients of the run are listed
        }
        peak = &summary.clients[static_cast<std::size_t>(summary.client_count++)];
        peak->client_id = row.client_id;
        peak->total = MEMORY_UNKNOWN;
        peak->resident = MEMORY_UNKNOWN;
    }
    peak->pid = row.pid;
    peak->name = row.name;
    raise_peak(peak->total, row.memory[MEMORY_TOTAL]);
    raise_peak(peak->resident, row.memory[MEMORY_RESIDENT]);
}

void end_summary_pass(run_summary &summary, const gpu_counters &counters)
{
    ++summary.passes;
    std::int64_t length = 0;
    if (__builtin_sub_overflow(counters.reference, summary.last_counters.reference, &length) || length < 0) {
        length = 0;
    }
    summary.weighted_nanoseconds += static_cast<double>(length);
    summary.last_counters = counters;
    for (std::size_t engine = 0; engine < summary.pass_busy.size(); ++engine) {
        summary.busy_total[engine] += summary.pass_busy[engine];
        summary.weighted_busy_total[engine] += summary.pass_busy[engine] * static_cast<double>(length);
        summary.busy_max[engine] = std::max(summary.busy_max[engine], summary.pass_busy[engine]);
        summary.pending_busy[engine] += summary.pass_busy[engine];
    }
    summary.pass_busy = {};
    if (++summary.pending < (1 << summary.fold_level)) {
        return;
    }
    if (summary.kept_count == SUMMARY_SAMPLE_CAPACITY) {
        fold_kept(summary); // the pending passes now make half of a kept value
        return;
    }
    keep_pending(summary);
}

void add_summary_frame(run_summary &summary, const frame &whole)
{
    for (int index = 0; index < whole.row_count; ++index) {
        add_summary_row(summary, whole.rows[static_cast<std::size_t>(index)]);
    }
    end_summary_pass(summary, *whole.header.counters);
    add_summary_conditions(summary.conditions, whole.header);
    summary.unreadable_processes = std::max(summary.unreadable_processes, whole.header.unreadable_processes);
}

void finish_summary(run_summary &summary, double time, double wall_time, std::int64_t user_ticks,
                    std::int64_t system_ticks)
{
    summary.end_time = time;
    summary.end_wall_time = wall_time;
    summary.end_user_ticks = user_ticks;
    summary.end_system_ticks = system_ticks;
    summary.wall_seconds = summary.end_time - summary.start_time;
    summary.user_seconds = user_seconds(summary);
    summary.system_seconds = system_seconds(summary);
    summary.cpu_mean_percent = summary.wall_seconds > 0.0
                                   ? (summary.user_seconds + summary.system_seconds) / summary.wall_seconds * 100.0
                                   : 0.0;
    if (summary.pending > 0) {
        if (summary.kept_count == SUMMARY_SAMPLE_CAPACITY) {
            fold_kept(summary);
        }
        keep_pending(summary);
    }
    for (std::size_t engine = 0; engine < summary.figures.size(); ++engine) {
        queue_figures &figures = summary.figures[engine];
        figures.reported = summary.listed[engine] || summary.last_counters.queue_listed[engine];
        figures.busy_seconds = static_cast<double>(summary.busy_nanoseconds[engine]) / 1e9;
        figures.jobs = summary.jobs[engine];
        figures.job_milliseconds =
            figures.jobs > 0 ? figures.busy_seconds * 1000.0 / static_cast<double>(figures.jobs) : NO_JOB_LENGTH;
        figures.gpu_mean = gpu_mean_busy(summary.first_counters, summary.last_counters, engine);
        if (summary.passes == 0) {
            continue;
        }
        figures.mean = summary.weighted_nanoseconds > 0.0
                           ? summary.weighted_busy_total[engine] / summary.weighted_nanoseconds
                           : summary.busy_total[engine] / summary.passes;
        figures.max = summary.busy_max[engine];
        // The nearest rank: the smallest value that at least 95 % of the kept values do not exceed.
        const int rank = (95 * summary.kept_count + 99) / 100;
        auto &values = summary.kept[engine];
        const auto chosen = values.begin() + (rank - 1);
        std::nth_element(values.begin(), chosen, values.begin() + summary.kept_count);
        figures.p95 = *chosen;
    }
}
