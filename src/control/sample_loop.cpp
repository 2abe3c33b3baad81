// The sampling loop: a sample once an interval, a frame computed once from
// each two, handed whole to the output and the summary.
#include <algorithm>
#include <cstring>

#include <unistd.h>

#include "control/control.hpp"
#include "report/frame.hpp"
#include "report/metrics_file.hpp"

namespace {

// How many samples of `denominator` nanoseconds make `numerator`, rounded to
// the nearest or up; at least one.
int ratio_at_least_one(std::int64_t numerator, std::int64_t denominator, bool round_up)
{
    const std::int64_t ratio = (numerator + (round_up ? denominator - 1 : denominator / 2)) / denominator;
    return static_cast<int>(std::max<std::int64_t>(ratio, 1));
}

int call(int (*operation)(output_state &), output_state &state)
{
    return operation != nullptr ? operation(state) : 0;
}

// What a run's passes share: the output, its rules and the summary.
struct pass_context {
    loop_state *loop = nullptr;
    const sampler *sampling = nullptr;
    output_state *outputs = nullptr;
    const report_operations *report = nullptr;
    frame_rules rules{};
    const follow_state *follow = nullptr;
    run_summary *summary = nullptr;
    // Only JSON Lines record the followed processes' CPU time in each frame.
    bool records_followed_cpu = false;
};

// The followed processes' CPU time as the summary counts it: their ticks at
// the last census, and the seconds of those v3dwatch reaped.
followed_cpu followed_cpu_now(const pass_context &context)
{
    followed_cpu cpu;
    const follow_state *follow = context.follow;
    if (!context.records_followed_cpu || follow == nullptr || !follow->follows_tree) {
        return cpu;
    }
    std::int64_t user_ticks = 0;
    std::int64_t system_ticks = 0;
    tree_cpu_ticks(follow->tree, user_ticks, system_ticks);
    const auto ticks_per_second = static_cast<double>(clock_ticks > 0 ? clock_ticks : 100);
    const run_summary *summary = follow->summary;
    cpu.known = true;
    cpu.user_seconds = static_cast<double>(user_ticks) / ticks_per_second +
                       (summary != nullptr ? summary->reaped_user_seconds : 0.0);
    cpu.system_seconds = static_cast<double>(system_ticks) / ticks_per_second +
                         (summary != nullptr ? summary->reaped_system_seconds : 0.0);
    return cpu;
}

// One frame from two samples, to the output and the summary (`counted`);
// returns 0, OUTPUT_STOPPED or the errno of a failed write.
int make_pass(pass_context &context, const sample &previous, const sample &current, bool counted)
{
    const follow_state *follow = context.follow;
    context.rules.followed_ended = follow != nullptr && follow->follows_tree && tree_member_count(follow->tree) == 0;
    loop_state &loop = *context.loop;
    context.rules.cpu_period = cpu_period(*context.sampling);
    context.rules.current_cpu = followed_cpu_now(context);
    compute_frame(loop.pass, previous, current, context.rules);
    // The next frame is measured from this one's sample.
    context.rules.previous_cpu = context.rules.current_cpu;
    if (counted && context.summary != nullptr) {
        add_summary_frame(*context.summary, loop.pass);
    }
    return write_frame(*context.report, *context.outputs, loop.pass);
}

void begin_run_summary(run_summary &summary, const follow_state &follow, const sample &baseline)
{
    std::int64_t user_ticks = 0;
    std::int64_t system_ticks = 0;
    if (follow.follows_tree) {
        tree_cpu_ticks(follow.tree, user_ticks, system_ticks);
    }
    // A command's run starts when the command does, a little before the baseline.
    const bool command_started = follow.command_pid != 0;
    summary.conditions.first = baseline.conditions;
    begin_summary(summary, baseline.counters, command_started ? follow.command_start_time : baseline.time,
                  command_started ? follow.command_start_wall_time : baseline.wall_time, user_ticks, system_ticks);
}

} // namespace

int write_frame(const report_operations &report, output_state &state, const frame &pass)
{
    if (report.begin_frame == nullptr) {
        return 0;
    }
    if (const int failure = report.begin_frame(state, pass); failure != 0) {
        return failure;
    }
    for (int index = 0; index < pass.row_count; ++index) {
        const auto position = static_cast<std::size_t>(index);
        if (!pass.listed[position] || report.row == nullptr) {
            continue;
        }
        if (const int failure = report.row(state, pass.rows[position], pass.header.sample_time); failure != 0) {
            return failure;
        }
    }
    return report.end_frame(state, pass);
}

int close_run(const report_operations &report, output_state &state, int failure)
{
    const int close_failure = call(report.close, state);
    if (failure == 0) {
        failure = close_failure;
    }
    // A stop signal that ended the output is an orderly stop.
    if (failure == OUTPUT_STOPPED || failure == 0) {
        return 0;
    }
    // Standard error may be gone too; the exit status tells either way.
    const char *const lead =
        report.write_failure_text != nullptr ? report.write_failure_text : state.failure_text.data();
    (void)std::fprintf(stderr, "%s%s\n", lead, metrics_failure_reason(failure));
    return 1;
}

void start_outputs(output_state &outputs, program_state &program, const run_settings &settings)
{
    outputs.stream = {};
    const int stream_fd = settings.outputs.fds[STREAM_FILE];
    outputs.stream.fd = stream_fd >= 0 ? stream_fd : STDOUT_FILENO;
    outputs.timestamp_decimals = timestamp_decimals(settings.sample_interval_ns);
    outputs.first_client = true;
    if (settings.metrics_file != nullptr) {
        (void)set_metrics_file(outputs, settings.metrics_file); // its length was checked with the options
    }
    outputs.terminal = &program.terminal;
    outputs.sort_column = settings.sort_column;
    outputs.colour = settings.colour;
}

int run_sample_loop(program_state &program, const report_operations &report, const char *proc_path,
                    const char *stats_file, const run_settings &settings, follow_state *follow)
{
    output_state outputs;
    start_outputs(outputs, program, settings);
    sampler sampling;
    loop_state &loop = program.loop;
    process_tree *tree = follow != nullptr && follow->follows_tree ? &follow->tree : nullptr;
    pass_context context;
    context.loop = &loop;
    context.outputs = &outputs;
    context.sampling = &sampling;
    context.report = &report;
    context.follow = follow;
    context.summary = follow != nullptr ? follow->summary : nullptr;
    context.rules.lists_all =
        settings.all_queues || settings.mode == output_mode::json || settings.mode == output_mode::prometheus;
    context.rules.wall_clock = settings.wall_clock;
    context.records_followed_cpu = settings.mode == output_mode::json;
    // The summary counts every client busy on any queue, whatever the output lists.
    const client_listing listing = context.rules.lists_all || context.summary != nullptr
                                       ? client_listing::all_queues
                                       : client_listing::default_queues;
    start_sampler(sampling, proc_path, stats_file, listing, tree,
                  ratio_at_least_one(settings.census_interval_ns, settings.sample_interval_ns, false),
                  settings.conditions);
    const int samples_per_frame = ratio_at_least_one(report.shortest_frame_ns, settings.sample_interval_ns, true);
    outputs.frame_interval_ns = samples_per_frame * settings.sample_interval_ns;
    sample *previous = &loop.samples[0];
    sample *current = &loop.samples[1];

    int failure = call(report.open, outputs);
    sample_grid grid;
    start_sample_grid(grid, settings.sample_interval_ns);
    take_sample(sampling, *previous);
    context.rules.previous_cpu = followed_cpu_now(context);
    if (context.summary != nullptr) {
        begin_run_summary(*context.summary, *follow, *previous);
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
        failure = make_pass(context, *previous, *previous, false);
        count_frame();
    }
    int samples_since_frame = 0;
    const bool runs_command = follow != nullptr && follow->command_pid != 0;
    while (!finished()) {
        const std::sig_atomic_t events_seen = run_signals.events;
        const std::int64_t due = next_sample_due(grid);
        if (report.wait != nullptr) {
            report.wait(outputs, due);
        } else {
            sleep_until_due(due, events_seen);
        }
        if (stop_requested != 0 || (runs_command && followed_tree_ended(*follow, due))) {
            break;
        }
        take_sample(sampling, *current);
        // A sample that makes no frame is measured no further: the next
        // frame's percentages run from the last frame's sample.
        if (++samples_since_frame >= samples_per_frame) {
            samples_since_frame = 0;
            failure = make_pass(context, *previous, *current, true);
            count_frame();
            std::swap(previous, current);
        }
    }
    // The tree's end closes the run with one last interval, however short,
    // so that a command's run has one at least.
    if (failure == 0 && runs_command && follow->tree_ended) {
        take_sample(sampling, *current);
        failure = make_pass(context, *previous, *current, true);
    }
    stop_sampler(sampling);
    return close_run(report, outputs, failure);
}
