#include "view/history_chart.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "view/colours.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

// Below this many lines the table keeps the whole screen.
constexpr int CHART_LEAST_LINES = 24;
constexpr int CHART_MOST_ROWS = 8;
// "render 100.0%" and a space before the chart.
constexpr int LEGEND_WIDTH = 14;

// Parts of a chart cell filled from the bottom, empty first: eighths of a
// block in UTF-8, quarters in ASCII.
constexpr wchar_t BLOCK_LEVELS[] = L" \u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588";
constexpr wchar_t ASCII_LEVELS[] = L" .:|#";
// The sparkline's levels, lowest first; the lowest is a mark, so that an idle
// client's line shows, where a client too new for a sample shows nothing.
constexpr wchar_t SPARK_BLOCKS[] = L"\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588";
constexpr wchar_t SPARK_ASCII[] = L"_.:|#";

// The steps above the lowest character: the characters less that one and the null.
template <std::size_t SIZE>
constexpr int level_count(const wchar_t (&)[SIZE])
{
    return static_cast<int>(SIZE) - 2;
}

// A busy share in `steps` equal steps of 0 to 100 %, nearest; work that the
// table shows as 0.1 % or more takes one step at least.
int steps_of(double busy, int steps)
{
    const double share = std::clamp(busy, 0.0, 100.0) / 100.0;
    // Rounded to the nearest step by hand: libm's lround would make the
    // program load a second library, and a half-ulp error at an exact half
    // step cannot show in a chart.
    const auto filled = static_cast<int>(share * steps + 0.5); // NOLINT(bugprone-incorrect-roundings)
    return filled == 0 && busy >= 0.05 ? 1 : filled;
}

int listed_queue_count(const terminal_state &terminal)
{
    return static_cast<int>(std::count(terminal.history.gpu.listed.begin(), terminal.history.gpu.listed.end(), true));
}

// Rows per queue: a quarter of the lines beyond 24, at least one, and the
// whole chart no more than half the screen, so that the table keeps the rest.
int rows_per_queue(const terminal_state &terminal)
{
    if (!terminal.view.chart_shown || *curses.lines < CHART_LEAST_LINES) {
        return 0;
    }
    const int half = (*curses.lines / 2 - 1) / std::max(listed_queue_count(terminal), 1);
    return std::clamp(std::min((*curses.lines - CHART_LEAST_LINES) / 4, half), 1, CHART_MOST_ROWS);
}

// The chart's columns: on the widest terminals the ring, or the line's room, ends it on the left.
int chart_width()
{
    return std::min({*curses.columns - LEGEND_WIDTH, static_cast<int>(GPU_HISTORY_SIZE),
                     static_cast<int>(LINE_CAPACITY) - LEGEND_WIDTH});
}

// Under the chart, in the legend's place: what its height and width mean,
// "each band 0-100 %, last 2 min".
void draw_scale(const terminal_state &terminal, int y)
{
    constexpr double SECONDS_PER_MINUTE = 60.0;
    constexpr double LONGEST_IN_SECONDS = 90.0;
    constexpr double LONGEST_IN_MINUTES = 90.0 * SECONDS_PER_MINUTE;
    const double seconds = static_cast<double>(terminal.view.frame_interval_ns) / 1e9 * chart_width();
    std::array<char, 2 * CELL_SIZE> text{};
    const char *const format = seconds < LONGEST_IN_SECONDS   ? "each band 0-100 %%, last %.0f s"
                               : seconds < LONGEST_IN_MINUTES ? "each band 0-100 %%, last %.0f min"
                                                              : "each band 0-100 %%, last %.0f h";
    const double span = seconds < LONGEST_IN_SECONDS   ? seconds
                        : seconds < LONGEST_IN_MINUTES ? seconds / SECONDS_PER_MINUTE
                                                       : seconds / (SECONDS_PER_MINUTE * SECONDS_PER_MINUTE);
    (void)std::snprintf(text.data(), text.size(), format, span);
    screen_line line;
    add_spaces(line, LEGEND_WIDTH);
    add_ascii(line, text.data());
    show_line(y, line);
}

// One queue's band of `rows` lines from `y` down, its legend on the top line.
void draw_band(terminal_state &terminal, int y, int rows, std::size_t queue)
{
    const history_ring<GPU_HISTORY_SIZE> &ring = terminal.history.gpu.queues[queue];
    const auto frozen = static_cast<std::size_t>(terminal.view.frozen_passes);
    const wchar_t *const levels = terminal.view.utf8 ? BLOCK_LEVELS : ASCII_LEVELS;
    const int per_cell = terminal.view.utf8 ? level_count(BLOCK_LEVELS) : level_count(ASCII_LEVELS);
    const int width = chart_width();
    double latest = 0.0;
    const bool known = sample_at(ring, frozen, latest);
    // The band, and its legend, in the queue's own colour.
    const int colour = style_attribute(terminal, queue_style(CHART_ENGINES[queue]));
    for (int row = 0; row < rows; ++row) {
        screen_line line;
        line.attribute = colour;
        if (row == 0) {
            cell_text legend{};
            (void)std::snprintf(legend.data(), legend.size(), known ? "%-6s %5.1f%%" : "%-6s      -",
                                ENGINE_NAMES[static_cast<std::size_t>(CHART_ENGINES[queue])], latest);
            add_ascii_cell(line, 0, LEGEND_WIDTH, true, legend.data());
        } else {
            add_spaces(line, LEGEND_WIDTH);
        }
        // The steps below this line's cells fill it no further.
        const int below = (rows - 1 - row) * per_cell;
        for (int column = 0; column < width; ++column) {
            double busy = 0.0;
            int filled = 0;
            if (sample_at(ring, frozen + static_cast<std::size_t>(width - 1 - column), busy)) {
                filled = std::clamp(steps_of(busy, rows * per_cell) - below, 0, per_cell);
            }
            add_character(line, levels[filled], 1);
        }
        show_line(y + row, line);
    }
}

} // namespace

int chart_lines(const terminal_state &terminal)
{
    const int queues = listed_queue_count(terminal);
    const int rows = rows_per_queue(terminal);
    return queues > 0 && rows > 0 ? queues * rows + 1 : 0;
}

void draw_chart(terminal_state &terminal, int y)
{
    const int rows = rows_per_queue(terminal);
    if (rows == 0 || listed_queue_count(terminal) == 0) {
        return;
    }
    for (std::size_t queue = 0; queue < CHART_ENGINES.size(); ++queue) {
        if (terminal.history.gpu.listed[queue]) {
            draw_band(terminal, y, rows, queue);
            y += rows;
        }
    }
    draw_scale(terminal, y);
}

void add_sparkline(terminal_state &terminal, screen_line &line, const client_history *client, int engine)
{
    const wchar_t *const levels = terminal.view.utf8 ? SPARK_BLOCKS : SPARK_ASCII;
    const int steps = terminal.view.utf8 ? level_count(SPARK_BLOCKS) : level_count(SPARK_ASCII);
    const auto frozen = static_cast<std::size_t>(terminal.view.frozen_passes);
    // The figure the queue columns show: busy per cent on its 0 to 100 scale,
    // jobs per second and job lengths against the largest in the line.
    const auto figure = static_cast<std::size_t>(terminal.view.figure);
    const history_ring<CLIENT_HISTORY_SIZE> *ring =
        client != nullptr ? &client->figures[figure][static_cast<std::size_t>(engine)] : nullptr;
    double largest = 0.0;
    for (int column = 0; ring != nullptr && column < SPARKLINE_WIDTH; ++column) {
        double value = 0.0;
        if (sample_at(*ring, frozen + static_cast<std::size_t>(column), value)) {
            largest = std::max(largest, value);
        }
    }
    for (int column = 0; column < SPARKLINE_WIDTH; ++column) {
        double value = 0.0;
        const auto age = frozen + static_cast<std::size_t>(SPARKLINE_WIDTH - 1 - column);
        if (ring == nullptr || !sample_at(*ring, age, value) || value < 0.0) {
            add_character(line, L' ', 1);
            continue;
        }
        const double share = figure == 0 ? value : largest > 0.0 ? value / largest * 100.0 : 0.0;
        add_character(line, levels[std::clamp(steps_of(share, steps), 0, steps)], 1);
    }
}
