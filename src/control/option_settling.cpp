// The options once all are read: the combinations that cannot run refused in
// one line each, and the settings they leave settled.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "control/option_values.hpp"
#include "report/metrics_file.hpp"
#include "view/client_columns.hpp"

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

// A replay's frames come from its recording: the options of the kernel's
// sampling, its clocks and a followed command have nothing to act on.
bool settle_replay(option_reading &reading)
{
    const run_settings &settings = reading.result.settings;
    const option_choices &choices = reading.choices;
    std::string_view refused;
    if (choices.interval_option.value != nullptr) {
        refused = choices.interval_option.name;
    } else if (choices.census_option.value != nullptr) {
        refused = choices.census_option.name;
    } else if (reading.files.metrics_file != nullptr) {
        refused = "--prometheus";
    } else if (settings.wall_clock) {
        refused = "--wall-clock";
    } else if (settings.command != nullptr) {
        refused = "a command";
    } else {
        return true;
    }
    (void)std::fprintf(reading.messages, "Error: --replay cannot be used with %.*s\n", static_cast<int>(refused.size()),
                       refused.data());
    return false;
}

} // namespace

// The combinations refused once every option is read, and the settings they
// settle: the mode a command leaves, the summary, the intervals, the files.
start_up_result settle_options(option_reading &reading)
{
    const bool csv_asked = reading.csv_asked;
    const bool json_asked = reading.json_asked;
    const option_choices &choices = reading.choices;
    std::FILE *const messages = reading.messages;
    run_settings &settings = reading.result.settings;
    const char *const metrics_file = reading.files.metrics_file;
    if (settings.compare_files[0] != nullptr && reading.other_option_given) {
        (void)std::fputs("Error: --compare takes no option but --json\n", messages);
        return {true, 1, settings};
    }
    if (settings.replay_file != nullptr && !settle_replay(reading)) {
        return {true, 1, settings};
    }
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
    // A recording's summary is asked for itself: not after a view at the recorded pace.
    if (settings.replay_file != nullptr && settings.summary && settings.mode == output_mode::terminal) {
        settings.mode = output_mode::summary_only;
    }
    if (settings.replay_file != nullptr && std::strcmp(settings.replay_file, "-") == 0 &&
        settings.mode == output_mode::terminal) {
        (void)std::fputs("Error: --replay - takes standard input, where the view takes its keys; use --csv, --json, "
                         "--text or --summary\n",
                         messages);
        return {true, 1, settings};
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
