#include "view/table.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "view/client_columns.hpp"
#include "view/column_layout.hpp"
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

bool others_row_shown()
{
    return view.all_queues && view.figure == queue_figure::busy && view.others.shown;
}

table_page page_of_rows()
{
    const int room = *curses.lines - top_lines() - (others_row_shown() ? 1 : 0);
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
    // The queues' names, then busy per cent, jobs per second and the average
    // job's length in ms.
    constexpr std::size_t BLOCK_LINES = 4;
    constexpr std::size_t FIGURES = BLOCK_LINES - 1;
    std::array<std::array<cell_text, FIGURES>, MAX_QUEUE_ROWS> figures{};
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    widths[0] = GPU_LABEL_WIDTH;
    for (int queue = 0; queue < view.queue_count; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        const queue_load &load = view.queues[index];
        std::array<cell_text, FIGURES> &cells = figures[index];
        (void)std::snprintf(cells[0].data(), CELL_SIZE, "%.1f%%", load.busy);
        (void)std::snprintf(cells[1].data(), CELL_SIZE, "%.1f", load.jobs_per_second);
        if (load.job_milliseconds == NO_JOB_LENGTH) {
            (void)std::snprintf(cells[2].data(), CELL_SIZE, "-");
        } else {
            (void)std::snprintf(cells[2].data(), CELL_SIZE, "%.1f", load.job_milliseconds);
        }
        screen_line name;
        add_name(name, view.queue_names[index].data(), view.utf8);
        widths[index + 1] = std::max(GPU_QUEUE_WIDTH, name.width);
        for (const cell_text &cell : cells) {
            widths[index + 1] = std::max(widths[index + 1], static_cast<int>(std::strlen(cell.data())));
        }
        gaps[index + 1] = 1;
    }
    const std::size_t shown = columns_that_fit(static_cast<std::size_t>(view.queue_count) + 1, widths, gaps.data());
    std::array<screen_line, BLOCK_LINES> lines;
    add_ascii_cell(lines[0], 0, GPU_LABEL_WIDTH, true, "GPU");
    add_ascii_cell(lines[1], 0, GPU_LABEL_WIDTH, true, "busy");
    add_ascii_cell(lines[2], 0, GPU_LABEL_WIDTH, true, "jobs/s");
    add_ascii_cell(lines[3], 0, GPU_LABEL_WIDTH, true, "job ms");
    for (std::size_t column = 1; column < shown; ++column) {
        screen_line name;
        add_name(name, view.queue_names[column - 1].data(), view.utf8);
        add_cell(lines[0], 1, widths[column], false, name);
        for (std::size_t figure = 0; figure < FIGURES; ++figure) {
            add_ascii_cell(lines[figure + 1], 1, widths[column], false, figures[column - 1][figure].data());
        }
    }
    for (std::size_t line = 0; line < lines.size(); ++line) {
        show_line(y + static_cast<int>(line), lines[line]);
    }
}

namespace {

// The row of the busy time no listed client accounts for, under the
// clients: "!" where their sum is inflated past the whole GPU's.
void add_others_row(screen_line &line, const std::array<int, MAX_COLUMNS> &positions, std::size_t shown,
                    const std::array<int, MAX_COLUMNS> &widths, const std::array<int, MAX_COLUMNS> &gaps)
{
    for (std::size_t place = 0; place < shown; ++place) {
        const auto position = static_cast<std::size_t>(positions[place]);
        const table_column &layout = CLIENT_COLUMNS[column_at(position)];
        cell_text text{};
        if (layout.kind == column_kind::name) {
            (void)std::snprintf(text.data(), text.size(), "(others)");
        } else if (layout.kind == column_kind::engine) {
            const auto engine = static_cast<std::size_t>(layout.index);
            if (!view.others.listed[engine]) {
                (void)std::snprintf(text.data(), text.size(), "-");
            } else if (view.others.overcount[engine]) {
                (void)std::snprintf(text.data(), text.size(), "!");
            } else {
                (void)std::snprintf(text.data(), text.size(), "%.1f%%", view.others.busy[engine]);
            }
        }
        add_ascii_cell(line, gaps[position], widths[position], layout.left_aligned, text.data());
    }
}

} // namespace

bool draw_table(int y)
{
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    measure_columns(widths);
    for (std::size_t column = 0; column < layout_size(); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(column)];
        gaps[column] = layout.gap;
    }
    std::array<int, MAX_COLUMNS> positions{};
    const std::size_t shown = choose_columns(widths, gaps.data(), positions);
    bool sorted_shown = view.sort_column == CENSUS_ORDER;

    screen_line headings;
    for (std::size_t place = 0; place < shown; ++place) {
        const auto position = static_cast<std::size_t>(positions[place]);
        const int column = column_at(position);
        cell_text heading{};
        column_heading(column, heading);
        sorted_shown = sorted_shown || column == view.sort_column;
        add_ascii_cell(headings, gaps[position], widths[position], CLIENT_COLUMNS[column].left_aligned, heading.data());
    }
    show_line(y, headings);
    screen_line rule;
    for (int cells = 0; cells <= headings.width; ++cells) {
        add_character(rule, L'-', 1);
    }
    // With -a, arrows on the rule say that columns are scrolled off that side.
    const auto rule_end = std::min(rule.length, static_cast<std::size_t>(std::max(*curses.columns, 1)));
    if (view.all_queues && view.more_on_right && rule_end > 0) {
        rule.text[rule_end - 1] = L'>';
    }
    if (view.all_queues && view.first_scrolled > 0 && shown > FIXED_COLUMN_COUNT) {
        int edge = 0;
        for (std::size_t place = 0; place < FIXED_COLUMN_COUNT; ++place) {
            const auto position = static_cast<std::size_t>(positions[place]);
            edge += gaps[position] + widths[position];
        }
        rule.text[static_cast<std::size_t>(edge)] = L'<';
    }
    show_line(y + 1, rule);

    const table_page page = page_of_rows();
    int shown_rows = 0;
    for (; shown_rows < page.rows && view.first_shown + shown_rows < view.row_count; ++shown_rows) {
        const int listed = view.first_shown + shown_rows;
        const int order = view_order[static_cast<std::size_t>(listed)];
        const utilisation_row &row = view_rows[static_cast<std::size_t>(order)];
        screen_line line;
        for (std::size_t place = 0; place < shown; ++place) {
            const auto position = static_cast<std::size_t>(positions[place]);
            const table_column &layout = CLIENT_COLUMNS[column_at(position)];
            screen_line cell;
            make_cell(layout, row, cell);
            add_cell(line, gaps[position], widths[position], layout.left_aligned, cell);
        }
        show_line(y + 2 + shown_rows, line);
    }
    if (others_row_shown() && y + 2 + shown_rows < *curses.lines - (page.counted ? 1 : 0)) {
        screen_line line;
        add_others_row(line, positions, shown, widths, gaps);
        show_line(y + 2 + shown_rows, line);
    }
    // With -a the count has the last line even when the table leaves it no
    // room: a table without a single row must say why.
    if (page.counted && (view.all_queues || *curses.lines - 1 >= y + 2)) {
        screen_line count;
        cell_text text{};
        if (page.rows > 0) {
            (void)std::snprintf(text.data(), text.size(), "Clients %d-%d of %d", view.first_shown + 1,
                                view.first_shown + page.rows, view.row_count);
        } else if (view.all_queues) {
            (void)std::snprintf(text.data(), text.size(), "Clients 0 of %d shown: enlarge the terminal",
                                view.row_count);
        } else {
            (void)std::snprintf(text.data(), text.size(), "%d clients", view.row_count);
        }
        add_ascii(count, text.data());
        if (page.rows == 0 && view.all_queues) {
            // It may stand on a line of the table: nothing of that may stay.
            add_spaces(count, *curses.columns - count.width);
        }
        show_line(*curses.lines - 1, count);
    }
    return sorted_shown;
}
