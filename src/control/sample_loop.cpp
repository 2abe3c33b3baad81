#include <cstring>
#include <ctime>

#include <unistd.h>

#include "control/control.hpp"

namespace {

// A sample is three readings, always taken in this order.
struct sample {
    gpu_counters *counters = nullptr;
    client_table *table = nullptr;
    double time = 0.0;
};

double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void take_sample(sample &into, const char *proc_path, const char *stats_file, client_listing listing)
{
    read_gpu_counters(*into.counters, stats_file);
    scan_clients(*into.table, proc_path, listing);
    into.time = monotonic_seconds();
}

// Hands one pass to the report; returns 0, OUTPUT_STOPPED or the errno of a failed write.
int report_pass(const report_operations &report, const sample &previous, const sample &current)
{
    std::int64_t reference_delta = 0;
    if (__builtin_sub_overflow(current.counters->reference, previous.counters->reference, &reference_delta)) {
        reference_delta = 0; // no measurable time base
    }
    const double elapsed = current.time - previous.time;
    frame_summary frame;
    frame.sample_time = current.time;
    frame.client_count = current.table->count;
    frame.counters = current.counters;
    compute_queue_loads(*current.counters, *previous.counters, frame.queues);
    if (const int failure = report.begin_frame(frame); failure != 0) {
        return failure;
    }
    for (int index = 0; index < current.table->count; ++index) {
        const utilisation_row row = compute_utilisation(current.table->records[static_cast<std::size_t>(index)],
                                                        *previous.table, reference_delta, elapsed);
        if (const int failure = report.row(row, current.time); failure != 0) {
            return failure;
        }
    }
    return report.end_frame();
}

} // namespace

int run_sample_loop(const report_operations &report, const char *proc_path, const char *stats_file,
                    const run_settings &settings)
{
    // Both samples live as long as the loop; the pass swaps their roles
    // instead of copying the current one over the previous one.
    client_table first;
    client_table second;
    gpu_counters first_counters;
    gpu_counters second_counters;
    sample previous{&first_counters, &first, 0.0};
    sample current{&second_counters, &second, 0.0};
    const client_listing listing = settings.all_queues || settings.mode == output_mode::json ||
                                           settings.mode == output_mode::prometheus
                                       ? client_listing::all_queues
                                       : client_listing::default_queues;

    int failure = report.open();
    start_sample_grid();
    take_sample(previous, proc_path, stats_file, listing);
    // Frames left before -n stops the run; counted only when there is a limit.
    int frames_left = settings.frame_limit;
    const auto finished = [&failure, &frames_left, &settings] {
        return failure != 0 || stop_requested != 0 || (settings.frame_limit > 0 && frames_left <= 0);
    };
    const auto count_frame = [&frames_left, &settings] {
        if (settings.frame_limit > 0) {
            --frames_left;
        }
    };
    if (report.reports_baseline && !finished()) {
        failure = report_pass(report, previous, previous);
        count_frame();
    }
    while (!finished()) {
        report.wait();
        if (stop_requested != 0) {
            break;
        }
        take_sample(current, proc_path, stats_file, listing);
        failure = report_pass(report, previous, current);
        count_frame();
        std::swap(previous, current);
    }
    const int close_failure = report.close();
    if (failure == 0) {
        failure = close_failure;
    }
    // A stop signal that ended the output is an orderly stop.
    if (failure == OUTPUT_STOPPED) {
        return 0;
    }
    if (failure != 0) {
        // Standard error may be gone too; the exit status tells either way.
        (void)std::fprintf(stderr, "%s%s\n", report.write_failure_text, std::strerror(failure));
        return 1;
    }
    return 0;
}

const report_operations &select_report(const run_settings &settings)
{
    switch (settings.mode) {
    case output_mode::csv:
        return settings.all_queues ? CSV_ALL_REPORT : CSV_REPORT;
    case output_mode::json:
        return JSON_REPORT;
    case output_mode::prometheus:
        return PROMETHEUS_REPORT;
    case output_mode::terminal:
        break;
    }
    return settings.all_queues ? TERMINAL_ALL_REPORT : TERMINAL_REPORT;
}

int sample_loop(const run_settings &settings)
{
    return run_sample_loop(select_report(settings), DEFAULT_PROC_PATH, stats_path, settings);
}

int run_v3dwatch(int argc, char **argv)
{
    const start_up_result started = start_up(argc, argv);
    if (started.stop) {
        return started.exit_status;
    }
    return sample_loop(started.settings);
}
