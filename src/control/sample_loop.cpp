#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <unistd.h>

#include "control/control.hpp"
#include "report/metrics_file.hpp"
#include "sampling/held_clients.hpp"

namespace {

// One process's CPU time at a census.
struct process_reading {
    std::int32_t pid = 0;
    double cpu_seconds = 0.0;
};

// Samples between censuses read only the held clients of the last census.
// CPU time comes from the census, in clock ticks too coarse for a short
// interval, so a row's CPU is measured over the last census period: from the
// census before the last (`before`) to the last.
struct census_cadence {
    int samples_per_census = 2;
    int samples_since_census = 0;
    held_clients held{};
    double census_time = 0.0;
    std::array<process_reading, MAX_CLIENTS> before{};
    int before_count = 0;
    double before_time = 0.0;
};

// A constant at namespace scope: a run whose every sample is a census touches
// none of its pages before its destructor at exit, and no guard of a
// function's static is needed (which would bring in the C++ runtime).
constinit census_cadence program_cadence;

// How many samples of `denominator` nanoseconds make `numerator`, rounded to
// the nearest or up; at least one.
int ratio_at_least_one(std::int64_t numerator, std::int64_t denominator, bool round_up)
{
    const std::int64_t ratio = (numerator + (round_up ? denominator - 1 : denominator / 2)) / denominator;
    return static_cast<int>(std::max<std::int64_t>(ratio, 1));
}

// Keeps the new census's clients held, and the last one's CPU readings as
// the base of the next census period.
void keep_census(census_cadence &cadence, const client_table &census, double time, const char *proc_path,
                 const char *stats_file)
{
    cadence.before_count = 0;
    for (int index = 0; index < cadence.held.count; ++index) {
        const held_client &client = cadence.held.clients[static_cast<std::size_t>(index)];
        cadence.before[static_cast<std::size_t>(cadence.before_count++)] = {client.pid, client.cpu_seconds};
    }
    cadence.before_time = cadence.census_time;
    cadence.census_time = time;
    hold_clients(cadence.held, census, proc_path, stats_file);
}

// The process's CPU time at the census before the last; unknown when it was not there.
double cpu_at_census_before(const census_cadence &cadence, std::int32_t pid)
{
    for (int index = 0; index < cadence.before_count; ++index) {
        if (cadence.before[static_cast<std::size_t>(index)].pid == pid) {
            return cadence.before[static_cast<std::size_t>(index)].cpu_seconds;
        }
    }
    return CPU_SECONDS_UNKNOWN;
}

// A sample is three readings, always taken in this order.
struct sample {
    gpu_counters *counters = nullptr;
    client_table *table = nullptr;
    double time = 0.0;
    double wall_time = 0.0;
};

} // namespace

double clock_seconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

namespace {

// A census, or between censuses one read of each held file; `cadence` is
// null when every sample is a census. The followed tree changes only at a census.
void take_sample(sample &into, const char *proc_path, const char *stats_file, client_listing listing,
                 process_tree *tree, census_cadence *cadence)
{
    if (cadence != nullptr && cadence->samples_since_census > 0) {
        sample_held_clients(cadence->held, *into.table, *into.counters);
        into.time = clock_seconds(CLOCK_MONOTONIC);
    } else {
        read_gpu_counters(*into.counters, stats_file);
        scan_clients(*into.table, proc_path, listing, tree);
        into.time = clock_seconds(CLOCK_MONOTONIC);
        if (cadence != nullptr) {
            keep_census(*cadence, *into.table, into.time, proc_path, stats_file);
        }
    }
    into.wall_time = clock_seconds(CLOCK_REALTIME);
    if (cadence != nullptr) {
        cadence->samples_since_census = (cadence->samples_since_census + 1) % cadence->samples_per_census;
    }
}

// Hands one pass to the report, and to the summary when there is one; returns
// 0, OUTPUT_STOPPED or the errno of a failed write.
// The census lists every client busy on any queue when a summary counts
// them; an output that lists fewer is given only its own (`shows_all`).
int report_pass(const report_operations &report, const sample &previous, const sample &current,
                const run_settings &settings, const follow_state *follow, run_summary *summary,
                const census_cadence *cadence, bool shows_all)
{
    const auto shown = [shows_all](const client_sample &client) {
        return shows_all || busy_on_default_queues(client.engine);
    };
    std::int64_t reference_delta = 0;
    if (__builtin_sub_overflow(current.counters->reference, previous.counters->reference, &reference_delta)) {
        reference_delta = 0; // no measurable time base
    }
    const double elapsed = current.time - previous.time;
    const double shown_time = settings.wall_clock ? current.wall_time : current.time;
    frame_summary frame;
    frame.sample_time = shown_time;
    frame.wall_time = current.wall_time;
    frame.followed_ended = follow != nullptr && follow->follows_tree && tree_member_count(follow->tree) == 0;
    frame.client_count = 0;
    for (int index = 0; index < current.table->count; ++index) {
        frame.client_count += shown(current.table->records[static_cast<std::size_t>(index)]) ? 1 : 0;
    }
    frame.counters = current.counters;
    compute_queue_loads(*current.counters, *previous.counters, frame.queues);
    if (const int failure = report.begin_frame(frame); failure != 0) {
        return failure;
    }
    for (int index = 0; index < current.table->count; ++index) {
        utilisation_row row = compute_utilisation(current.table->records[static_cast<std::size_t>(index)],
                                                  *previous.table, reference_delta, elapsed);
        if (cadence != nullptr) {
            set_process_cpu(row, cpu_at_census_before(*cadence, row.pid), cadence->census_time - cadence->before_time);
        }
        if (summary != nullptr) {
            add_summary_row(*summary, row);
        }
        if (!shown(current.table->records[static_cast<std::size_t>(index)])) {
            continue;
        }
        if (const int failure = report.row(row, shown_time); failure != 0) {
            return failure;
        }
    }
    if (summary != nullptr) {
        end_summary_pass(*summary, *current.counters);
    }
    return report.end_frame();
}

// The tree and the summary's kept samples are too large for the stack.
follow_state program_follow;
run_summary program_summary;

} // namespace

int run_sample_loop(const report_operations &report, const char *proc_path, const char *stats_file,
                    const run_settings &settings, follow_state *follow)
{
    // Both samples live as long as the loop; the pass swaps their roles
    // instead of copying the current one over the previous one.
    client_table first;
    client_table second;
    gpu_counters first_counters;
    gpu_counters second_counters;
    sample previous{&first_counters, &first, 0.0};
    sample current{&second_counters, &second, 0.0};
    process_tree *tree = follow != nullptr && follow->follows_tree ? &follow->tree : nullptr;
    run_summary *summary = follow != nullptr ? follow->summary : nullptr;
    const bool shows_all = settings.all_queues || settings.mode == output_mode::json ||
                           settings.mode == output_mode::prometheus;
    const client_listing listing =
        shows_all || summary != nullptr ? client_listing::all_queues : client_listing::default_queues;
    const int samples_per_census = ratio_at_least_one(census_interval_ns, sample_interval_ns, false);
    census_cadence *cadence = nullptr;
    if (samples_per_census > 1) {
        cadence = &program_cadence;
        cadence->samples_per_census = samples_per_census;
        cadence->samples_since_census = 0;
        cadence->census_time = 0.0;
        cadence->before_count = 0;
        cadence->before_time = 0.0;
        release_clients(cadence->held);
    }
    const int samples_per_frame = ratio_at_least_one(report.shortest_frame_ns, sample_interval_ns, true);

    int failure = report.open();
    start_sample_grid();
    take_sample(previous, proc_path, stats_file, listing, tree, cadence);
    if (summary != nullptr) {
        std::int64_t user_ticks = 0;
        std::int64_t system_ticks = 0;
        if (tree != nullptr) {
            tree_cpu_ticks(*tree, user_ticks, system_ticks);
        }
        // A command's run starts when the command does, a little before the baseline.
        const bool command_started = follow->command_pid != 0;
        begin_summary(*summary, *previous.counters, command_started ? follow->command_start_time : previous.time,
                      command_started ? follow->command_start_wall_time : previous.wall_time, user_ticks,
                      system_ticks);
    }
    // Frames left before -n stops the run; counted only when there is a limit.
    int frames_left = settings.frame_limit;
    const auto finished = [&failure, &frames_left, &settings, follow, tree] {
        return failure != 0 || stop_requested != 0 || (settings.frame_limit > 0 && frames_left <= 0) ||
               (follow != nullptr && follow->tree_ended) ||
               (tree != nullptr && follow->ends_with_tree && tree_member_count(*tree) == 0);
    };
    const auto count_frame = [&frames_left, &settings] {
        if (settings.frame_limit > 0) {
            --frames_left;
        }
    };
    if (report.reports_baseline && !finished()) {
        failure = report_pass(report, previous, previous, settings, follow, nullptr, cadence, shows_all);
        count_frame();
    }
    int samples_since_frame = 0;
    const bool runs_command = follow != nullptr && follow->command_pid != 0;
    while (!finished()) {
        report.wait();
        if (stop_requested != 0 || (runs_command && followed_tree_ended(*follow))) {
            break;
        }
        take_sample(current, proc_path, stats_file, listing, tree, cadence);
        // A sample that makes no frame is measured no further: the next
        // frame's percentages run from the last frame's sample.
        if (++samples_since_frame >= samples_per_frame) {
            samples_since_frame = 0;
            failure = report_pass(report, previous, current, settings, follow, summary, cadence, shows_all);
            count_frame();
            std::swap(previous, current);
        }
    }
    // The tree's end closes the run with one last interval, however short,
    // so that a command's run has one at least.
    if (failure == 0 && runs_command && follow->tree_ended) {
        take_sample(current, proc_path, stats_file, listing, tree, cadence);
        failure = report_pass(report, previous, current, settings, follow, summary, cadence, shows_all);
    }
    if (cadence != nullptr) {
        release_clients(cadence->held);
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
        (void)std::fprintf(stderr, "%s%s\n", report.write_failure_text, metrics_failure_reason(failure));
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
    case output_mode::summary_only:
        return SILENT_REPORT;
    case output_mode::terminal:
        break;
    }
    return settings.all_queues ? TERMINAL_ALL_REPORT : TERMINAL_REPORT;
}

bool start_following(follow_state &follow, const run_settings &settings, std::FILE *messages, const char *proc_path)
{
    follow.follows_tree = settings.followed_pid_count > 0 || settings.command != nullptr;
    follow.ends_with_tree = settings.followed_pid_count > 0 && settings.command == nullptr &&
                            settings.mode != output_mode::terminal;
    std::int32_t missing = 0;
    if (!start_process_tree(follow.tree, settings.followed_pids.data(), settings.followed_pid_count, missing,
                            proc_path)) {
        (void)std::fprintf(messages, "Error: no process %d\n", missing);
        return false;
    }
    return true;
}

int write_run_summary(follow_state &follow, const run_settings &settings)
{
    std::int64_t user_ticks = 0;
    std::int64_t system_ticks = 0;
    if (follow.follows_tree) {
        tree_cpu_ticks(follow.tree, user_ticks, system_ticks);
    }
    run_summary &summary = *follow.summary;
    summary.has_processes = follow.follows_tree;
    finish_summary(summary, clock_seconds(CLOCK_MONOTONIC), clock_seconds(CLOCK_REALTIME), user_ticks, system_ticks);
    int status = 0;
    // Standard error may be gone; the exit status tells either way.
    if (write_summary_text(summary, STDERR_FILENO) != 0) {
        status = 1;
    }
    if (const int json_fd = settings.outputs.fds[SUMMARY_JSON_FILE]; json_fd >= 0) {
        const int failure = write_summary_json(summary, json_fd);
        if (failure != 0) {
            (void)std::fprintf(stderr, "Error: cannot write the summary JSON: %s\n",
                               std::strerror(failure > 0 ? failure : EINTR));
            status = 1;
        }
    }
    return status;
}

int sample_loop(const run_settings &settings)
{
    if (settings.summary) {
        program_follow.summary = &program_summary;
    }
    if (!start_following(program_follow, settings)) {
        return 1;
    }
    if (settings.command != nullptr) {
        return run_followed_command(program_follow, settings);
    }
    const int status = run_sample_loop(select_report(settings), DEFAULT_PROC_PATH, stats_path, settings,
                                       &program_follow);
    if (program_follow.summary == nullptr) {
        return status;
    }
    const int summary_status = write_run_summary(program_follow, settings);
    return status != 0 ? status : summary_status;
}

int run_v3dwatch(int argc, char **argv)
{
    const start_up_result started = start_up(argc, argv);
    if (started.stop) {
        return started.exit_status;
    }
    return sample_loop(started.settings);
}
