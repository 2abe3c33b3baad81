#include "control/option_values.hpp"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "report/metrics_file.hpp"
#include "view/client_columns.hpp"
#include "sampling/text_numbers.hpp"

namespace {

// The decimals of a second down to the nanosecond.
constexpr std::size_t NANOSECOND_DIGITS = 9;

// A count of frames in decimal digits, 1 to 2147483647.
bool parse_count(std::string_view text, int &count)
{
    std::int64_t value = 0;
    if (!parse_whole_number(text, LONGEST_COUNT, value)) {
        return false;
    }
    count = static_cast<int>(value);
    return true;
}

// Process ids, "PID[,PID...]", each from 1 to 2147483647, added to those of
// earlier -p options; false for anything else, or more than MAX_FOLLOWED_PIDS.
bool parse_pids(std::string_view text, run_settings &settings)
{
    for (;;) {
        const std::size_t comma = std::min(text.find(','), text.size());
        std::int64_t pid = 0;
        if (!parse_whole_number(text_part(text, 0, comma), LARGEST_PID, pid) ||
            settings.followed_pid_count == MAX_FOLLOWED_PIDS) {
            return false;
        }
        settings.followed_pids[static_cast<std::size_t>(settings.followed_pid_count++)] =
            static_cast<std::int32_t>(pid);
        if (comma == text.size()) {
            return true;
        }
        text = text_part(text, comma + 1);
    }
}

} // namespace

// A plain decimal number of seconds ("2", "0.5", ".25"), exact to the
// nanosecond; false for anything else, or outside `shortest` to 3600 seconds.
bool parse_seconds(std::string_view text, std::int64_t shortest, std::int64_t &nanoseconds)
{
    const decimal_digits whole = read_decimal_digits(text);
    if (!whole.fits || whole.value > static_cast<std::uint64_t>(LONGEST_INTERVAL_NS / NANOSECONDS_PER_SECOND)) {
        return false;
    }
    std::string_view rest = text_part(text, whole.length);
    std::int64_t fraction = 0;
    std::size_t fraction_length = 0;
    if (!rest.empty() && rest.front() == '.') {
        rest.remove_prefix(1);
        fraction_length = read_decimal_digits(rest).length;
        // Digits past the nanosecond change nothing.
        const std::size_t kept = std::min(fraction_length, NANOSECOND_DIGITS);
        fraction = static_cast<std::int64_t>(read_decimal_digits(text_part(rest, 0, kept)).value);
        for (std::size_t digit = kept; digit < NANOSECOND_DIGITS; ++digit) {
            fraction *= 10;
        }
        rest = text_part(rest, fraction_length);
    }
    if (whole.length + fraction_length == 0 || !rest.empty()) {
        return false;
    }
    nanoseconds = static_cast<std::int64_t>(whole.value) * NANOSECONDS_PER_SECOND + fraction;
    return nanoseconds >= shortest && nanoseconds <= LONGEST_INTERVAL_NS;
}

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

bool take_seconds(std::FILE *messages, const valued_option &option, std::int64_t shortest, const char *rule,
                  std::int64_t &nanoseconds)
{
    if (option.value == nullptr || !parse_seconds(option.value, shortest, nanoseconds)) {
        refuse_value(messages, option, rule);
        return false;
    }
    return true;
}

bool take_interval(std::FILE *messages, const valued_option &option, std::int64_t &interval)
{
    return take_seconds(messages, option, SHORTEST_INTERVAL_NS, INTERVAL_RULE, interval);
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

// The combinations refused once every option is read, and the settings they
// settle: the mode a command leaves, the summary, the intervals, the files.
namespace {

// --sort names a sortable column of the view by its heading, in lower case:
// the default view's, and with -a the others too.
bool settle_sort(option_reading &reading)
{
    const valued_option &option = reading.choices.sort_option;
    run_settings &settings = reading.result.settings;
    if (settings.mode != output_mode::terminal && settings.mode != output_mode::text) {
        (void)std::fprintf(reading.messages, "Error: %.*s is for the terminal view and --text\n",
                           static_cast<int>(option.name.size()), option.name.data());
        return false;
    }
    const int count = settings.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT;
    for (int column = 0; column < count; ++column) {
        const table_column &layout = CLIENT_COLUMNS[column];
        const std::string_view heading(layout.heading);
        const std::string_view value(option.value);
        const bool same = heading.size() == value.size() &&
                          std::equal(heading.begin(), heading.end(), value.begin(), [](char letter, char typed) {
                              return std::tolower(static_cast<unsigned char>(letter)) == typed;
                          });
        if (is_sortable(layout) && same) {
            settings.sort_column = column;
            return true;
        }
    }
    refuse_value(reading.messages, option, SORT_RULE);
    return false;
}

} // namespace

start_up_result settle_options(option_reading &reading)
{
    const bool csv_asked = reading.csv_asked;
    const bool json_asked = reading.json_asked;
    const option_choices &choices = reading.choices;
    std::FILE *const messages = reading.messages;
    run_settings &settings = reading.result.settings;
    const char *const metrics_file = reading.files.metrics_file;
    if (csv_asked && json_asked) {
        (void)std::fputs("Error: --csv and --json cannot be used together\n", messages);
        return {true, 1, settings};
    }
    if (reading.text_asked && (csv_asked || json_asked || metrics_file != nullptr)) {
        (void)std::fprintf(messages, "Error: --text and %s cannot be used together\n",
                           csv_asked ? "--csv" : json_asked ? "--json" : "--prometheus");
        return {true, 1, settings};
    }
    if (reading.text_asked && settings.command != nullptr) {
        // The command shares standard output.
        (void)std::fputs("Error: --text cannot be used with a command\n", messages);
        return {true, 1, settings};
    }
    if (metrics_file != nullptr && (csv_asked || json_asked)) {
        (void)std::fprintf(messages, "Error: --prometheus and %s cannot be used together\n",
                           csv_asked ? "--csv" : "--json");
        return {true, 1, settings};
    }
    if (metrics_file != nullptr && std::strlen(metrics_file) >= METRICS_PATH_SIZE) {
        (void)std::fprintf(messages, "Error: cannot write metrics file %s: %s\n", metrics_file,
                           std::strerror(ENAMETOOLONG));
        return {true, 1, settings};
    }
    const bool stream_asked = csv_asked || json_asked;
    if (choices.output_file != nullptr && !stream_asked) {
        (void)std::fputs("Error: --output needs --csv or --json\n", messages);
        return {true, 1, settings};
    }
    if (settings.command != nullptr && stream_asked && choices.output_file == nullptr) {
        // The command shares standard output.
        (void)std::fprintf(messages, "Error: %s with a command needs --output FILE\n", csv_asked ? "--csv" : "--json");
        return {true, 1, settings};
    }
    if (settings.command != nullptr) {
        settings.summary = true;
        if (settings.mode == output_mode::terminal) {
            settings.mode = output_mode::summary_only; // the command owns the terminal
        }
    }
    if (choices.summary_json_file != nullptr) {
        settings.summary = true;
    }
    // Checked once every option is read: -d may come after --census.
    if (choices.census != 0 && choices.census < choices.interval) {
        refuse_value(messages, choices.census_option, CENSUS_RULE);
        return {true, 1, settings};
    }
    if (choices.sort_option.value != nullptr && !settle_sort(reading)) {
        return {true, 1, settings};
    }
    settings.sample_interval_ns = choices.interval;
    settings.census_interval_ns = choices.census != 0 ? choices.census : std::max(choices.interval, DEFAULT_CENSUS_NS);
    settings.metrics_file = metrics_file;
    reading.files.output_file = choices.output_file;
    reading.files.summary_json_file = choices.summary_json_file;
    return reading.result;
}
