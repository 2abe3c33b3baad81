// The summary of a run: what the followed clients kept the GPU busy with, per
// queue, beside the whole GPU, their processes' CPU time and their memory.
#pragma once

#include <array>
#include <cstdint>

#include "report/report.hpp"
#include "report/summary_conditions.hpp"

// Every pass's per-queue sum is kept for the percentile: a day at one sample a
// second. Past that, neighbouring kept values are folded into their mean, so
// each then stands for 2, 4, ... passes; the mean and the maximum stay exact.
inline constexpr int SUMMARY_SAMPLE_CAPACITY = 86'400;

// One client's peak memory over the run, in bytes, or MEMORY_UNKNOWN once the
// client is met. Zero by default, like the whole summary, so that it takes no
// room in the program file and no page until used.
struct client_peak {
    std::uint64_t client_id = 0;
    std::int32_t pid = 0;
    std::array<char, NAME_SIZE> name{};
    std::int64_t total = 0;
    std::int64_t resident = 0;
};

// One queue's figures, as finish_summary works them out.
struct queue_figures {
    bool reported = false; // the kernel lists this queue
    double mean = 0.0;     // per cent, the followed clients summed
    double p95 = 0.0;
    double max = 0.0;
    double busy_seconds = 0.0;
    std::int64_t jobs = 0;
    double job_milliseconds = 0.0; // the average job's length, or NO_JOB_LENGTH
    double gpu_mean = 0.0;         // the whole GPU, per cent
};

struct run_summary {
    int passes = 0;
    // Whether processes are followed, so that their CPU time is known.
    bool has_processes = false;
    double start_time = 0.0; // monotonic seconds
    double end_time = 0.0;
    double start_wall_time = 0.0; // Unix seconds
    double end_wall_time = 0.0;
    // The pass being added up, then the whole run.
    std::array<double, ENGINE_COUNT> pass_busy{};
    std::array<double, ENGINE_COUNT> busy_total{};
    // Each pass's sums weighted by its length on the GPU's time base (ns), and
    // those lengths: the mean, so that a last pass cut short by the command's
    // end weighs as little as it lasted.
    std::array<double, ENGINE_COUNT> weighted_busy_total{};
    double weighted_nanoseconds = 0.0;
    std::array<double, ENGINE_COUNT> busy_max{};
    std::array<std::int64_t, ENGINE_COUNT> busy_nanoseconds{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{};
    engine_flags listed{};
    // The kept pass sums, each standing for 2^fold_level passes; `pending`
    // passes wait in `pending_busy` for the next kept value.
    std::array<std::array<float, SUMMARY_SAMPLE_CAPACITY>, ENGINE_COUNT> kept{};
    int kept_count = 0;
    int fold_level = 0;
    int pending = 0;
    std::array<double, ENGINE_COUNT> pending_busy{};
    // The whole GPU's rows at the start and at the latest pass.
    gpu_counters first_counters{};
    gpu_counters last_counters{};
    // The followed processes' ticks at the start and at the end, and the
    // seconds of those reaped by v3dwatch itself (from wait4).
    std::int64_t start_user_ticks = 0;
    std::int64_t start_system_ticks = 0;
    std::int64_t end_user_ticks = 0;
    std::int64_t end_system_ticks = 0;
    double reaped_user_seconds = 0.0;
    double reaped_system_seconds = 0.0;
    std::array<client_peak, MAX_CLIENTS> clients{};
    int client_count = 0;
    std::array<queue_figures, ENGINE_COUNT> figures{};
    summary_conditions conditions{};
    // The most processes whose clients a census could not see.
    int unreadable_processes = 0;
    // Set at the run's end: its length, and the followed processes' CPU
    // seconds and mean per cent over it.
    double wall_seconds = 0.0;
    double user_seconds = 0.0;
    double system_seconds = 0.0;
    double cpu_mean_percent = 0.0;
};

// Starts the run at the baseline sample.
void begin_summary(run_summary &summary, const gpu_counters &counters, double time, double wall_time,
                   std::int64_t user_ticks, std::int64_t system_ticks);
// Adds one followed client's row of the current pass.
void add_summary_row(run_summary &summary, const utilisation_row &row);
// Closes the pass whose rows were added.
void end_summary_pass(run_summary &summary, const gpu_counters &counters);
// Adds a frame: every client of its census, whatever the output lists.
void add_summary_frame(run_summary &summary, const frame &whole);
// Ends the run and works out `figures`; the kept values are reordered.
void finish_summary(run_summary &summary, double time, double wall_time, std::int64_t user_ticks,
                    std::int64_t system_ticks);

// The summary as a small table, and as one JSON object; each returns 0 or the
// errno of the failed write.
int write_summary_text(const run_summary &summary, int fd);
int write_summary_json(const run_summary &summary, int fd);

// "2026-12-08T19:21:41.123Z" for Unix seconds.
void format_utc_time(double wall_time, std::array<char, 32> &text);
