#include "view/keys.hpp"

#include <algorithm>
#include <cstdint>
#include <ctime>

#include "control/process_state.hpp"
#include "sampling/sampler.hpp"
#include "view/client_columns.hpp"
#include "view/screen_line.hpp"
#include "view/table.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

// 'q' and 'Q' differ only in bit 5.
constexpr int CASE_BIT = 0x20;
constexpr int QUIT_KEY = 'Q';

// The headings of the sortable columns from `from` to `to`, separated by commas.
void add_sortable_headings(screen_line &line, std::size_t from, std::size_t to)
{
    for (std::size_t column = from; column < to; ++column) {
        const table_column &layout = CLIENT_COLUMNS[column];
        if (is_sortable(layout)) {
            add_ascii(line, line.width > 0 ? ", " : "");
            add_ascii(line, layout.heading);
        }
    }
}

} // namespace

void draw_help(const terminal_state &terminal)
{
    constexpr int INDENT = 16;
    show_ascii(0, "GPU Utilisation: keys");
    show_ascii(2, "Down, Up        one row down or up");
    show_ascii(3, "PgDn, PgUp      one screen down or up");
    show_ascii(4, "Home, End       the first or the last rows");
    show_ascii(5, "s, S            sort by the next or previous column, busiest first, marked *:");
    screen_line order;
    add_spaces(order, INDENT);
    add_ascii(order, "census order");
    add_sortable_headings(order, 0, DEFAULT_COLUMN_COUNT);
    int y = 6;
    if (terminal.view.all_queues) {
        add_ascii(order, ",");
        show_line(y++, order);
        screen_line added;
        add_sortable_headings(added, DEFAULT_COLUMN_COUNT, ALL_COLUMN_COUNT);
        screen_line indented;
        add_cell(indented, INDENT, 0, true, added);
        show_line(y++, indented);
    } else {
        show_line(y++, order);
    }
    if (terminal.view.all_queues) {
        show_ascii(y++, "Right, Left     a screen of columns after Process right or left");
        show_ascii(y++, "j               queue columns: busy %, jobs per second, job length");
    }
    show_ascii(y++, "g               show or hide the history chart and column");
    show_ascii(y++, "c               colour on or off");
    if (terminal.view.replay.replaying) {
        show_ascii(y++, "Space           pause the replay or go on");
        show_ascii(y++, ".               one frame on, while paused");
        show_ascii(y++, "+, -            twice or half as fast");
    } else {
        show_ascii(y++, "Space           freeze the screen or go on; sampling goes on");
    }
    show_ascii(y++, "h, ?            this help");
    show_ascii(y++, "q, Q, Ctrl-C    quit");
    show_ascii(y + 1, "Any key goes back to the table.");
}

namespace {

// A replay's keys: its pace instead of the screen's freeze.
bool take_replay_key(replay_pace &replay, int key)
{
    switch (key) {
    case ' ':
        replay.paused = !replay.paused;
        return true;
    case '.':
        replay.step = replay.paused;
        return false;
    case '+':
    case '-':
        replay.speed_shift = std::clamp(replay.speed_shift + (key == '+' ? 1 : -1), SLOWEST_REPLAY_SHIFT,
                                        FASTEST_REPLAY_SHIFT);
        return true;
    default:
        return false;
    }
}

} // namespace

bool take_key(terminal_state &terminal, int key)
{
    if ((key & ~CASE_BIT) == QUIT_KEY) {
        stop_requested = 1;
        return false;
    }
    if (key == KEY_RESIZE) {
        // Nothing of the earlier size may stay on the screen.
        (void)curses.clearok(*curses.current_screen, TRUE);
        keep_position_in_range(terminal);
        return true;
    }
    if (terminal.view.help_shown) {
        terminal.view.help_shown = false;
        return true;
    }
    if (terminal.view.replay.replaying && (key == ' ' || key == '.' || key == '+' || key == '-')) {
        return take_replay_key(terminal.view.replay, key);
    }
    const int page = page_of_rows(terminal).rows;
    switch (key) {
    case 'h':
    case '?':
        terminal.view.help_shown = true;
        return true;
    case 's':
    case 'S':
        (key == 's' ? next_sort_column : previous_sort_column)(terminal);
        order_rows(terminal);
        terminal.view.reveal_sorted = true;
        return true;
    case 'j':
        if (!terminal.view.all_queues) {
            return false;
        }
        terminal.view.figure = terminal.view.figure == queue_figure::busy              ? queue_figure::jobs_per_second
                      : terminal.view.figure == queue_figure::jobs_per_second ? queue_figure::job_length
                                                                     : queue_figure::busy;
        order_rows(terminal);
        break;
    case KEY_RIGHT:
        if (!terminal.view.all_queues || !terminal.view.more_on_right) {
            return false;
        }
        ++terminal.view.scroll_screens;
        return true;
    case KEY_LEFT:
        if (!terminal.view.all_queues || terminal.view.first_scrolled == 0) {
            return false;
        }
        --terminal.view.scroll_screens;
        return true;
    case 'g':
        terminal.view.chart_shown = !terminal.view.chart_shown;
        break;
    case 'c':
        terminal.view.colour_on = !terminal.view.colour_on;
        // Turned off, nothing coloured stays, the chart's bands included.
        terminal.view.colour = terminal.view.colour_on ? terminal.view.colour : colour_choice::never;
        return true;
    case ' ':
        // Thawed, the screen keeps the frozen frame until the next pass.
        terminal.view.frozen = !terminal.view.frozen;
        if (terminal.view.frozen) {
            freeze_shown_frame(terminal);
        }
        return true;
    case KEY_DOWN:
        ++terminal.view.first_shown;
        break;
    case KEY_UP:
        --terminal.view.first_shown;
        break;
    case KEY_NPAGE:
        terminal.view.first_shown += page > 0 ? page : 1;
        break;
    case KEY_PPAGE:
        terminal.view.first_shown -= page > 0 ? page : 1;
        break;
    case KEY_HOME:
        terminal.view.first_shown = 0;
        break;
    case KEY_END:
        terminal.view.first_shown = terminal.view.row_count;
        break;
    default:
        return false;
    }
    keep_position_in_range(terminal);
    return true;
}

void wait_for_keys(terminal_state &terminal, std::int64_t due)
{
    while (stop_requested == 0) {
        bool changed = false;
        for (int taken = 0; taken < KEYS_PER_WAKE && stop_requested == 0; ++taken) {
            const int key = curses.wgetch(*curses.standard_screen);
            if (key == ERR) {
                break;
            }
            changed = take_key(terminal, key) || changed;
        }
        if (changed && stop_requested == 0) {
            draw_view(terminal);
        }
        const std::int64_t now = monotonic_nanoseconds();
        // A replay's step is taken at once.
        if (stop_requested != 0 || now >= due || terminal.view.replay.step) {
            break;
        }
        // The next poll of the keys, or the due time if that comes first. A
        // signal (a stop, or ncurses' own for a resize) wakes it early.
        const std::int64_t wake = std::min(due, now + std::int64_t{KEY_POLL_PAUSE_MS} * 1'000'000);
        const timespec until{static_cast<time_t>(wake / 1'000'000'000), static_cast<long>(wake % 1'000'000'000)};
        (void)clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
    }
}
