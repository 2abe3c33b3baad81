// What the terminal view shows, kept between keys so that a key redraws the
// current frame without a new sample.
#pragma once

#include <array>

#include "report/frame.hpp"
#include "report/report.hpp"
#include "view/colours.hpp"
#include "view/history.hpp"
#include "view/text_screen.hpp"

// Census order: no column sorts the rows.
inline constexpr int CENSUS_ORDER = -1;

// What the queue columns of -a show, switched by the key j.
enum class queue_figure { busy, jobs_per_second, job_length };

// A replay's pace, which its keys set: paused, one frame on asked for while
// paused, the speed as a power of two, and the recording's end reached.
inline constexpr int FASTEST_REPLAY_SHIFT = 6;  // 64 times the recorded pace
inline constexpr int SLOWEST_REPLAY_SHIFT = -4; // a sixteenth of it
struct replay_pace {
    bool replaying = false;
    bool paused = false;
    bool step = false;
    bool ended = false;
    int speed_shift = 0;
};

struct terminal_view {
    bool all_queues = false;
    bool utf8 = false;
    bool help_shown = false;
    bool chart_shown = false;  // the history chart and the history column
    bool frozen = false;       // the screen keeps the frame it had
    int frozen_passes = 0;     // passes sampled since the screen froze
    // A column of CLIENT_COLUMNS, or CENSUS_ORDER. Opening the view sets it, as
    // every field, so that the record can start all zero.
    int sort_column = 0;
    int first_shown = 0; // the position in `order` at the top of the table
    queue_figure figure = queue_figure::busy;
    // With -a, the columns after the name that are scrolled off to the left;
    // screens of columns to scroll right (or left, below 0) at the next
    // drawing; whether the last drawing left columns off to the right, and
    // whether the next one scrolls the sorted column into view.
    int first_scrolled = 0;
    int scroll_screens = 0;
    bool more_on_right = false;
    bool reveal_sorted = false;
    // The busy time of the frame that no listed client accounts for.
    others_load others{};
    int row_count = 0;
    int queue_count = 0;
    // The time between two frames, in nanoseconds: what a column of the chart spans.
    std::int64_t frame_interval_ns = 0;
    // --color, whether the key c has the view in colour, and whether the
    // terminal's colours have been started.
    colour_choice colour = colour_choice::automatic;
    bool colour_on = false;
    bool colours_started = false;
    bool followed_ended = false; // every process of -p has ended
    replay_pace replay{};
    std::array<std::array<char, QUEUE_NAME_SIZE>, MAX_QUEUE_ROWS> queue_names{};
    // Each shown queue's row of the queue table; -1 for one it does not know.
    std::array<int, MAX_QUEUE_ROWS> queue_engines{};
    std::array<queue_load, MAX_QUEUE_ROWS> queues{};
};

// Everything the view keeps between passes and keys, owned with the rest of
// the outputs' state and passed to each of its calls.
struct terminal_state {
    terminal_view view{};
    // The frame shown: the loop's own, or the copy taken when the screen
    // froze, while the passes go on replacing the loop's. Null before the
    // first frame; the copy's pages are only taken by a freeze.
    const frame *shown = nullptr;
    frame frozen_frame{};
    // The rows of `shown` that the view lists, in census order, and the order
    // they are shown in: positions in `listed_rows`.
    std::array<int, MAX_CLIENTS> listed_rows{};
    std::array<int, MAX_CLIENTS> order{};
    view_history history{};
    // What --text draws each frame on.
    text_screen text{};
};

// The listed row at `position` of census order.
inline const utilisation_row &listed_row(const terminal_state &terminal, int position)
{
    return terminal.shown->rows[static_cast<std::size_t>(terminal.listed_rows[static_cast<std::size_t>(position)])];
}

struct output_state;

// The view's settings at its start: -a, the locale's characters, the sort of
// --sort, census order and the first rows otherwise.
void reset_view(terminal_state &terminal, bool all_queues, const output_state &state);

// Shows `whole`: its listed rows and the whole GPU's queues in the view's order.
void take_view_frame(terminal_state &terminal, const frame &whole);

// Keeps the frame shown as it is, whatever the passes bring, until the screen thaws.
void freeze_shown_frame(terminal_state &terminal);

// Draws the whole screen from what the view holds.
void draw_view(terminal_state &terminal);
