// The command line: every option, its value's rules, and the combinations
// refused, before start-up looks at the system.
#include "control/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "control/option_values.hpp"
#include "report/metrics_file.hpp"
#include "report/report.hpp"

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

// False when the text could not be written whole.
bool print_usage(std::FILE *messages, const char *program)
{
    return std::fprintf(messages, USAGE_TEXT, program) >= 0 && std::fflush(messages) == 0;
}

} // namespace

start_up_result read_options(int argc, char **argv, std::FILE *messages, std::FILE *output, option_files &files)
{
    // A program may be started with no argument at all, not even its name.
    const char *program = argc > 0 && argv[0] != nullptr ? argv[0] : "v3dwatch";
    start_up_result result;
    bool csv_asked = false;
    bool json_asked = false;
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
            files.metrics_file = option.value;
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
    if (files.metrics_file != nullptr && (csv_asked || json_asked)) {
        (void)std::fprintf(messages, "Error: --prometheus and %s cannot be used together\n",
                           csv_asked ? "--csv" : "--json");
        return {true, 1, result.settings};
    }
    if (files.metrics_file != nullptr && std::strlen(files.metrics_file) >= METRICS_PATH_SIZE) {
        (void)std::fprintf(messages, "Error: cannot write metrics file %s: %s\n", files.metrics_file,
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
    result.settings.sample_interval_ns = choices.interval;
    result.settings.census_interval_ns =
        choices.census != 0 ? choices.census : std::max(choices.interval, DEFAULT_CENSUS_NS);
    result.settings.metrics_file = files.metrics_file;

    files.output_file = choices.output_file;
    files.summary_json_file = choices.summary_json_file;
    return result;
}
