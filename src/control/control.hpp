// The control subsystem: the command line, start-up, the sampling loop and stopping.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "control/loop_clock.hpp"
#include "control/output_files.hpp"
#include "control/process_state.hpp"
#include "report/frame.hpp"
#include "report/output_state.hpp"
#include "report/comparison.hpp"
#include "report/recording.hpp"
#include "report/report.hpp"
#include "report/run_summary.hpp"
#include "sampling/sampler.hpp"
#include "view/view_state.hpp"

enum class output_mode { terminal, csv, json, prometheus, text, summary_only };

// The wait between samples, in nanoseconds; a second by default.
inline constexpr std::int64_t DEFAULT_SAMPLE_INTERVAL_NS = 1'000'000'000;

// Processes that -p names at most.
inline constexpr int MAX_FOLLOWED_PIDS = 64;

// What the options ask of the loop.
struct run_settings {
    output_mode mode = output_mode::terminal;
    // Every queue, client memory and the whole GPU (-a); JSON and the metrics always have them.
    bool all_queues = false;
    // Frames to write before stopping as a stop signal would (-n); 0 for no limit.
    // A report of the baseline counts it as a frame.
    int frame_limit = 0;
    // The processes to follow with their descendants (-p); the rest of the
    // clients are left out.
    std::array<std::int32_t, MAX_FOLLOWED_PIDS> followed_pids{};
    int followed_pid_count = 0;
    // The command to run and follow, NULL-terminated as execvp takes it; null
    // when there is none.
    char **command = nullptr;
    // Whether a summary ends the run (--summary; always with a command); its
    // JSON goes to outputs.fds[SUMMARY_JSON_FILE] as well when that is open.
    bool summary = false;
    output_files outputs{};
    // CSV and JSON timestamps as Unix time (--wall-clock), not the monotonic clock.
    bool wall_clock = false;
    // The wait between samples (-d) and between censuses, the searches of
    // /proc for clients (--census), in nanoseconds; a census never comes more
    // often than a sample. Between censuses a sample reads only the clients found.
    std::int64_t sample_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
    std::int64_t census_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
    // The metrics file of --prometheus; null for none.
    const char *metrics_file = nullptr;
    // Where the GPU's conditions are read: the kernel's folders.
    condition_paths conditions{};
    // The column of the client table the view starts sorted by (--sort); -1
    // for census order.
    int sort_column = -1;
    // --color: 0 auto, 1 always, 2 never.
    int colour = 0;
    // --replay: the recording the frames come from ("-": standard input),
    // null for the kernel; its descriptor, opened at start-up.
    const char *replay_file = nullptr;
    int replay_fd = -1;
    // --compare A B: the two summaries; null for none.
    std::array<const char *, 2> compare_files{};
};

// What a run that follows processes adds to the loop.
struct follow_state {
    // The followed processes; with none, every client is listed.
    bool follows_tree = false;
    process_tree tree{};
    // Whether the run ends once no followed process is left (the outputs
    // that end; the view stays open).
    bool ends_with_tree = false;
    // The followed command, as long as it has not been reaped; 0 for none.
    std::int32_t command_pid = 0;
    bool command_reaped = false;
    int command_wait_status = 0;
    // Whether no child of v3dwatch (the command, or an orphan that came to it)
    // was left at the last reaping: the run lasts until then.
    bool children_gone = false;
    // The run has ended with the whole tree; one last sample closes it.
    bool tree_ended = false;
    // SIGINT as v3dwatch found it: once the command has ended, it stops the
    // run unless it was ignored.
    bool interrupt_ignored = false;
    // When the members still alive after a stop passed on get SIGKILL
    // (monotonic nanoseconds); 0 until a stop is passed on.
    std::int64_t kill_due_ns = 0;
    // When the command was started (monotonic and Unix seconds): its run's start.
    double command_start_time = 0.0;
    double command_start_wall_time = 0.0;
    // The summary's figures; null when no summary is asked for.
    run_summary *summary = nullptr;
};

// Start-up either stops the program with an exit status or goes on with settings.
struct start_up_result {
    bool stop = false;
    int exit_status = 0;
    run_settings settings{};
};

inline constexpr const char *STATS_PATTERN = "/sys/class/drm/card*/device/gpu_stats";

// Reads the options into settings, fixes clock_ticks and stats_path, and
// installs the stop signals. Messages go to `messages` (standard error in the
// program); --help and --version write to `output`, which the terminal view
// needs to be a terminal.
start_up_result start_up(int argc, char **argv, std::FILE *messages = stderr,
                         const char *stats_pattern = STATS_PATTERN, std::FILE *output = stdout);


// After the wait between samples of a followed command's run: reaps the
// children, passes a stop on to the tree, and sleeps on to the due time when
// a child's end or a stop cut the wait short. True once the command and
// every child of v3dwatch have ended.
bool followed_tree_ended(follow_state &follow, std::int64_t due);

// Waits until the command and every child of v3dwatch have ended, passing
// stops on; after a stop, gives up once the members left have had SIGKILL
// and a moment to end.
void wait_for_followed_tree(follow_state &follow);

// Handler of the stop signals: sets stop_requested and nothing else.
extern "C" void on_stop_signal(int signal_number);

// While a followed command runs: passes SIGTERM and SIGHUP on to it, and
// stops the run when SIGCHLD comes from its end.
extern "C" void on_command_signal(int signal_number);
extern "C" void on_child_signal(int signal_number);

// The report operations that `settings` ask for.
const report_operations &select_report(const run_settings &settings);

// The loop's large records: the two samples (whose roles a pass swaps
// instead of copying one over the other) and the frame.
struct loop_state {
    std::array<sample, 2> samples{};
    frame pass{};
};

// The run's large records, which the stack should not hold: owned by the
// entry point and passed down. All zero until used, so that they take no
// page of the program file and no memory until a run touches them: the CSV
// never touches the view's. The loop's smaller records (the sampler, the
// outputs' state) are its own.
// A replay's records: the recording read, and the two frames it alternates
// between, so that the frame shown stays whole while the next is read.
struct replay_state {
    recording_reader reader{};
    std::array<recorded_frame, 2> frames{};
};

// --compare's records: a file's text, the two summaries and their comparison.
struct comparison_state {
    std::array<char, SUMMARY_FILE_SIZE + PARSE_PADDING> text{};
    std::array<recorded_summary, 2> summaries{};
    comparison rows{};
    alignas(std::max_align_t) std::array<char, 4096> parser_memory{};
};

struct program_state {
    loop_state loop{};
    replay_state replay{};
    comparison_state comparing{};
    follow_state follow{};
    run_summary summary{};
    terminal_state terminal{};
};

// What the sampling loop and a replay share: the outputs' state as a run
// starts; one frame handed to the output's operations (0, OUTPUT_STOPPED or
// the errno of a failed write); and the output closed, with a failure said in
// one line, returning the exit status.
void start_outputs(output_state &outputs, program_state &program, const run_settings &settings);
int write_frame(const report_operations &report, output_state &state, const frame &pass);
int close_run(const report_operations &report, output_state &state, int failure);

// The frames of the recording of --replay, to the output and the summary;
// returns the exit status.
int run_replay(program_state &program, const report_operations &report, const run_settings &settings);

// Works out the summary's figures and writes them: the text to standard
// error, the JSON to the file of --summary-json; 0, or 1 after a message.
int write_summaries(const run_summary &summary, const run_settings &settings);

// --compare: the two summaries side by side, as a table or (--json) as JSON;
// returns the exit status.
int run_comparison(comparison_state &comparing, const run_settings &settings);

// Samples once an interval until stop_requested is set; returns the exit status.
int sample_loop(program_state &program, const run_settings &settings);

// The same loop over any report and kernel tree, for the tests.
int run_sample_loop(program_state &program, const report_operations &report, const char *proc_path,
                    const char *stats_file, const run_settings &settings = {}, follow_state *follow = nullptr);

// Starts the tree at the processes of -p; false, after a one-line message,
// when one of them does not exist.
bool start_following(follow_state &follow, const run_settings &settings, std::FILE *messages = stderr,
                     const char *proc_path = DEFAULT_PROC_PATH);

// Reaps the children that have ended, without waiting (or waits for the
// command too when `wait_for_command`): the command's status is kept, and the
// reaped leave the tree with the CPU time that wait4 gives for them.
void reap_children(follow_state &follow, bool wait_for_command);

// Ends the summary now and writes it to standard error, and its JSON to the
// file of --summary-json; returns 0 or 1 after a message when a write failed.
int write_run_summary(follow_state &follow, const run_settings &settings);

// Runs settings.command and follows it to its end; returns its exit status
// (128 + the signal's number if a signal ended it), 127 or 126 when it cannot run.
int run_followed_command(program_state &program, const run_settings &settings);

// The entry point: start-up, then the loop; returns the exit status.
int run_v3dwatch(int argc, char **argv);
