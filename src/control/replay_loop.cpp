// --replay: the frames of a recording instead of the kernel's, to any output
// and the summary; the view plays them at the recorded pace, the other
// outputs as fast as they are read.
#include <algorithm>
#include <cstring>

#include "control/control.hpp"

namespace {

constexpr std::int64_t KEY_WAIT_NS = 100'000'000;

// Where the replay is: the frame handed on last, and when the view showed it.
struct replay_run {
    const report_operations *report = nullptr;
    output_state *outputs = nullptr;
    replay_state *replay = nullptr;
    int shown = 0;           // the frame of replay->frames handed on last
    std::int64_t shown_at = 0; // monotonic nanoseconds
    followed_cpu start_cpu{};  // the followed processes' CPU time where the run began
};

replay_pace &pace(const replay_run &run)
{
    return run.outputs->terminal->view.replay;
}

// The recorded time from the frame shown to the one read after it.
double gap_to_next_frame(const replay_run &run)
{
    const auto &frames = run.replay->frames;
    return frames[static_cast<std::size_t>(1 - run.shown)].whole.header.sample_time -
           frames[static_cast<std::size_t>(run.shown)].whole.header.sample_time;
}

// Waits until the next frame is due at the chosen speed, or a step is asked
// for while paused, taking the view's keys meanwhile; false on a stop.
bool wait_for_next_frame(replay_run &run, double recorded_gap)
{
    while (stop_requested == 0) {
        replay_pace &replay = pace(run);
        const std::int64_t now = monotonic_nanoseconds();
        if (replay.step) {
            replay.step = false;
            return true;
        }
        if (replay.paused) {
            run.shown_at = now; // the gap starts again once the replay goes on
            run.report->wait(*run.outputs, now + KEY_WAIT_NS);
            continue;
        }
        const double speed = replay.speed_shift >= 0 ? static_cast<double>(1 << replay.speed_shift)
                                                     : 1.0 / static_cast<double>(1 << -replay.speed_shift);
        const std::int64_t due = run.shown_at + static_cast<std::int64_t>(recorded_gap * 1e9 / speed);
        if (now >= due) {
            return true;
        }
        run.report->wait(*run.outputs, std::min(due, now + KEY_WAIT_NS));
    }
    return false;
}

// The recording's last frame stays on the screen until the view is left.
void hold_last_frame(replay_run &run)
{
    pace(run).ended = true;
    draw_view(*run.outputs->terminal);
    while (stop_requested == 0) {
        run.report->wait(*run.outputs, monotonic_nanoseconds() + KEY_WAIT_NS);
    }
}

// The frames of the summary's run: from the first frame's sample to the last frame.
void add_replayed_frame(run_summary *summary, const frame &whole, bool first)
{
    if (summary == nullptr) {
        return;
    }
    if (first) {
        summary->conditions.first = whole.previous.conditions;
        begin_summary(*summary, *whole.previous.counters, whole.previous.sample_time, whole.previous.wall_time, 0, 0);
    }
    add_summary_frame(*summary, whole);
}

// One line at the end of a replay that a line stopped: the warning of a cut
// last line, or the reason the line is not a frame; the exit status.
int say_reading_end(recording_result result, const recording_reader &reader, const char *file,
                    const std::array<char, RECORDING_REASON_SIZE> &reason)
{
    if (result == recording_result::cut_short) {
        (void)std::fprintf(stderr, "Warning: %s:%d: the last line is cut short; ignored\n", file, reader.line_number);
        return 0;
    }
    if (result == recording_result::failed) {
        (void)std::fprintf(stderr, "Error: %s:%d: %s\n", file, reader.line_number, reason.data());
        return 1;
    }
    return 0;
}

// The summary of the frames replayed, from the first frame's sample to the
// last frame: 0, or 1 after a message when it cannot be written.
int write_replayed_summary(run_summary &summary, const replay_run &run, bool any_frame, const run_settings &settings)
{
    if (!any_frame) {
        // No time to summarise: not a summary of a run that never began.
        (void)std::fprintf(stderr, "Warning: %s: no frame to summarise\n", settings.replay_file);
        return 0;
    }
    const frame &last = run.replay->frames[static_cast<std::size_t>(run.shown)].whole;
    summary.has_processes = run.start_cpu.known && last.cpu.known;
    if (summary.has_processes) {
        // The recorded CPU seconds stand in for the ticks and the reaped
        // seconds that a live run adds up.
        summary.reaped_user_seconds = std::max(last.cpu.user_seconds - run.start_cpu.user_seconds, 0.0);
        summary.reaped_system_seconds = std::max(last.cpu.system_seconds - run.start_cpu.system_seconds, 0.0);
    }
    finish_summary(summary, last.header.sample_time, last.header.wall_time, 0, 0);
    return write_summaries(summary, settings);
}

} // namespace

int run_replay(program_state &program, const report_operations &report, const run_settings &settings)
{
    replay_state &replay = program.replay;
    recording_reader &reader = replay.reader;
    const file_descriptor recording(settings.replay_fd);
    reader.fd = recording.fd;
    reader.filter = {settings.followed_pids.data(), settings.followed_pid_count,
                     settings.all_queues || settings.mode == output_mode::json};
    std::array<char, RECORDING_REASON_SIZE> reason{};
    recording_result result = read_recorded_frame(reader, replay.frames[0], reason);
    if (result == recording_result::failed) {
        return say_reading_end(result, reader, settings.replay_file, reason); // nothing opened yet
    }
    output_state outputs;
    start_outputs(outputs, program, settings);
    outputs.replaying = true;
    if (result == recording_result::frame) {
        // The recording's own decimals and pace.
        const frame &first = replay.frames[0].whole;
        outputs.timestamp_decimals = replay.frames[0].timestamp_decimals;
        outputs.frame_interval_ns =
            static_cast<std::int64_t>((first.header.sample_time - first.previous.sample_time) * 1e9);
    }
    run_summary *summary = settings.summary ? &program.summary : nullptr;
    replay_run run{&report, &outputs, &replay, 0, monotonic_nanoseconds()};
    int failure = report.open != nullptr ? report.open(outputs) : 0;
    int frames_left = settings.frame_limit;
    bool any_frame = false;
    while (failure == 0 && result == recording_result::frame && stop_requested == 0) {
        if (any_frame && report.wait != nullptr && !wait_for_next_frame(run, gap_to_next_frame(run))) {
            break;
        }
        run.shown = any_frame ? 1 - run.shown : 0;
        const frame &whole = replay.frames[static_cast<std::size_t>(run.shown)].whole;
        run.shown_at = monotonic_nanoseconds();
        run.start_cpu = any_frame ? run.start_cpu : whole.previous.cpu;
        add_replayed_frame(summary, whole, !any_frame);
        any_frame = true;
        failure = write_frame(report, outputs, whole);
        if (settings.frame_limit > 0 && --frames_left == 0) {
            break;
        }
        result = read_recorded_frame(reader, replay.frames[static_cast<std::size_t>(1 - run.shown)], reason);
    }
    const bool read_through = result == recording_result::end || result == recording_result::cut_short;
    if (failure == 0 && read_through && report.wait != nullptr && stop_requested == 0) {
        hold_last_frame(run);
    }
    int status = close_run(report, outputs, failure);
    status = std::max(status, say_reading_end(result, reader, settings.replay_file, reason));
    return summary != nullptr && status == 0 ? write_replayed_summary(*summary, run, any_frame, settings) : status;
}
