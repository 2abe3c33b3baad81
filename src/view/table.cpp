#include "view/table.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "view/client_columns.hpp"
#include "view/history_chart.hpp"
#include "view/screen_line.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

constexpr int GPU_LABEL_WIDTH = 6;
constexpr int GPU_QUEUE_WIDTH = 8;

} // namespace

int chart_line()
{
    return view.all_queues ? ALL_QUEUES_TOP_LINES - 2 : DEFAULT_TOP_LINES - 2;
}

int top_lines()
{
    return (view.all_queues ? ALL_QUEUES_TOP_LINES : DEFAULT_TOP_LINES) + chart_lines();
}

table_page page_of_rows()
{
    const int room = *curses.lines - top_lines();
    if (view.row_count <= room) {
        return {view.row_count, false};
    }
    return {room > 1 ? room - 1 : 0, true};
}

void keep_position_in_range()
{
    const int last_first = view.row_count - page_of_rows().rows;
    if (view.first_shown > last_first) {
        view.first_shown = last_first;
    }
    if (view.first_shown < 0) {
        view.first_shown = 0;
    }
}

void draw_gpu_block(int y)
{
    std::array<cell_text, MAX_QUEUE_ROWS> busy{};
    std::array<cell_text, MAX_QUEUE_ROWS> jobs{};
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    widths[0] = GPU_LABEL_WIDTH;
    for (int queue = 0; queue < view.queue_count; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        (void)std::snprintf(busy[index].data(), CELL_SIZE, "%.1f%%", view.queues[index].busy);
        (void)std::snprintf(jobs[index].data(), CELL_SIZE, "%.1f", view.queues[index].jobs_per_second);
        screen_line name;
        add_name(name, view.queue_names[index].data(), view.utf8);
        widths[index + 1] = std::max({GPU_QUEUE_WIDTH, name.width, static_cast<int>(std::strlen(busy[index].data())),
                                      static_cast<int>(std::strlen(jobs[index].data()))});
        gaps[index + 1] = 1;
    }
    const std::size_t shown = columns_that_fit(static_cast<std::size_t>(view.queue_count) + 1, widths, gaps.data());
    std::array<screen_line, 3> lines;
    add_ascii_cell(lines[0], 0, GPU_LABEL_WIDTH, true, "GPU");
    add_ascii_cell(lines[1], 0, GPU_LABEL_WIDTH, true, "busy");
    add_ascii_cell(lines[2], 0, GPU_LABEL_WIDTH, true, "jobs/s");
    for (std::size_t column = 1; column < shown; ++column) {
        screen_line name;
        add_name(name, view.queue_names[column - 1].data(), view.utf8);
        add_cell(lines[0], 1, widths[column], false, name);
        add_ascii_cell(lines[1], 1, widths[column], false, busy[column - 1].data());
        add_ascii_cell(lines[2], 1, widths[column], false, jobs[column - 1].data());
    }
    for (std::size_t line = 0; line < lines.size(); ++line) {
        show_line(y + static_cast<int>(line), lines[line]);
    }
}

void draw_table(int y)
{
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    measure_columns(widths);
    for (std::size_t column = 0; column < layout_size(); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(column)];
        gaps[column] = layout.gap;
    }
    const std::size_t shown = columns_that_fit(layout_size(), widths, gaps.data());

    screen_line headings;
    for (std::size_t column = 0; column < shown; ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(column)];
        std::array<char, CELL_SIZE> heading{};
        // The sorted column's heading is marked.
        (void)std::snprintf(heading.data(), heading.size(), "%s%s",
                            column_at(column) == view.sort_column ? "*" : "", layout.heading);
        add_ascii_cell(headings, gaps[column], widths[column], layout.left_aligned, heading.data());
    }
    show_line(y, headings);
    screen_line rule;
    for (int cells = 0; cells <= headings.width; ++cells) {
        add_character(rule, L'-', 1);
    }
    show_line(y + 1, rule);

    const table_page page = page_of_rows();
    for (int shown_row = 0; shown_row < page.rows; ++shown_row) {
        const int position = view.first_shown + shown_row;
        if (position >= view.row_count) {
            break;
        }
        const utilisation_row &row = view_rows[static_cast<std::size_t>(view_order[static_cast<std::size_t>(position)])];
        screen_line line;
        for (std::size_t column = 0; column < shown; ++column) {
            const table_column &layout = CLIENT_COLUMNS[column_at(column)];
            screen_line cell;
            make_cell(layout, row, cell);
            add_cell(line, gaps[column], widths[column], layout.left_aligned, cell);
        }
        show_line(y + 2 + shown_row, line);
    }
    if (page.counted && *curses.lines - 1 >= y + 2) {
        screen_line count;
        cell_text text{};
        if (page.rows > 0) {
            (void)std::snprintf(text.data(), text.size(), "Clients %d-%d of %d", view.first_shown + 1,
                                view.first_shown + page.rows, view.row_count);
        } else {
            (void)std::snprintf(text.data(), text.size(), "%d clients", view.row_count);
        }
        add_ascii(count, text.data());
        show_line(*curses.lines - 1, count);
    }
}
