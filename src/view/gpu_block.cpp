// The whole GPU's block of -a above the table: each queue in the view's order,
// its busy per cent, jobs per second and the average job's length.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "view/colours.hpp"
#include "view/column_layout.hpp"
#include "view/screen_line.hpp"
#include "view/table.hpp"
#include "view/view_state.hpp"

namespace {

constexpr int GPU_LABEL_WIDTH = 6;
constexpr int GPU_QUEUE_WIDTH = 8;

} // namespace

void draw_gpu_block(terminal_state &terminal, int y)
{
    // The queues' names, then busy per cent, jobs per second and the average
    // job's length in ms.
    constexpr std::size_t BLOCK_LINES = 4;
    constexpr std::size_t FIGURES = BLOCK_LINES - 1;
    std::array<std::array<cell_text, FIGURES>, MAX_QUEUE_ROWS> figures{};
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    widths[0] = GPU_LABEL_WIDTH;
    for (int queue = 0; queue < terminal.view.queue_count; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        const queue_load &load = terminal.view.queues[index];
        std::array<cell_text, FIGURES> &cells = figures[index];
        (void)std::snprintf(cells[0].data(), CELL_SIZE, "%.1f%%", load.busy);
        (void)std::snprintf(cells[1].data(), CELL_SIZE, "%.1f", load.jobs_per_second);
        if (load.job_milliseconds == NO_JOB_LENGTH) {
            (void)std::snprintf(cells[2].data(), CELL_SIZE, "-");
        } else {
            (void)std::snprintf(cells[2].data(), CELL_SIZE, "%.1f", load.job_milliseconds);
        }
        screen_line name;
        add_name(name, terminal.view.queue_names[index].data(), terminal.view.utf8);
        widths[index + 1] = std::max(GPU_QUEUE_WIDTH, name.width);
        for (const cell_text &cell : cells) {
            widths[index + 1] = std::max(widths[index + 1], static_cast<int>(std::strlen(cell.data())));
        }
        gaps[index + 1] = 1;
    }
    const std::size_t shown =
        columns_that_fit(terminal, static_cast<std::size_t>(terminal.view.queue_count) + 1, widths, gaps.data());
    std::array<screen_line, BLOCK_LINES> lines;
    const int heading = style_attribute(terminal, cell_style::heading);
    for (std::size_t line = 0; line < BLOCK_LINES; ++line) {
        constexpr std::array<const char *, BLOCK_LINES> LABELS = {"GPU", "busy", "jobs/s", "job ms"};
        lines[line].attribute = heading;
        add_ascii_cell(lines[line], 0, GPU_LABEL_WIDTH, true, LABELS[line]);
        lines[line].attribute = 0;
    }
    for (std::size_t column = 1; column < shown; ++column) {
        screen_line name;
        name.attribute = style_attribute(terminal, queue_style(terminal.view.queue_engines[column - 1]));
        add_name(name, terminal.view.queue_names[column - 1].data(), terminal.view.utf8);
        add_cell(lines[0], 1, widths[column], false, name);
        for (std::size_t figure = 0; figure < FIGURES; ++figure) {
            screen_line cell;
            cell.attribute = figure == 0 ? style_attribute(terminal, busy_style(terminal.view.queues[column - 1].busy)) : 0;
            add_ascii(cell, figures[column - 1][figure].data());
            add_cell(lines[figure + 1], 1, widths[column], false, cell);
        }
    }
    for (std::size_t line = 0; line < lines.size(); ++line) {
        show_line(y + static_cast<int>(line), lines[line]);
    }
}

