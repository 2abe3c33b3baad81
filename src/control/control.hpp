// The control subsystem: the command line, start-up, the sampling loop and stopping.
#pragma once

#include <cstdio>

#include "control/process_state.hpp"
#include "report/report.hpp"

enum class output_mode { terminal, csv };

// Start-up either stops the program with an exit status or goes on in a mode.
struct start_up_result {
    bool stop = false;
    int exit_status = 0;
    output_mode mode = output_mode::terminal;
};

inline constexpr const char *STATS_PATTERN = "/sys/class/drm/card*/device/gpu_stats";

// Reads the options, fixes clock_ticks and stats_path, installs the stop
// signals. Messages go to `messages` (standard error in the program).
start_up_result start_up(int argc, char **argv, std::FILE *messages = stderr,
                         const char *stats_pattern = STATS_PATTERN);

// Handler of SIGINT and SIGTERM: sets stop_requested and nothing else.
extern "C" void on_stop_signal(int signal_number);

// Samples once a second until stop_requested is set; returns the exit status.
int sample_loop(output_mode mode);

// The same loop over any report and kernel tree, for the tests.
int run_sample_loop(const report_operations &report, const char *proc_path, const char *stats_file);

// The entry point: start-up, then the loop; returns the exit status.
int run_v3dwatch(int argc, char **argv);
