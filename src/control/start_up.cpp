#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include "control/control.hpp"
#include "control/options.hpp"
#include "report/metrics_file.hpp"
#include "view/terminal_report.hpp"

namespace {

// Used when sysconf cannot say; the common value on Linux.
constexpr std::int64_t DEFAULT_CLOCK_TICKS = 100;

// Releases the glob result on every path.
struct glob_result {
    glob_t paths{};
    glob_result() = default;
    glob_result(const glob_result &) = delete;
    glob_result &operator=(const glob_result &) = delete;
    ~glob_result() { globfree(&paths); }
};

// Only this one device is watched, the first in byte order.
bool find_stats_file(const char *pattern)
{
    glob_result found;
    if (glob(pattern, 0, nullptr, &found.paths) != 0 || found.paths.gl_pathc == 0) {
        return false;
    }
    std::strncpy(stats_path, found.paths.gl_pathv[0], STATS_PATH_SIZE - 1);
    stats_path[STATS_PATH_SIZE - 1] = '\0';
    return true;
}

// The recording of --replay, opened before anything is written; false after
// a one-line message.
bool open_recording(run_settings &settings, std::FILE *messages)
{
    if (std::strcmp(settings.replay_file, "-") == 0) {
        settings.replay_fd = STDIN_FILENO;
        return true;
    }
    settings.replay_fd = ::open(settings.replay_file, O_RDONLY | O_CLOEXEC);
    if (settings.replay_fd < 0) {
        (void)std::fprintf(messages, "Error: cannot read %s: %s\n", settings.replay_file, std::strerror(errno));
        return false;
    }
    return true;
}

} // namespace

extern "C" void on_stop_signal(int)
{
    stop_requested = 1;
}

start_up_result start_up(int argc, char **argv, std::FILE *messages, const char *stats_pattern, std::FILE *output)
{
    option_files files_named;
    start_up_result result = read_options(argc, argv, messages, output, files_named);
    if (result.stop) {
        return result;
    }
    const char *const metrics_file = files_named.metrics_file;
    const long ticks = sysconf(_SC_CLK_TCK);
    clock_ticks = ticks > 0 ? ticks : DEFAULT_CLOCK_TICKS;

    // --compare reads its two files only; a replay reads no kernel file.
    if (result.settings.compare_files[0] != nullptr) {
        return result;
    }
    const bool replays = result.settings.replay_file != nullptr;
    if (replays && !open_recording(result.settings, messages)) {
        return {true, 1, result.settings};
    }
    if (!replays && !find_stats_file(stats_pattern)) {
        (void)std::fputs("Error: no V3D gpu_stats found\n", messages);
        return {true, 1, result.settings};
    }
    if (metrics_file != nullptr) {
        if (const int failure = check_metrics_target(metrics_file); failure != 0) {
            (void)std::fprintf(messages, "Error: cannot write metrics file %s: %s\n", metrics_file,
                               metrics_failure_reason(failure));
            return {true, 1, result.settings};
        }
    }
    if (result.settings.mode == output_mode::terminal) {
        const char *const failure = load_terminal_library();
        if (failure != nullptr) {
            (void)std::fprintf(messages, "Error: cannot load the terminal library: %s\n", failure);
            return {true, 1, result.settings};
        }
        // A redirected view would fill its file with the terminal's escapes.
        if (::isatty(::fileno(output)) == 0) {
            (void)std::fputs("Error: standard output is not a terminal; use --csv or --json to write to a file or "
                             "a pipe\n",
                             messages);
            return {true, 1, result.settings};
        }
        if (!terminal_moves_cursor(::fileno(output))) {
            (void)std::fputs("Error: this terminal cannot place the cursor; use --csv or --json instead\n", messages);
            return {true, 1, result.settings};
        }
    }
    output_files &files = result.settings.outputs;
    files.names = {files_named.output_file, files_named.summary_json_file};
    if (!open_output_files(files, metrics_file, messages)) {
        return {true, 1, result.settings};
    }

    if (result.settings.command != nullptr) {
        return result; // the command's run sets up its own signals, and empties the files once it runs
    }
    if (!empty_output_files(files, messages)) {
        abandon_output_files(files);
        return {true, 1, result.settings};
    }
    // No SA_RESTART: a stop signal cuts a wait or a blocked write short. Every
    // signal that would end the program ends it in order, screen restored;
    // but one the parent set to be ignored stays ignored, as nohup and a
    // shell's background jobs expect. SIGTERM always stops in order.
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    for (const int signal_number : {SIGINT, SIGTERM, SIGQUIT, SIGHUP}) {
        struct sigaction inherited {};
        if (signal_number != SIGTERM && sigaction(signal_number, nullptr, &inherited) == 0 &&
            inherited.sa_handler == SIG_IGN) {
            continue;
        }
        sigaction(signal_number, &action, nullptr);
    }
    // A write past the file-size limit then fails with EFBIG and takes the
    // failed-write path, which removes the metrics file's temporary file.
    (void)signal(SIGXFSZ, SIG_IGN);
    return result;
}
