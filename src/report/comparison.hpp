// --compare: two runs' summaries, as --summary-json wrote them, side by side
// with the change of every figure, worked out once for both writers.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report/recording.hpp"
#include "report/report.hpp"

// The figures a summary holds, by the object that holds them.
enum class figure_group : std::uint8_t { queue, run, cpu, client, conditions };

struct figure_rule {
    figure_group group;
    std::string_view member; // as the summary's JSON names it
    const char *label;       // as the table heads it
    double shown_scale;      // from the JSON's unit to the table's
    int decimals;            // the table's; -1 for a flag, shown yes or no
};

inline constexpr int FIGURE_COUNT = 20;
extern const std::array<figure_rule, FIGURE_COUNT> FIGURE_RULES;

// The figures of one object of a summary: a queue, the run, the CPU, a
// client or the conditions; a figure the summary does not give is unknown.
struct summary_figures {
    std::array<double, FIGURE_COUNT> values{};
    std::array<bool, FIGURE_COUNT> known{};
};

// What --compare reads of a summary file.
struct recorded_summary {
    std::array<summary_figures, ENGINE_COUNT> queues{};
    summary_figures run{};
    summary_figures cpu{};
    summary_figures conditions{};
    std::array<summary_figures, MAX_CLIENTS> clients{};
    std::array<std::array<char, NAME_SIZE>, MAX_CLIENTS> client_names{};
    int client_count = 0;
};

inline constexpr std::size_t SUMMARY_FILE_SIZE = std::size_t{256} << 10;
inline constexpr std::size_t SUMMARY_REASON_SIZE = 160;

// Reads a summary from `text` (NUL-terminated, with PARSE_PADDING bytes of
// room from its NUL on, changed in place); false with the reason when it is not one.
bool parse_summary(char *text, recorded_summary &into, std::array<char, 4096> &parser_memory,
                   std::array<char, SUMMARY_REASON_SIZE> &reason);

// One figure of both runs.
struct comparison_row {
    const figure_rule *rule = nullptr;
    int engine = 0;                   // the queue, for a queue's figure
    std::array<char, NAME_SIZE> client{}; // the process, for a client's figure
    bool a_known = false;
    bool b_known = false;
    double a = 0.0;
    double b = 0.0;
    double change = 0.0;         // b - a, in the JSON's unit
    bool percent_known = false;  // a is not 0
    double change_percent = 0.0;
    // Larger than MARKED_SHARE of a and than MARKED_POINTS in the table's unit.
    bool marked = false;
};

inline constexpr double MARKED_SHARE = 0.05;
inline constexpr double MARKED_POINTS = 0.5;
// Every queue's and every client's figures of two summaries, and the rest.
inline constexpr int COMPARISON_ROWS = ENGINE_COUNT * 7 + 2 * MAX_CLIENTS * 2 + 12;

struct comparison {
    std::array<comparison_row, COMPARISON_ROWS> rows{};
    int row_count = 0;
};

// The figures of `a` and `b` side by side: each queue's, the run's, the CPU's,
// each client's matched by process name (the n-th of a name in one with the
// n-th in the other), then the conditions.
void compare_summaries(const recorded_summary &a, const recorded_summary &b, comparison &into);

// The comparison as a table, and as one JSON object; each returns 0 or the
// errno of a failed write.
int write_comparison_text(const comparison &rows, const char *a_name, const char *b_name, int fd);
int write_comparison_json(const comparison &rows, const char *a_name, const char *b_name, int fd);
