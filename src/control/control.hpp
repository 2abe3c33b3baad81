// The control subsystem: the command line, start-up, the sampling loop and stopping.
#pragma once

#include <cstdio>

#include "control/process_state.hpp"
#include "report/report.hpp"

enum class output_mode { terminal, csv, json, prometheus };

// What the options ask of the loop.
struct run_settings {
    output_mode mode = output_mode::terminal;
    // Every queue, client memory and the whole GPU (-a); JSON and the metrics always have them.
    bool all_queues = false;
    // Frames to write before stopping as a stop signal would (-n); 0 for no limit.
    // A report of the baseline counts it as a frame.
    int frame_limit = 0;
};

// Start-up either stops the program with an exit status or goes on with settings.
struct start_up_result {
    bool stop = false;
    int exit_status = 0;
    run_settings settings{};
};

inline constexpr const char *STATS_PATTERN = "/sys/class/drm/card*/device/gpu_stats";

// Reads the options, fixes clock_ticks, sample_interval_ns and stats_path, and
// installs the stop signals. Messages go to `messages` (standard error in the
// program); --help and --version write to `output`, which the terminal view
// needs to be a terminal.
start_up_result start_up(int argc, char **argv, std::FILE *messages = stderr,
                         const char *stats_pattern = STATS_PATTERN, std::FILE *output = stdout);

// Handler of the stop signals: sets stop_requested and nothing else.
extern "C" void on_stop_signal(int signal_number);

// The report operations that `settings` ask for.
const report_operations &select_report(const run_settings &settings);

// Samples once an interval until stop_requested is set; returns the exit status.
int sample_loop(const run_settings &settings);

// The same loop over any report and kernel tree, for the tests.
int run_sample_loop(const report_operations &report, const char *proc_path, const char *stats_file,
                    const run_settings &settings = {});

// The entry point: start-up, then the loop; returns the exit status.
int run_v3dwatch(int argc, char **argv);
