#include "control/option_values.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>

#include "report/metrics_file.hpp"
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

bool take_colour(std::FILE *messages, const valued_option &option, int &colour)
{
    constexpr std::array<std::string_view, 3> CHOICES = {"auto", "always", "never"};
    const std::string_view value(option.value != nullptr ? option.value : "");
    const auto *const found = std::find(CHOICES.begin(), CHOICES.end(), value);
    if (option.value == nullptr || found == CHOICES.end()) {
        refuse_value(messages, option, COLOUR_RULE);
        return false;
    }
    colour = static_cast<int>(found - CHOICES.begin());
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
