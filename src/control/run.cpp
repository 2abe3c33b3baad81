// What the entry point runs once start-up has gone on: the loop over the
// output that the settings ask for, a followed command, and the summary.
#include <cerrno>
#include <cstring>

#include <unistd.h>

#include "view/terminal_report.hpp"
#include "control/control.hpp"

namespace {

// The run's records, owned by the entry point: too large for the stack, and
// constant-initialised at namespace scope, so that no page is taken before it
// is used and no guard of a function's static (the C++ runtime's) is needed.
constinit program_state program_records;

// Writes nothing: a followed command's run with no stream, for its summary alone.
constexpr report_operations NO_REPORT = {nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, "", false};

} // namespace

const report_operations &select_report(const run_settings &settings)
{
    switch (settings.mode) {
    case output_mode::csv:
        return settings.all_queues ? CSV_ALL_REPORT : CSV_REPORT;
    case output_mode::json:
        return JSON_REPORT;
    case output_mode::prometheus:
        return PROMETHEUS_REPORT;
    case output_mode::text:
        return settings.all_queues ? TEXT_ALL_REPORT : TEXT_REPORT;
    case output_mode::summary_only:
        return NO_REPORT;
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
    return write_summaries(summary, settings);
}

int write_summaries(const run_summary &summary, const run_settings &settings)
{
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

int sample_loop(program_state &program, const run_settings &settings)
{
    if (settings.compare_files[0] != nullptr) {
        return run_comparison(program.comparing, settings);
    }
    if (settings.replay_file != nullptr) {
        return run_replay(program, select_report(settings), settings);
    }
    follow_state &follow = program.follow;
    if (settings.summary) {
        follow.summary = &program.summary;
    }
    if (!start_following(follow, settings)) {
        return 1;
    }
    if (settings.command != nullptr) {
        return run_followed_command(program, settings);
    }
    const int status =
        run_sample_loop(program, select_report(settings), DEFAULT_PROC_PATH, stats_path, settings, &follow);
    if (follow.summary == nullptr) {
        return status;
    }
    const int summary_status = write_run_summary(follow, settings);
    return status != 0 ? status : summary_status;
}

int run_v3dwatch(int argc, char **argv)
{
    const start_up_result started = start_up(argc, argv);
    if (started.stop) {
        return started.exit_status;
    }
    return sample_loop(program_records, started.settings);
}
