#include <cstring>
#include <ctime>

#include <unistd.h>

#include "control/control.hpp"

namespace {

// A sample is three readings, always taken in this order.
struct sample {
    std::int64_t reference = 0;
    client_table *table = nullptr;
    double time = 0.0;
};

double monotonic_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

void take_sample(sample &into, const char *proc_path, const char *stats_file)
{
    into.reference = read_reference_counter(stats_file);
    scan_clients(*into.table, proc_path);
    into.time = monotonic_seconds();
}

// Hands one pass's rows to the report; returns 0 or the errno of a failed write.
int report_pass(const report_operations &report, const sample &previous, const sample &current)
{
    std::int64_t reference_delta = 0;
    if (__builtin_sub_overflow(current.reference, previous.reference, &reference_delta)) {
        reference_delta = 0; // no measurable time base
    }
    const double elapsed = current.time - previous.time;
    report.begin_frame();
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

int run_sample_loop(const report_operations &report, const char *proc_path, const char *stats_file)
{
    // Both tables live as long as the loop; the pass swaps their roles
    // instead of copying the current one over the previous one.
    client_table first;
    client_table second;
    sample previous{0, &first, 0.0};
    sample current{0, &second, 0.0};

    int failure = report.open();
    take_sample(previous, proc_path, stats_file);
    ::sleep(1);
    while (failure == 0 && stop_requested == 0) {
        take_sample(current, proc_path, stats_file);
        failure = report_pass(report, previous, current);
        if (failure != 0) {
            break;
        }
        std::swap(previous, current);
        report.wait();
    }
    const int close_failure = report.close();
    if (failure == 0) {
        failure = close_failure;
    }
    if (failure != 0) {
        // Standard error may be gone too; the exit status tells either way.
        (void)std::fprintf(stderr, "%s%s\n", report.write_failure_text, std::strerror(failure));
        return 1;
    }
    return 0;
}

int sample_loop(output_mode mode)
{
    const report_operations &report = mode == output_mode::csv ? CSV_REPORT : TERMINAL_REPORT;
    return run_sample_loop(report, DEFAULT_PROC_PATH, stats_path);
}

int run_v3dwatch(int argc, char **argv)
{
    const start_up_result started = start_up(argc, argv);
    if (started.stop) {
        return started.exit_status;
    }
    return sample_loop(started.mode);
}
