#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include <glob.h>
#include <unistd.h>

#include "control/control.hpp"
#include "sampling/kernel_text.hpp"

namespace {

constexpr const char *USAGE_TEXT =
    "Usage: %s [options]\n\n"
    "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
    "  -a, --all             Show every queue, client memory and the whole GPU's load\n"
    "  --csv                 Output in CSV format (pipe to file)\n"
    "  --json                Output JSON Lines, one object per sample, with everything\n"
    "  --prometheus FILE     Write metrics for Prometheus to FILE every interval\n"
    "  -d, --interval S      Seconds between samples, 0.1 to 3600 (default 1)\n"
    "  -n, --count N         Stop after N samples\n"
    "  --version             Show the version\n"
    "  -h, --help            Show this help message\n";

// Used when sysconf cannot say; the common value on Linux.
constexpr std::int64_t DEFAULT_CLOCK_TICKS = 100;

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;
constexpr std::int64_t SHORTEST_INTERVAL_NS = NANOSECONDS_PER_SECOND / 10;
constexpr std::int64_t LONGEST_INTERVAL_NS = 3600 * NANOSECONDS_PER_SECOND;
constexpr int LONGEST_COUNT = 2147483647;

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
// nanosecond; false for anything else, or outside 0.1 to 3600 seconds.
bool parse_interval(std::string_view text, std::int64_t &nanoseconds)
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
    return nanoseconds >= SHORTEST_INTERVAL_NS && nanoseconds <= LONGEST_INTERVAL_NS;
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

// An option that takes a value, and its value, as the user wrote them.
struct valued_option {
    std::string_view name; // as the user wrote it, without "=value"
    const char *value = nullptr; // null when none follows
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

constexpr const char *INTERVAL_RULE = "seconds from 0.1 to 3600";
constexpr const char *COUNT_RULE = "a count from 1 to 2147483647";
constexpr const char *METRICS_FILE_RULE = "a file to write the metrics to";

bool take_interval(std::FILE *messages, const valued_option &option, std::int64_t &interval)
{
    if (option.value == nullptr || !parse_interval(option.value, interval)) {
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

// The short options beyond -h follow the usual conventions: flags bundle
// ("-an1") and a value may be attached ("-d5") or be the next argument.
struct short_option {
    char letter;
    bool takes_value;
};
constexpr std::array<short_option, 3> SHORT_OPTIONS = {{{'a', false}, {'d', true}, {'n', true}}};

const short_option *find_short_option(char letter)
{
    for (const short_option &option : SHORT_OPTIONS) {
        if (option.letter == letter) {
            return &option;
        }
    }
    return nullptr;
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
                        std::int64_t &interval)
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
        return letter == 'd' ? take_interval(messages, option, interval)
                             : take_count(messages, option, settings.frame_limit);
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
    std::int64_t interval = DEFAULT_SAMPLE_INTERVAL_NS;
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
            if (!take_interval(messages, option, interval)) {
                return {true, 1, result.settings};
            }
        } else if (take_valued_option("--count", argc, argv, index, option)) {
            if (!take_count(messages, option, result.settings.frame_limit)) {
                return {true, 1, result.settings};
            }
        } else if (is_short_cluster(argument)) {
            if (!take_short_cluster(messages, argc, argv, index, result.settings, interval)) {
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
    sample_interval_ns = interval;

    const long ticks = sysconf(_SC_CLK_TCK);
    clock_ticks = ticks > 0 ? ticks : DEFAULT_CLOCK_TICKS;

    if (!find_stats_file(stats_pattern)) {
        (void)std::fputs("Error: no V3D gpu_stats found\n", messages);
        return {true, 1, result.settings};
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
    action.sa_handler = SIG_IGN;
    sigaction(SIGXFSZ, &action, nullptr);
    return result;
}
