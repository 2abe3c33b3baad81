// The command line: every option, its value's rules, and the combinations
// refused, before start-up looks at the system.
#include "control/options.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "control/option_values.hpp"
#include "report/metrics_file.hpp"
#include "report/report.hpp"

namespace {

// Every option, in one table: its long name, the short letter that may
// bundle with others ("-an1"), whether it takes a value ("--interval 2",
// "--interval=2", "-d2", "-d 2") and what it sets.
enum class option_kind { csv, json, text, prometheus, all, interval, census, count, pid, output, summary, summary_json,
                         wall_clock, sort, colour, replay, compare, version, help };
struct option_entry {
    std::string_view long_name;
    char letter; // 0 for none
    bool takes_value;
    option_kind kind;
};
constexpr std::array<option_entry, 19> OPTIONS = {{
    {"--csv", 0, false, option_kind::csv},
    {"--json", 0, false, option_kind::json},
    {"--text", 0, false, option_kind::text},
    {"--prometheus", 0, true, option_kind::prometheus},
    {"--all", 'a', false, option_kind::all},
    {"--interval", 'd', true, option_kind::interval},
    {"--census", 0, true, option_kind::census},
    {"--count", 'n', true, option_kind::count},
    {"--pid", 'p', true, option_kind::pid},
    {"--output", 'o', true, option_kind::output},
    {"--summary", 0, false, option_kind::summary},
    {"--summary-json", 0, true, option_kind::summary_json},
    {"--wall-clock", 0, false, option_kind::wall_clock},
    {"--sort", 0, true, option_kind::sort},
    {"--color", 0, true, option_kind::colour},
    {"--replay", 0, true, option_kind::replay},
    {"--compare", 0, true, option_kind::compare},
    {"--version", 0, false, option_kind::version},
    // -h stands alone: it bundles with nothing.
    {"--help", 0, false, option_kind::help},
}};

// Returned by take_option while the options go on.
constexpr int GO_ON = -1;

// Takes one option and its value, however it was written: GO_ON, or the
// exit status that the run stops with, its message or output written.
int take_option(option_reading &reading, option_kind kind, const valued_option &option)
{
    run_settings &settings = reading.result.settings;
    option_choices &choices = reading.choices;
    std::FILE *const messages = reading.messages;
    bool taken = true;
    // --compare takes no option but --json.
    reading.other_option_given = reading.other_option_given || (kind != option_kind::compare && kind != option_kind::json);
    switch (kind) {
    case option_kind::csv:
    case option_kind::json:
        (kind == option_kind::csv ? reading.csv_asked : reading.json_asked) = true;
        settings.mode = kind == option_kind::csv ? output_mode::csv : output_mode::json;
        break;
    case option_kind::text:
        reading.text_asked = true;
        settings.mode = output_mode::text;
        break;
    case option_kind::prometheus:
        taken = take_file(messages, option, METRICS_FILE_RULE, reading.files.metrics_file);
        settings.mode = output_mode::prometheus;
        break;
    case option_kind::all:
        settings.all_queues = true;
        break;
    case option_kind::interval:
        choices.interval_option = option;
        taken = take_interval(messages, option, choices.interval);
        break;
    case option_kind::census:
        choices.census_option = option;
        taken = take_seconds(messages, option, SHORTEST_CENSUS_NS, CENSUS_RULE, choices.census);
        break;
    case option_kind::count:
        taken = take_count(messages, option, settings.frame_limit);
        break;
    case option_kind::pid:
        taken = take_pids(messages, option, settings);
        break;
    case option_kind::output:
        taken = take_file(messages, option, OUTPUT_FILE_RULE, choices.output_file);
        break;
    case option_kind::summary:
        settings.summary = true;
        break;
    case option_kind::summary_json:
        taken = take_file(messages, option, SUMMARY_FILE_RULE, choices.summary_json_file);
        break;
    case option_kind::wall_clock:
        settings.wall_clock = true;
        break;
    case option_kind::colour:
        taken = take_colour(messages, option, settings.colour);
        break;
    case option_kind::sort:
        choices.sort_option = option; // a name of the view's, checked once -a is known
        taken = take_file(messages, option, SORT_RULE, choices.sort_option.value);
        break;
    case option_kind::replay:
        taken = take_file(messages, option, REPLAY_FILE_RULE, settings.replay_file);
        break;
    case option_kind::compare:
        taken = take_file(messages, option, COMPARE_FILES_RULE, settings.compare_files[0]);
        break;
    case option_kind::version:
        // Written now, not at exit, so that a failed write can still change the status.
        return std::fputs("v3dwatch " V3DWATCH_VERSION "\n", reading.output) >= 0 && std::fflush(reading.output) == 0
                   ? 0
                   : 1;
    case option_kind::help:
        // Help asked for and not given is a failure, as for every other output.
        return print_usage(messages, reading.program) ? 0 : 1;
    }
    return taken ? GO_ON : 1;
}

// The option that `argv[index]` names in full; null for none. `index` moves
// past a value given as the next argument.
const option_entry *find_long_option(int argc, char **argv, int &index, valued_option &option)
{
    const std::string_view argument(argv[index]);
    const auto *const found = std::find_if(OPTIONS.begin(), OPTIONS.end(), [&](const option_entry &entry) {
        return entry.takes_value ? take_valued_option(entry.long_name, argc, argv, index, option)
                                 : argument == entry.long_name;
    });
    return found != OPTIONS.end() ? found : nullptr;
}

const option_entry *find_short_option(char letter)
{
    const auto *const found = std::find_if(OPTIONS.begin(), OPTIONS.end(),
                                           [letter](const option_entry &entry) { return entry.letter == letter; });
    return letter != 0 && found != OPTIONS.end() ? found : nullptr;
}

// A cluster is '-', flags, then at most one option that takes the rest of the
// argument, or the next one, as its value.
bool is_short_cluster(std::string_view argument)
{
    if (argument.size() < 2 || argument[0] != '-') {
        return false;
    }
    for (std::size_t position = 1; position < argument.size(); ++position) {
        const option_entry *option = find_short_option(argument[position]);
        if (option == nullptr) {
            return false;
        }
        if (option->takes_value) {
            return true;
        }
    }
    return true;
}

// Takes every option of a cluster: GO_ON, or the status the run stops with.
int take_short_cluster(option_reading &reading, int argc, char **argv, int &index)
{
    const std::string_view argument(argv[index]);
    for (std::size_t position = 1; position < argument.size(); ++position) {
        const option_entry &entry = *find_short_option(argument[position]);
        const std::array<char, 3> name = {'-', entry.letter, '\0'};
        valued_option option{std::string_view(name.data(), 2), nullptr};
        if (entry.takes_value) {
            option.value = position + 1 < argument.size() ? argv[index] + position + 1
                           : index + 1 < argc             ? argv[++index]
                                                          : nullptr;
        }
        if (const int status = take_option(reading, entry.kind, option); status != GO_ON || entry.takes_value) {
            return status;
        }
    }
    return GO_ON;
}

// Every argument in order, until the command or a stop.
int read_arguments(option_reading &reading, int argc, char **argv)
{
    for (int index = 1; index < argc; ++index) {
        const std::string_view argument(argv[index]);
        valued_option option;
        int status = GO_ON;
        if (const option_entry *entry = find_long_option(argc, argv, index, option); entry != nullptr) {
            status = take_option(reading, entry->kind, option);
            // --compare A B: the second file is the next argument.
            if (status == GO_ON && entry->kind == option_kind::compare) {
                option.value = index + 1 < argc ? argv[++index] : nullptr;
                status = take_file(reading.messages, option, COMPARE_FILES_RULE,
                                   reading.result.settings.compare_files[1])
                             ? GO_ON
                             : 1;
            }
        } else if (argument == "--" && index + 1 < argc) {
            reading.result.settings.command = argv + index + 1;
            return GO_ON;
        } else if (is_short_cluster(argument)) {
            status = take_short_cluster(reading, argc, argv, index);
        } else if (argument == "-h") {
            status = take_option(reading, option_kind::help, option);
        } else {
            // A message that cannot be written has nowhere better to go; the exit status still tells.
            (void)std::fprintf(reading.messages, "Unknown option: %s\n", argv[index]);
            (void)print_usage(reading.messages, reading.program);
            status = 1;
        }
        if (status != GO_ON) {
            return status;
        }
    }
    return GO_ON;
}

} // namespace

start_up_result read_options(int argc, char **argv, std::FILE *messages, std::FILE *output, option_files &files)
{
    // A program may be started with no argument at all, not even its name.
    option_reading reading{messages, output, argc > 0 && argv[0] != nullptr ? argv[0] : "v3dwatch", files};
    if (const int status = read_arguments(reading, argc, argv); status != GO_ON) {
        return {true, status, reading.result.settings};
    }
    return settle_options(reading);
}
