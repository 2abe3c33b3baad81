// The values of the options and their rules: numbers of seconds, counts,
// process ids and file names, and long options with "=value".
#pragma once

#include <cstdint>
#include <cstdio>
#include <string_view>

#include "control/control.hpp"

inline constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;
inline constexpr std::int64_t SHORTEST_INTERVAL_NS = NANOSECONDS_PER_SECOND / 100;
inline constexpr std::int64_t SHORTEST_CENSUS_NS = NANOSECONDS_PER_SECOND / 10;
// Without --census, a short interval still takes a census once a second.
inline constexpr std::int64_t DEFAULT_CENSUS_NS = NANOSECONDS_PER_SECOND;
inline constexpr std::int64_t LONGEST_INTERVAL_NS = 3600 * NANOSECONDS_PER_SECOND;
inline constexpr int LONGEST_COUNT = 2147483647;
inline constexpr std::int64_t LARGEST_PID = 2147483647;

inline constexpr const char *INTERVAL_RULE = "seconds from 0.01 to 3600";
inline constexpr const char *CENSUS_RULE = "seconds from 0.1 to 3600, at least the interval";
inline constexpr const char *COUNT_RULE = "a count from 1 to 2147483647";
inline constexpr const char *METRICS_FILE_RULE = "a file to write the metrics to";
inline constexpr const char *PID_RULE = "process ids, as PID[,PID...], 64 at most";
inline constexpr const char *OUTPUT_FILE_RULE = "a file to write the stream to";
inline constexpr const char *SUMMARY_FILE_RULE = "a file to write the summary to";
inline constexpr const char *REPLAY_FILE_RULE = "a recording that --json wrote, or - for standard input";
inline constexpr const char *COMPARE_FILES_RULE = "two summaries that --summary-json wrote, as --compare A B";
inline constexpr const char *COLOUR_RULE = "auto, always or never";
inline constexpr const char *SORT_RULE =
    "a column: render, tfu, bin or cpu, and with -a also csd, cache_clean, cpu_job, total or resident";

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
    valued_option interval_option{}; // -d as given; its name empty for none
    const char *output_file = nullptr;
    const char *summary_json_file = nullptr;
    valued_option sort_option{}; // --sort as given; its value null for none
};

// A plain decimal number of seconds ("2", "0.5", ".25"), exact to the
// nanosecond; false for anything else, or outside `shortest` to 3600 seconds.
bool parse_seconds(std::string_view text, std::int64_t shortest, std::int64_t &nanoseconds);

// True when `argv[index]` is the long option, as "--interval 2" or
// "--interval=2"; `found` then holds it, and `index` has moved past a value
// given as the next argument.
bool take_valued_option(std::string_view long_name, int argc, char **argv, int &index, valued_option &found);

// One line that names the option and what was wrong with its value.
void refuse_value(std::FILE *messages, const valued_option &option, const char *accepted);

// Each takes the value of its option, or writes the one line that refuses it.
bool take_seconds(std::FILE *messages, const valued_option &option, std::int64_t shortest, const char *rule,
                  std::int64_t &nanoseconds);
bool take_interval(std::FILE *messages, const valued_option &option, std::int64_t &interval);
bool take_count(std::FILE *messages, const valued_option &option, int &count);
bool take_pids(std::FILE *messages, const valued_option &option, run_settings &settings);
// --color's choice: 0 auto, 1 always, 2 never.
bool take_colour(std::FILE *messages, const valued_option &option, int &colour);
// A file name: anything but nothing.
bool take_file(std::FILE *messages, const valued_option &option, const char *rule, const char *&file);

// The files the options name; null for none.
struct option_files {
    const char *metrics_file = nullptr;
    const char *output_file = nullptr;
    const char *summary_json_file = nullptr;
};

// What reading the options keeps until they are all read.
struct option_reading {
    std::FILE *messages;
    std::FILE *output;
    const char *program;
    option_files &files;
    start_up_result result{};
    option_choices choices{};
    bool csv_asked = false;
    bool json_asked = false;
    bool text_asked = false;
    bool other_option_given = false; // an option besides --compare and --json
};

// Refuses the combinations that cannot run, in one line each, and settles the
// settings the options leave; the options' files go to `reading.files`.
start_up_result settle_options(option_reading &reading);
