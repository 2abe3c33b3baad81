// The reporting subsystem: percentages from two samples, and the two ways of
// showing them (a CSV stream and a terminal view).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "sampling/client_table.hpp"

// One client's line of output.
struct utilisation_row {
    std::int32_t client_id = 0;
    std::int32_t pid = 0;
    std::array<char, NAME_SIZE> name{};
    std::array<double, ENGINE_COUNT> engine{}; // percentages, indexed like client_sample::engine
    double cpu = 0.0;
};

// The percentages of `current` against the previous census. Engine time is
// matched by client id and measured against the reference delta; CPU time is
// measured against the same process's previous reading over `elapsed` seconds.
utilisation_row compute_utilisation(const client_sample &current, const client_table &previous,
                                    std::int64_t reference_delta, double elapsed);

// The six operations the sampling loop drives, supplied by each mode. Those that
// write return 0, or the errno of a failed write.
struct report_operations {
    int (*open)();
    void (*begin_frame)();
    int (*row)(const utilisation_row &row, double sample_time);
    int (*end_frame)();
    void (*wait)();
    int (*close)();
    // Leads the message that a failed write ends the program with.
    const char *write_failure_text;
};

extern const report_operations CSV_REPORT;
extern const report_operations TERMINAL_REPORT;

// One CSV data line for `row`; the name is quoted when it holds ',' or '"'.
// Returns 0 or the errno of the failed write.
int write_csv_row(std::FILE *stream, const utilisation_row &row, double sample_time);
