#include <curses.h>

#include "control/process_state.hpp"
#include "report/report.hpp"

namespace {

constexpr int KEY_POLL_PAUSE_MS = 100;
// 'q' and 'Q' differ only in bit 5.
constexpr int CASE_BIT = 0x20;
constexpr int QUIT_KEY = 'Q';

int terminal_open()
{
    initscr();
    cbreak();
    noecho();
    nodelay(stdscr, TRUE);
    curs_set(0);
    return 0;
}

int terminal_begin_frame(const frame_summary &)
{
    wclear(stdscr);
    mvprintw(0, 0, "GPU Utilisation\n\n");
    printw("%6s  %-8s %-16s %8s %8s %8s %8s\n", "Client", "PID", "Process", "render", "tfu", "bin", "CPU");
    printw("----------------------------------------------------------------------\n");
    return 0;
}

int terminal_row(const utilisation_row &row, double)
{
    printw("%6llu  %-8d %-16s %7.1f%% %7.1f%% %7.1f%% %7.1f%%\n", static_cast<unsigned long long>(row.client_id),
           row.pid, row.name.data(),
           row.engine[ENGINE_RENDER], row.engine[ENGINE_TFU], row.engine[ENGINE_BIN], row.cpu);
    return 0;
}

int terminal_end_frame()
{
    wrefresh(stdscr);
    return 0;
}

// Key polls for one sample interval; a quit key ends the wait at once.
void terminal_wait()
{
    const std::int64_t poll_count = sample_interval_ns / (KEY_POLL_PAUSE_MS * 1'000'000LL);
    for (std::int64_t polls = poll_count > 0 ? poll_count : 1; polls > 0 && stop_requested == 0; --polls) {
        const int key = wgetch(stdscr);
        if ((key & ~CASE_BIT) == QUIT_KEY) {
            stop_requested = 1;
        } else {
            napms(KEY_POLL_PAUSE_MS);
        }
    }
}

int terminal_close()
{
    endwin();
    return 0;
}

} // namespace

const report_operations TERMINAL_REPORT = {
    terminal_open, terminal_begin_frame, terminal_row, terminal_end_frame, terminal_wait, terminal_close, "", false,
};
