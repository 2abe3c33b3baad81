// The full-screen view: a table of the clients, redrawn each pass and at each
// key from the frame it holds, scrolled and sorted through an index array,
// under a chart of the history the passes leave.

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "view/terminal_report.hpp"
#include "report/frame.hpp"
#include "report/output_state.hpp"
#include "report/run_summary.hpp"
#include "view/client_columns.hpp"
#include "view/history.hpp"
#include "view/history_chart.hpp"
#include "view/keys.hpp"
#include "view/screen_line.hpp"
#include "view/table.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

constexpr std::size_t REPLAY_TEXT_SIZE = 64;

// " - replay 2x 2026-12-09T10:40:01.250Z, paused": the pace, and the recorded
// time of the frame shown (UTC, as the recording may come from elsewhere).
void describe_replay(const terminal_state &terminal, std::array<char, REPLAY_TEXT_SIZE> &text)
{
    const replay_pace &replay = terminal.view.replay;
    std::array<char, 32> time{};
    if (terminal.shown != nullptr) {
        format_utc_time(terminal.shown->header.wall_time, time);
    }
    if (replay.ended) {
        (void)std::snprintf(text.data(), text.size(), " - end of recording %s", time.data());
        return;
    }
    const int shift = replay.speed_shift;
    (void)std::snprintf(text.data(), text.size(), " - replay %s%dx %s%s", shift < 0 ? "1/" : "",
                        1 << (shift < 0 ? -shift : shift), time.data(), replay.paused ? ", paused" : "");
}

} // namespace

void draw_view(terminal_state &terminal)
{
    (void)curses.werase(*curses.standard_screen);
    if (terminal.view.help_shown) {
        draw_help(terminal);
    } else {
        if (terminal.view.all_queues) {
            draw_gpu_block(terminal, GPU_BLOCK_LINE);
            draw_conditions_line(terminal, CONDITIONS_LINE);
        }
        draw_chart(terminal, chart_line(terminal));
        const bool sorted_shown = draw_table(terminal, top_lines(terminal) - 2);
        // A sorted column scrolled off the screen is named in the title.
        cell_text sorted{};
        if (!sorted_shown) {
            column_heading(terminal, terminal.view.sort_column, sorted);
        }
        std::array<char, 3 * CELL_SIZE> title{};
        std::array<char, REPLAY_TEXT_SIZE> replay{};
        if (terminal.view.replay.replaying) {
            describe_replay(terminal, replay);
        }
        const char *state = terminal.view.frozen            ? " - frozen, space resumes"
                            : terminal.view.followed_ended ? " (the followed processes have ended)"
                                                  : replay.data();
        (void)std::snprintf(title.data(), title.size(), "GPU Utilisation%s%s%s", state,
                            sorted_shown ? "" : " - sorted by ", sorted_shown ? "" : sorted.data() + 1);
        show_ascii(0, title.data());
    }
    (void)curses.wrefresh(*curses.standard_screen);
}

void freeze_shown_frame(terminal_state &terminal)
{
    if (terminal.shown != nullptr && terminal.shown != &terminal.frozen_frame) {
        terminal.frozen_frame = *terminal.shown;
        // The samples the header points into move on; the view keeps its own copy of the queues.
        terminal.frozen_frame.header.counters = nullptr;
        terminal.frozen_frame.previous.counters = nullptr;
        terminal.shown = &terminal.frozen_frame;
    }
}

namespace {

int open_view(terminal_state &terminal, bool all_queues, const output_state &state)
{
    // Start-up loads the library; a caller that skipped it gets a failure, not a crash.
    if (!terminal_library_loaded()) {
        return ELIBACC;
    }
    reset_view(terminal, all_queues, state);
    (void)curses.initscr();
    (void)curses.cbreak();
    (void)curses.noecho();
    (void)curses.nodelay(*curses.standard_screen, TRUE);
    (void)curses.keypad(*curses.standard_screen, TRUE);
    // A lone Esc waits no longer than a poll for the rest of a key's sequence.
    (void)curses.set_escdelay(KEY_POLL_PAUSE_MS);
    (void)curses.curs_set(0);
    // The frame's outline at once, so that the keys answer before the first figures.
    draw_view(terminal);
    return 0;
}

int terminal_open(output_state &state)
{
    return open_view(*state.terminal, false, state);
}

int terminal_all_open(output_state &state)
{
    return open_view(*state.terminal, true, state);
}

// While the screen is frozen, a pass adds to the history only; the frame
// shown stays as it was.
int terminal_begin_frame(output_state &state, const frame &whole)
{
    terminal_state &terminal = *state.terminal;
    const frame_header &frame = whole.header;
    record_gpu_loads(terminal.history.gpu, frame);
    if (terminal.view.frozen) {
        return 0;
    }
    take_view_frame(terminal, whole);
    return 0;
}

int terminal_row(output_state &state, const utilisation_row &row, double)
{
    record_client_loads(state.terminal->history, row);
    return 0;
}

int terminal_end_frame(output_state &state, const frame &whole)
{
    terminal_state &terminal = *state.terminal;
    forget_unseen_clients(terminal.history);
    if (terminal.view.frozen) {
        // The history the frozen screen shows is this many passes back.
        ++terminal.view.frozen_passes;
        return 0;
    }
    terminal.view.frozen_passes = 0;
    terminal.view.others = whole.others;
    order_rows(terminal);
    keep_position_in_range(terminal);
    draw_view(terminal);
    return 0;
}

int terminal_close(output_state &)
{
    if (terminal_library_loaded()) {
        (void)curses.endwin();
    }
    return 0;
}

void terminal_wait(output_state &state, std::int64_t due)
{
    wait_for_keys(*state.terminal, due);
}

} // namespace

const report_operations TERMINAL_REPORT = {
    terminal_open, terminal_begin_frame, terminal_row, terminal_end_frame, terminal_wait, terminal_close, "", false,
    SHORTEST_REDRAW_NS,
};

const report_operations TERMINAL_ALL_REPORT = {
    terminal_all_open, terminal_begin_frame, terminal_row, terminal_end_frame, terminal_wait, terminal_close, "", false,
    SHORTEST_REDRAW_NS,
};
