// What the terminal view shows, kept between keys so that a key redraws the
// current frame without a new sample.
#pragma once

#include <array>

#include "report/report.hpp"

// Census order: no column sorts the rows.
inline constexpr int CENSUS_ORDER = -1;

struct terminal_view {
    bool all_queues = false;
    bool utf8 = false;
    bool help_shown = false;
    bool chart_shown = false;  // the history chart and the history column
    bool frozen = false;       // the screen keeps the frame it had
    int frozen_passes = 0;     // passes sampled since the screen froze
    int sort_column = CENSUS_ORDER;
    int first_shown = 0; // the position in `order` at the top of the table
    int row_count = 0;
    int queue_count = 0;
    bool followed_ended = false; // every process of -p has ended
    std::array<std::array<char, QUEUE_NAME_SIZE>, MAX_QUEUE_ROWS> queue_names{};
    std::array<queue_load, MAX_QUEUE_ROWS> queues{};
};

extern terminal_view view;
// The frame's rows in census order, and the order they are shown in. Apart
// from the view, all zero, so their pages are only taken by a terminal view.
extern std::array<utilisation_row, MAX_CLIENTS> view_rows;
extern std::array<int, MAX_CLIENTS> view_order;

// Draws the whole screen from what the view holds.
void draw_view();
