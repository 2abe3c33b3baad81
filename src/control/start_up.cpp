#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <fcntl.h>
#include <glob.h>
#include <unistd.h>

#include "view/terminal_report.hpp"
#include "control/control.hpp"
#include "report/metrics_file.hpp"
#include "sampling/kernel_text.hpp"

namespace {

constexpr const char *USAGE_TEXT =
    "Usage: %s [options]\n\n"
    "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
    "  -a, --all             Show every queue, client memory and the whole GPU's load\n"
    "  --csv                 Output in CSV format (pipe to file)\n"
    "  --json                Output JSON Lines, one object per sample, with everything\n"
    "  --prometheus FILE     Write metrics for Prometheus to FILE every interval\n"
    "  -d, --interval S      Seconds between samples, 0.01 to 3600 (default 1)\n"
    "  --census S            Seconds between searches for clients, 0.1 to 3600,\n"
    "                        no less than the interval (default 1 or the interval)\n"
    "  -n, --count N         Stop after N samples\n"
    "  -p, --pid PID[,PID]   Follow only these processes and their descendants\n"
    "  -o, --output FILE     Write the CSV or JSON stream to FILE\n"
    "  --summary             Write a summary of the run to standard error at the end\n"
    "  --summary-json FILE   Write the summary as JSON to FILE as well\n"
    "  --wall-clock          CSV and JSON timestamps in Unix time\n"
    "  -- COMMAND [ARG...]   Run COMMAND, follow it and its descendants, then summarise\n"
    "  --version             Show the version\n"
    "  -h, --help            Show this help message\n";

// Used when sysconf cannot say; the common value on Linux.
constexpr std::int64_t DEFAULT_CLOCK_TICKS = 100;

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t SHORTEST_INTERVAL_NS = NANOSECONDS_PER_SECOND / 100;
constexpr std::int64_t SHORTEST_CENSUS_NS = NANOSECONDS_PER_SECOND / 10;
// Without --census, a short interval still takes a census once a second.
constexpr std::int64_t DEFAULT_CENSUS_NS = NANOSECONDS_PER_SECOND;
constexpr std::int64_t LONGEST_INTERVAL_NS = 3600 * NANOSECONDS_PER_SECOND;
constexpr int LONGEST_COUNT = 2147483647;
constexpr std::int64_t LARGEST_PID = 2147483647;

// Releases the glob result on every path.
struct glob_result {
    glob_t paths{};
    glob_result() = default;
    glob_result(const glob_result &) = delete;
    glob_result &operator=(const glob_result &) = delete;
    ~glob_result() { globfree(&paths); }
};

// False when the text could not be written whole.
bool print_usage(std::FILE *messages, const char *program)
{
    return std::fprintf(messages, USAGE_TEXT, program) >= 0 && std::fflush(messages) == 0;
}

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

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// A plain decimal number of seconds ("2", "0.5", ".25"), exact to the
// nanosecond; false for anything else, or outside `shortest` to 3600 seconds.
bool parse_seconds(std::string_view text, std::int64_t shortest, std::int64_t &nanoseconds)
{
    std::int64_t whole = 0;
    std::int64_t fraction = 0;
    std::int64_t fraction_scale = NANOSECONDS_PER_SECOND;
    bool has_digits = false;
    std::size_t position = 0;
    for (; position < text.size() && is_digit(text[position]); ++position) {
        has_digits = true;
        whole = whole * 10 + (text[position] - '0');
        if (whole > LONGEST_INTERVAL_NS / NANOSECONDS_PER_SECOND) {
            return false;
        }
    }
    if (position < text.size() && text[position] == '.') {
        for (++position; position < text.size() && is_digit(text[position]); ++position) {
            has_digits = true;
            if (fraction_scale > 1) { // digits past the nanosecond change nothing
                fraction_scale /= 10;
                fraction += (text[position] - '0') * fraction_scale;
            }
        }
    }
    if (!has_digits || position != text.size()) {
        return false;
    }
    nanoseconds = whole * NANOSECONDS_PER_SECOND + fraction;
    return nanoseconds >= shortest && nanoseconds <= LONGEST_INTERVAL_NS;
}

// A count of frames in decimal digits, 1 to 2147483647.
bool parse_count(std::string_view text, int &count)
{
    std::int64_t value = 0;
    for (const char c : text) {
        if (!is_digit(c)) {
            return false;
        }
        value = value * 10 + (c - '0');
        if (value > LONGEST_COUNT) {
            return false;
        }
    }
    count = static_cast<int>(value);
    return !text.empty() && count >= 1;
}

// Process ids, "PID[,PID...]", each from 1 to 2147483647, added to those of
// earlier -p options; false for anything else, or more than MAX_FOLLOWED_PIDS.
bool parse_pids(std::string_view text, run_settings &settings)
{
    std::int64_t value = 0;
    bool has_digits = false;
    for (std::size_t position = 0; position <= text.size(); ++position) {
        if (position < text.size() && is_digit(text[position])) {
            value = value * 10 + (text[position] - '0');
            has_digits = true;
            if (value > LARGEST_PID) {
                return false;
            }
            continue;
        }
        if ((position < text.size() && text[position] != ',') || !has_digits || value == 0 ||
            settings.followed_pid_count == MAX_FOLLOWED_PIDS) {
            return false;
        }
        settings.followed_pids[static_cast<std::size_t>(settings.followed_pid_count++)] =
            static_cast<std::int32_t>(value);
        value = 0;
        has_digits = false;
    }
    return true;
}

// An option that takes a value, and its value, as the user wrote them.
struct valued_option {
    std::string_view name; // as the user wrote it, without "=value"
    const char *value = nullptr; // null when none follows
};

// What the options choose besides the settings, until they are all read.
struct option_choices {
    std::int64_t interval = DEFAULT_SAMPLE_INTERVAL_NS;
    // --census as given, 0 for none: it is checked against the interval last.
    std::int64_t census = 0;
    valued_option census_option{};
    const char *output_file = nullptr;
    const char *summary_json_file = nullptr;
};

// True when `argv[index]` is the long option, as "--interval 2" or
// "--interval=2"; `found` then holds it, and `index` has moved past a value
// given as the next argument.
bool take_valued_option(std::string_view long_name, int argc, char **argv, int &index, valued_option &found)
{
    const std::string_view argument(argv[index]);
    if (argument == long_name) {
        found = {argument, index + 1 < argc ? argv[++index] : nullptr};
        return true;
    }
    if (argument.size() > long_name.size() && starts_with_text(argument, long_name) && argument[long_name.size()] == '=') {
        found = {long_name, argv[index] + long_name.size() + 1};
        return true;
    }
    return false;
}

// One line that names the option and what was wrong with its value.
void refuse_value(std::FILE *messages, const valued_option &option, const char *accepted)
{
    if (option.value == nullptr) {
        (void)std::fprintf(messages, "Missing value for %.*s (%s)\n", static_cast<int>(option.name.size()),
                           option.name.data(), accepted);
    } else {
        (void)std::fprintf(messages, "Invalid value for %.*s: '%s' (%s)\n", static_cast<int>(option.name.size()),
                           option.name.data(), option.value, accepted);
    }
}

constexpr const char *INTERVAL_RULE = "seconds from 0.01 to 3600";
constexpr const char *CENSUS_RULE = "seconds from 0.1 to 3600, at least the interval";
constexpr const char *COUNT_RULE = "a count from 1 to 2147483647";
constexpr const char *METRICS_FILE_RULE = "a file to write the metrics to";
constexpr const char *PID_RULE = "process ids, as PID[,PID...], 64 at most";
constexpr const char *OUTPUT_FILE_RULE = "a file to write the stream to";
constexpr const char *SUMMARY_FILE_RULE = "a file to write the summary to";

bool take_interval(std::FILE *messages, const valued_option &option, std::int64_t &interval)
{
    if (option.value == nullptr || !parse_seconds(option.value, SHORTEST_INTERVAL_NS, interval)) {
        refuse_value(messages, option, INTERVAL_RULE);
        return false;
    }
    return true;
}

bool take_count(std::FILE *messages, const valued_option &option, int &count)
{
    if (option.value == nullptr || !parse_count(option.value, count)) {
        refuse_value(messages, option, COUNT_RULE);
        return false;
    }
    return true;
}

bool take_pids(std::FILE *messages, const valued_option &option, run_settings &settings)
{
    if (option.value == nullptr || !parse_pids(option.value, settings)) {
        refuse_value(messages, option, PID_RULE);
        return false;
    }
    return true;
}

// A file name: anything but nothing.
bool take_file(std::FILE *messages, const valued_option &option, const char *rule, const char *&file)
{
    if (option.value == nullptr || option.value[0] == '\0') {
        refuse_value(messages, option, rule);
        return false;
    }
    file = option.value;
    return true;
}

// Takes the value of the short option `letter`.
bool take_short_value(std::FILE *messages, char letter, const valued_option &option, run_settings &settings,
                      option_choices &choices)
{
    switch (letter) {
    case 'd':
        return take_interval(messages, option, choices.interval);
    case 'n':
        return take_count(messages, option, settings.frame_limit);
    case 'p':
        return take_pids(messages, option, settings);
    default:
        return take_file(messages, option, OUTPUT_FILE_RULE, choices.output_file);
    }
}

// The short options beyond -h follow the usual conventions: flags bundle
// ("-an1") and a value may be attached ("-d5") or be the next argument.
struct short_option {
    char letter;
    bool takes_value;
};
constexpr std::array<short_option, 5> SHORT_OPTIONS = {
    {{'a', false}, {'d', true}, {'n', true}, {'p', true}, {'o', true}}};

const short_option *find_short_option(char letter)
{
    const auto *const found = std::find_if(SHORT_OPTIONS.begin(), SHORT_OPTIONS.end(),
                                           [letter](const short_option &option) { return option.letter == letter; });
    return found != SHORT_OPTIONS.end() ? found : nullptr;
}

// A cluster is '-', flags, then at most one option that takes the rest of the
// argument, or the next one, as its value.
bool is_short_cluster(std::string_view argument)
{
    if (argument.size() < 2 || argument[0] != '-') {
        return false;
    }
    for (std::size_t position = 1; position < argument.size(); ++position) {
        const short_option *option = find_short_option(argument[position]);
        if (option == nullptr) {
            return false;
        }
        if (option->takes_value) {
            return true;
        }
    }
    return true;
}

// Takes every option of a cluster; false, with the message written, when a
// value is refused.
bool take_short_cluster(std::FILE *messages, int argc, char **argv, int &index, run_settings &settings,
                        option_choices &choices)
{
    const std::string_view argument(argv[index]);
    for (std::size_t position = 1; position < argument.size(); ++position) {
        const char letter = argument[position];
        if (letter == 'a') {
            settings.all_queues = true;
            continue;
        }
        const std::array<char, 3> name = {'-', letter, '\0'};
        const valued_option option{std::string_view(name.data(), 2),
                                   position + 1 < argument.size() ? argv[index] + position + 1
                                   : index + 1 < argc             ? argv[++index]
                                                                  : nullptr};
        return take_short_value(messages, letter, option, settings, choices);
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
    // A program may be started with no argument at all, not even its name.
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "v3dwatch";
    start_up_result result;
    bool csv_asked = false;
    bool json_asked = false;
    const char *metrics_file = nullptr;
    option_choices choices;
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument(argv[index]);
        valued_option option;
        if (argument == "--csv") {
            csv_asked = true;
            result.settings.mode = output_mode::csv;
        } else if (argument == "--json") {
            json_asked = true;
            result.settings.mode = output_mode::json;
        } else if (take_valued_option("--prometheus", argc, argv, index, option)) {
            if (option.value == nullptr || option.value[0] == '\0') {
                refuse_value(messages, option, METRICS_FILE_RULE);
                return {true, 1, result.settings};
            }
            metrics_file = option.value;
            result.settings.mode = output_mode::prometheus;
        } else if (argument == "--all") {
            result.settings.all_queues = true;
        } else if (take_valued_option("--interval", argc, argv, index, option)) {
            if (!take_interval(messages, option, choices.interval)) {
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--census", argc, argv, index, option)) {
            choices.census_option = option;
            if (option.value == nullptr || !parse_seconds(option.value, SHORTEST_CENSUS_NS, choices.census)) {
                refuse_value(messages, option, CENSUS_RULE);
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--count", argc, argv, index, option)) {
            if (!take_count(messages, option, result.settings.frame_limit)) {
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--pid", argc, argv, index, option)) {
            if (!take_pids(messages, option, result.settings)) {
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--output", argc, argv, index, option)) {
            if (!take_file(messages, option, OUTPUT_FILE_RULE, choices.output_file)) {
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--summary-json", argc, argv, index, option)) {
            if (!take_file(messages, option, SUMMARY_FILE_RULE, choices.summary_json_file)) {
                return {true, 1, result.settings};
            }
        } else if (argument == "--summary") {
            result.settings.summary = true;
        } else if (argument == "--wall-clock") {
            result.settings.wall_clock = true;
        } else if (argument == "--" && index + 1 < argc) {
            result.settings.command = argv + index + 1;
            break;
        } else if (is_short_cluster(argument)) {
            if (!take_short_cluster(messages, argc, argv, index, result.settings, choices)) {
                return {true, 1, result.settings};
            }
        } else if (argument == "--version") {
            // Written now, not at exit, so that a failed write can still change the status.
            const bool written = std::fputs("v3dwatch " V3DWATCH_VERSION "\n", output) >= 0 &&
                                 std::fflush(output) == 0;
            return {true, written ? 0 : 1, result.settings};
        } else if (argument == "--help" || argument == "-h") {
            // Help asked for and not given is a failure, as for every other output.
            return {true, print_usage(messages, program) ? 0 : 1, result.settings};
        } else {
            // A message that cannot be written has nowhere better to go; the exit status still tells.
            (void)std::fprintf(messages, "Unknown option: %s\n", argv[index]);
            (void)print_usage(messages, program);
            return {true, 1, result.settings};
        }
    }
    if (csv_asked && json_asked) {
        (void)std::fputs("Error: --csv and --json cannot be used together\n", messages);
        return {true, 1, result.settings};
    }
    if (metrics_file != nullptr && (csv_asked || json_asked)) {
        (void)std::fprintf(messages, "Error: --prometheus and %s cannot be used together\n",
                           csv_asked ? "--csv" : "--json");
        return {true, 1, result.settings};
    }
    if (metrics_file != nullptr && !set_metrics_file(metrics_file)) {
        (void)std::fprintf(messages, "Error: cannot write metrics file %s: %s\n", metrics_file,
                           std::strerror(ENAMETOOLONG));
        return {true, 1, result.settings};
    }
    const bool stream_asked = csv_asked || json_asked;
    if (choices.output_file != nullptr && !stream_asked) {
        (void)std::fputs("Error: --output needs --csv or --json\n", messages);
        return {true, 1, result.settings};
    }
    if (result.settings.command != nullptr && stream_asked && choices.output_file == nullptr) {
        // The command shares standard output.
        (void)std::fprintf(messages, "Error: %s with a command needs --output FILE\n", csv_asked ? "--csv" : "--json");
        return {true, 1, result.settings};
    }
    if (result.settings.command != nullptr) {
        result.settings.summary = true;
        if (result.settings.mode == output_mode::terminal) {
            result.settings.mode = output_mode::summary_only; // the command owns the terminal
        }
    }
    if (choices.summary_json_file != nullptr) {
        result.settings.summary = true;
    }
    // Checked once every option is read: -d may come after --census.
    if (choices.census != 0 && choices.census < choices.interval) {
        refuse_value(messages, choices.census_option, CENSUS_RULE);
        return {true, 1, result.settings};
    }
    sample_interval_ns = choices.interval;
    census_interval_ns = choices.census != 0 ? choices.census : std::max(choices.interval, DEFAULT_CENSUS_NS);

    const long ticks = sysconf(_SC_CLK_TCK);
    clock_ticks = ticks > 0 ? ticks : DEFAULT_CLOCK_TICKS;

    if (!find_stats_file(stats_pattern)) {
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
    files.names = {choices.output_file, choices.summary_json_file};
    if (!open_output_files(files, metrics_file, messages)) {
        return {true, 1, result.settings};
    }
    if (files.fds[STREAM_FILE] >= 0) {
        stream_fd = files.fds[STREAM_FILE];
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
