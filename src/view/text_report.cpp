// --text: each frame as plain text on standard output, for logs and ssh: a
// line of the wall-clock time and the interval, the table as the view shows
// it (with -a the GPU block and every column; no chart, no escapes), and an
// empty line. It draws with the view's own code, on a screen in memory.
#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>
#include <ctime>

#include "report/frame.hpp"
#include "report/output_state.hpp"
#include "view/client_columns.hpp"
#include "view/table.hpp"
#include "view/terminal_report.hpp"
#include "view/view_state.hpp"

namespace {

int text_open(output_state &state, bool all_queues)
{
    terminal_state &terminal = *state.terminal;
    reset_view(terminal, all_queues, state);
    terminal.view.chart_shown = false;
    use_text_screen(terminal.text);
    terminal.text.columns = static_cast<int>(LINE_CAPACITY);
    return 0;
}

int text_default_open(output_state &state)
{
    return text_open(state, false);
}

int text_all_open(output_state &state)
{
    return text_open(state, true);
}

int text_begin_frame(output_state &state, const frame &whole)
{
    take_view_frame(*state.terminal, whole);
    return 0;
}

// "2026-12-09T10:14:23+01:00  interval 1 s": local time, ISO 8601.
void append_time_line(output_buffer &output, double wall_time, std::int64_t interval_ns)
{
    const auto seconds = static_cast<time_t>(wall_time);
    tm parts{};
    std::array<char, 40> text{};
    if (localtime_r(&seconds, &parts) != nullptr &&
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S%z", &parts) > 0) {
        // strftime's "+0100" as the extended form "+01:00".
        const std::size_t length = std::strlen(text.data());
        text[length + 1] = '\0';
        text[length] = text[length - 1];
        text[length - 1] = text[length - 2];
        text[length - 2] = ':';
    }
    append_format(output, "%s  interval %g s\n", text.data(), static_cast<double>(interval_ns) / 1e9);
}

// One line of the screen in the locale's encoding, without its trailing spaces.
void append_screen_line(output_buffer &output, const text_screen &screen, int y)
{
    const auto &line = screen.text[static_cast<std::size_t>(y)];
    int length = screen.length[static_cast<std::size_t>(y)];
    while (length > 0 && line[static_cast<std::size_t>(length - 1)] == L' ') {
        --length;
    }
    std::mbstate_t state{};
    for (int index = 0; index < length; ++index) {
        std::array<char, MB_LEN_MAX> bytes{};
        const std::size_t count = std::wcrtomb(bytes.data(), line[static_cast<std::size_t>(index)], &state);
        append_text(output, count == static_cast<std::size_t>(-1) ? "?" : std::string_view(bytes.data(), count));
    }
    append_text(output, "\n");
}

int text_end_frame(output_state &state, const frame &whole)
{
    terminal_state &terminal = *state.terminal;
    terminal.view.others = whole.others;
    order_rows(terminal);
    // A screen just tall enough for every row, so that no row waits for a key.
    terminal.text.lines = std::min(top_lines(terminal) + terminal.view.row_count + (others_row_shown(terminal) ? 1 : 0) +
                                       (unreadable_line_shown(terminal) ? 1 : 0),
                                   TEXT_SCREEN_LINES);
    keep_position_in_range(terminal);
    draw_view(terminal);
    output_buffer &output = state.stream;
    append_time_line(output, whole.header.wall_time, state.frame_interval_ns);
    // The title and the blank line under it are the view's alone.
    int last = terminal.text.lines - 1;
    while (last > 1 && terminal.text.length[static_cast<std::size_t>(last)] == 0) {
        --last;
    }
    for (int y = 2; y <= last; ++y) {
        append_screen_line(output, terminal.text, y);
    }
    const int unreadable = whole.header.unreadable_processes;
    if (unreadable > 0 && !terminal.view.all_queues) {
        std::array<char, UNREADABLE_LINE_SIZE> line{};
        format_unreadable_line(line, unreadable);
        append_format(output, "%s\n", line.data());
    }
    append_text(output, "\n");
    return flush_output(output);
}

int text_close(output_state &state)
{
    return flush_output(state.stream);
}

} // namespace

const report_operations TEXT_REPORT = {
    text_default_open, text_begin_frame, nullptr, text_end_frame, nullptr, text_close,
    "Error: cannot write text output: ", false,
};

const report_operations TEXT_ALL_REPORT = {
    text_all_open, text_begin_frame, nullptr, text_end_frame, nullptr, text_close,
    "Error: cannot write text output: ", false,
};
