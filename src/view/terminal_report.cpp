// The full-screen view: a table of the clients, redrawn each pass and at each
// key from the frame it holds, scrolled and sorted through an index array,
// under a chart of the history the passes leave.
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>

#include "view/terminal_report.hpp"
#include "report/frame.hpp"
#include "view/client_columns.hpp"
#include "view/history.hpp"
#include "view/history_chart.hpp"
#include "view/keys.hpp"
#include "view/screen_line.hpp"
#include "view/table.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

terminal_view view;
std::array<utilisation_row, MAX_CLIENTS> view_rows{};
std::array<int, MAX_CLIENTS> view_order{};

void draw_view()
{
    (void)curses.werase(*curses.standard_screen);
    if (view.help_shown) {
        draw_help();
    } else {
        if (view.all_queues) {
            draw_gpu_block(GPU_BLOCK_LINE);
        }
        draw_chart(chart_line());
        const bool sorted_shown = draw_table(top_lines() - 2);
        // A sorted column scrolled off the screen is named in the title.
        cell_text sorted{};
        if (!sorted_shown) {
            column_heading(view.sort_column, sorted);
        }
        std::array<char, 3 * CELL_SIZE> title{};
        const char *state = view.frozen            ? " - frozen, space resumes"
                            : view.followed_ended ? " (the followed processes have ended)"
                                                  : "";
        (void)std::snprintf(title.data(), title.size(), "GPU Utilisation%s%s%s", state,
                            sorted_shown ? "" : " - sorted by ", sorted_shown ? "" : sorted.data() + 1);
        show_ascii(0, title.data());
    }
    (void)curses.wrefresh(*curses.standard_screen);
}

namespace {

int open_view(bool all_queues)
{
    // Start-up loads the library; a caller that skipped it gets a failure, not a crash.
    if (!terminal_library_loaded()) {
        return ELIBACC;
    }
    // Only the character type: numbers keep their '.' whatever the locale.
    (void)std::setlocale(LC_CTYPE, "");
    view.all_queues = all_queues;
    view.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    view.help_shown = false;
    // -a shows the chart from the start; the key g in either view.
    view.chart_shown = all_queues;
    view.frozen = false;
    view.frozen_passes = 0;
    view.sort_column = CENSUS_ORDER;
    view.first_shown = 0;
    view.figure = queue_figure::busy;
    view.first_scrolled = 0;
    view.scroll_screens = 0;
    view.more_on_right = false;
    view.reveal_sorted = false;
    view.others = {};
    view.row_count = 0;
    view.queue_count = 0;
    (void)curses.initscr();
    (void)curses.cbreak();
    (void)curses.noecho();
    (void)curses.nodelay(*curses.standard_screen, TRUE);
    (void)curses.keypad(*curses.standard_screen, TRUE);
    // A lone Esc waits no longer than a poll for the rest of a key's sequence.
    (void)curses.set_escdelay(KEY_POLL_PAUSE_MS);
    (void)curses.curs_set(0);
    // The frame's outline at once, so that the keys answer before the first figures.
    draw_view();
    return 0;
}

int terminal_open()
{
    return open_view(false);
}

int terminal_all_open()
{
    return open_view(true);
}

// The frame being taken in, for the row of others at its end.
const frame *frame_taken = nullptr;

// While the screen is frozen, a pass adds to the history only; the frame
// shown stays as it was.
int terminal_begin_frame(const frame &whole)
{
    const frame_header &frame = whole.header;
    record_gpu_loads(frame);
    if (view.frozen) {
        return 0;
    }
    frame_taken = &whole;
    view.row_count = 0;
    view.followed_ended = frame.followed_ended;
    view.queue_count = frame.counters != nullptr ? frame.counters->queue_count : 0;
    for (int queue = 0; queue < view.queue_count; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        view.queue_names[index] = frame.counters->queues[index].name;
        view.queues[index] = frame.queues[index];
    }
    return 0;
}

int terminal_row(const utilisation_row &row, double)
{
    record_client_loads(row);
    if (!view.frozen && view.row_count < MAX_CLIENTS) {
        view_rows[static_cast<std::size_t>(view.row_count++)] = row;
    }
    return 0;
}

int terminal_end_frame()
{
    forget_unseen_clients();
    if (view.frozen) {
        // The history the frozen screen shows is this many passes back.
        ++view.frozen_passes;
        return 0;
    }
    view.frozen_passes = 0;
    view.others = frame_taken->others;
    order_rows();
    keep_position_in_range();
    draw_view();
    return 0;
}

int terminal_close()
{
    if (terminal_library_loaded()) {
        (void)curses.endwin();
    }
    return 0;
}

} // namespace

const report_operations TERMINAL_REPORT = {
    terminal_open, terminal_begin_frame, terminal_row, terminal_end_frame, wait_for_keys, terminal_close, "", false,
    SHORTEST_REDRAW_NS,
};

const report_operations TERMINAL_ALL_REPORT = {
    terminal_all_open, terminal_begin_frame, terminal_row, terminal_end_frame, wait_for_keys, terminal_close, "", false,
    SHORTEST_REDRAW_NS,
};
