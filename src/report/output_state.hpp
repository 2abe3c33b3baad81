// What the outputs keep from one frame to the next: one record, owned by the
// entry point with the run's other large records and passed to every report
// operation, so that no output holds state of its own.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "report/metrics_file.hpp"
#include "report/report.hpp"

struct terminal_state;

inline constexpr std::string_view METRICS_FAILURE_LEAD = "Error: cannot write metrics file ";

struct metrics_state {
    std::array<char, METRICS_PATH_SIZE> path{};
    // Where the frames go, found again at each frame: a link may be turned to
    // another file while the exporter runs.
    metrics_target target{};
    output_buffer output{};
    std::string_view card_name;
};

struct output_state {
    // CSV and JSON: standard output, or the file of -o.
    output_buffer stream{};
    int timestamp_decimals = 3;
    bool first_client = true; // JSON: no client of the frame written yet
    metrics_state metrics{};
    // The lead of the message that a failed write ends the run with, for an
    // output whose message names its file.
    std::array<char, METRICS_FAILURE_LEAD.size() + METRICS_PATH_SIZE + 2> failure_text{};
    terminal_state *terminal = nullptr;
    // The column of the client table the view starts sorted by; -1 for census order.
    int sort_column = -1;
    // The time between two frames, in nanoseconds: what one column of the chart spans.
    std::int64_t frame_interval_ns = 0;
    // --color: 0 auto, 1 always, 2 never (the view's colour_choice).
    int colour = 0;
    // The frames come from a recording (--replay), at its pace in the view.
    bool replaying = false;
};

// Keeps the name of the file that PROMETHEUS_REPORT writes and builds its
// failure text, once at start-up; false when the name is too long for a path.
bool set_metrics_file(output_state &state, const char *path);
