// What the view shows, taken from the frames: the view's settings at its
// start, and each frame's rows and queues, for the screen and for --text.
#include <langinfo.h>

#include <clocale>
#include <cstring>

#include "report/output_state.hpp"
#include "view/view_state.hpp"

namespace {

// The whole GPU's queues in the view's one order, the queue table's, under its
// headings (the driver's cpu queue is cpu_job, beside the process's CPU);
// then any row of a queue the table does not know, as the file names it.
void take_gpu_queues(terminal_view &view, const frame_header &frame)
{
    view.queue_count = 0;
    if (frame.counters == nullptr) {
        return;
    }
    const gpu_counters &counters = *frame.counters;
    const auto take = [&view, &frame](int row, int engine, const char *name) {
        auto &shown_name = view.queue_names[static_cast<std::size_t>(view.queue_count)];
        shown_name = {};
        std::strncpy(shown_name.data(), name, shown_name.size() - 1);
        view.queue_engines[static_cast<std::size_t>(view.queue_count)] = engine;
        view.queues[static_cast<std::size_t>(view.queue_count++)] = frame.queues[static_cast<std::size_t>(row)];
    };
    std::array<bool, MAX_QUEUE_ROWS> taken{};
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        if (counters.queue_listed[engine]) {
            taken[static_cast<std::size_t>(counters.queue_rows[engine])] = true;
            take(counters.queue_rows[engine], static_cast<int>(engine), QUEUE_TABLE[engine].heading);
        }
    }
    for (int row = 0; row < counters.queue_count; ++row) {
        if (!taken[static_cast<std::size_t>(row)]) {
            take(row, -1, counters.queues[static_cast<std::size_t>(row)].name.data());
        }
    }
}

} // namespace

void reset_view(terminal_state &terminal, bool all_queues, const output_state &state)
{
    // Only the character type: numbers keep their '.' whatever the locale.
    (void)std::setlocale(LC_CTYPE, "");
    terminal.view.all_queues = all_queues;
    terminal.view.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    terminal.view.help_shown = false;
    // -a shows the chart from the start; the key g in either view.
    terminal.view.chart_shown = all_queues;
    terminal.view.frozen = false;
    terminal.view.frozen_passes = 0;
    terminal.view.replay = {};
    terminal.view.replay.replaying = state.replaying;
    terminal.view.sort_column = state.sort_column;
    terminal.view.frame_interval_ns = state.frame_interval_ns;
    terminal.view.colour = static_cast<colour_choice>(state.colour);
    terminal.view.colour_on = terminal.view.colour == colour_choice::always ||
                              (terminal.view.colour == colour_choice::automatic && all_queues);
    terminal.view.first_shown = 0;
    terminal.view.figure = queue_figure::busy;
    terminal.view.first_scrolled = 0;
    terminal.view.scroll_screens = 0;
    terminal.view.more_on_right = false;
    terminal.view.reveal_sorted = false;
    terminal.view.others = {};
    terminal.view.row_count = 0;
    terminal.shown = nullptr;
    terminal.view.queue_count = 0;
}

void take_view_frame(terminal_state &terminal, const frame &whole)
{
    const frame_header &frame = whole.header;
    terminal.shown = &whole;
    terminal.view.row_count = 0;
    for (int index = 0; index < whole.row_count; ++index) {
        if (whole.listed[static_cast<std::size_t>(index)]) {
            terminal.listed_rows[static_cast<std::size_t>(terminal.view.row_count++)] = index;
        }
    }
    terminal.view.followed_ended = frame.followed_ended;
    take_gpu_queues(terminal.view, frame);
}
