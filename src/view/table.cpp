#include "view/table.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "view/client_columns.hpp"
#include "view/colours.hpp"
#include "view/column_layout.hpp"
#include "view/history_chart.hpp"
#include "view/screen_line.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

int chart_line(const terminal_state &terminal)
{
    return terminal.view.all_queues ? ALL_QUEUES_TOP_LINES - 2 : DEFAULT_TOP_LINES - 2;
}

int top_lines(const terminal_state &terminal)
{
    return (terminal.view.all_queues ? ALL_QUEUES_TOP_LINES : DEFAULT_TOP_LINES) + chart_lines(terminal);
}

bool others_row_shown(const terminal_state &terminal)
{
    return terminal.view.all_queues && terminal.view.figure == queue_figure::busy && terminal.view.others.shown;
}

bool unreadable_line_shown(const terminal_state &terminal)
{
    return terminal.view.all_queues && terminal.shown != nullptr && terminal.shown->header.unreadable_processes > 0;
}

table_page page_of_rows(terminal_state &terminal)
{
    const int room = *curses.lines - top_lines(terminal) - (others_row_shown(terminal) ? 1 : 0) -
                     (unreadable_line_shown(terminal) ? 1 : 0);
    if (terminal.view.row_count <= room) {
        return {terminal.view.row_count, false};
    }
    return {room > 1 ? room - 1 : 0, true};
}

void keep_position_in_range(terminal_state &terminal)
{
    const int last_first = terminal.view.row_count - page_of_rows(terminal).rows;
    if (terminal.view.first_shown > last_first) {
        terminal.view.first_shown = last_first;
    }
    if (terminal.view.first_shown < 0) {
        terminal.view.first_shown = 0;
    }
}

namespace {

// The row of the busy time no listed client accounts for, under the
// clients: "!" where their sum is inflated past the whole GPU's.
void add_others_row(terminal_state &terminal, screen_line &line, const std::array<int, MAX_COLUMNS> &positions,
                    std::size_t shown, const std::array<int, MAX_COLUMNS> &widths,
                    const std::array<int, MAX_COLUMNS> &gaps)
{
    for (std::size_t place = 0; place < shown; ++place) {
        const auto position = static_cast<std::size_t>(positions[place]);
        const table_column &layout = CLIENT_COLUMNS[column_at(terminal, position)];
        cell_text text{};
        cell_style style = cell_style::plain;
        if (layout.kind == column_kind::name) {
            (void)std::snprintf(text.data(), text.size(), "(others)");
        } else if (layout.kind == column_kind::engine) {
            const auto engine = static_cast<std::size_t>(layout.index);
            if (!terminal.view.others.listed[engine]) {
                (void)std::snprintf(text.data(), text.size(), "-");
            } else if (terminal.view.others.overcount[engine]) {
                (void)std::snprintf(text.data(), text.size(), "!");
                style = cell_style::warning;
            } else {
                (void)std::snprintf(text.data(), text.size(), "%.1f%%", terminal.view.others.busy[engine]);
                style = busy_style(terminal.view.others.busy[engine]);
            }
        }
        screen_line cell;
        cell.attribute = style_attribute(terminal, style);
        add_ascii(cell, text.data());
        add_cell(line, gaps[position], widths[position], layout.left_aligned, cell);
    }
}

} // namespace

bool draw_table(terminal_state &terminal, int y)
{
    std::array<int, MAX_COLUMNS> widths{};
    std::array<int, MAX_COLUMNS> gaps{};
    measure_columns(terminal, widths);
    for (std::size_t column = 0; column < layout_size(terminal); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(terminal, column)];
        gaps[column] = layout.gap;
    }
    std::array<int, MAX_COLUMNS> positions{};
    const std::size_t shown = choose_columns(terminal, widths, gaps.data(), positions);
    bool sorted_shown = terminal.view.sort_column == CENSUS_ORDER;

    screen_line headings;
    for (std::size_t place = 0; place < shown; ++place) {
        const auto position = static_cast<std::size_t>(positions[place]);
        const int column = column_at(terminal, position);
        cell_text heading{};
        column_heading(terminal, column, heading);
        sorted_shown = sorted_shown || column == terminal.view.sort_column;
        const table_column &layout = CLIENT_COLUMNS[column];
        screen_line cell;
        cell.attribute = style_attribute(
            terminal, layout.kind == column_kind::engine ? queue_style(layout.index) : cell_style::heading);
        add_ascii(cell, heading.data());
        add_cell(headings, gaps[position], widths[position], layout.left_aligned, cell);
    }
    show_line(y, headings);
    screen_line rule;
    for (int cells = 0; cells <= headings.width; ++cells) {
        add_character(rule, L'-', 1);
    }
    // With -a, arrows on the rule say that columns are scrolled off that side.
    const auto rule_end = std::min(rule.length, static_cast<std::size_t>(std::max(*curses.columns, 1)));
    if (terminal.view.all_queues && terminal.view.more_on_right && rule_end > 0) {
        rule.text[rule_end - 1] = L'>';
    }
    if (terminal.view.all_queues && terminal.view.first_scrolled > 0 && shown > FIXED_COLUMN_COUNT) {
        int edge = 0;
        for (std::size_t place = 0; place < FIXED_COLUMN_COUNT; ++place) {
            const auto position = static_cast<std::size_t>(positions[place]);
            edge += gaps[position] + widths[position];
        }
        rule.text[static_cast<std::size_t>(edge)] = L'<';
    }
    show_line(y + 1, rule);

    const table_page page = page_of_rows(terminal);
    int shown_rows = 0;
    for (; shown_rows < page.rows && terminal.view.first_shown + shown_rows < terminal.view.row_count; ++shown_rows) {
        const int listed = terminal.view.first_shown + shown_rows;
        const int order = terminal.order[static_cast<std::size_t>(listed)];
        const utilisation_row &row = listed_row(terminal, order);
        screen_line line;
        for (std::size_t place = 0; place < shown; ++place) {
            const auto position = static_cast<std::size_t>(positions[place]);
            const table_column &layout = CLIENT_COLUMNS[column_at(terminal, position)];
            screen_line cell;
            make_cell(terminal, layout, row, cell);
            add_cell(line, gaps[position], widths[position], layout.left_aligned, cell);
        }
        show_line(y + 2 + shown_rows, line);
    }
    // With -a, the last line says that other users' clients cannot be seen.
    const int last_line = *curses.lines - 1 - (unreadable_line_shown(terminal) ? 1 : 0);
    if (unreadable_line_shown(terminal)) {
        std::array<char, UNREADABLE_LINE_SIZE> text{};
        format_unreadable_line(text, terminal.shown->header.unreadable_processes);
        show_ascii(*curses.lines - 1, text.data());
    }
    if (others_row_shown(terminal) && y + 2 + shown_rows < last_line + 1 - (page.counted ? 1 : 0)) {
        screen_line line;
        add_others_row(terminal, line, positions, shown, widths, gaps);
        show_line(y + 2 + shown_rows, line);
    }
    // With -a the count has the last line even when the table leaves it no
    // room: a table without a single row must say why.
    if (page.counted && (terminal.view.all_queues || last_line >= y + 2)) {
        screen_line count;
        cell_text text{};
        if (page.rows > 0) {
            (void)std::snprintf(text.data(), text.size(), "Clients %d-%d of %d", terminal.view.first_shown + 1,
                                terminal.view.first_shown + page.rows, terminal.view.row_count);
        } else if (terminal.view.all_queues) {
            (void)std::snprintf(text.data(), text.size(), "Clients 0 of %d shown: enlarge the terminal",
                                terminal.view.row_count);
        } else {
            (void)std::snprintf(text.data(), text.size(), "%d clients", terminal.view.row_count);
        }
        add_ascii(count, text.data());
        if (page.rows == 0 && terminal.view.all_queues) {
            // It may stand on a line of the table: nothing of that may stay.
            add_spaces(count, *curses.columns - count.width);
        }
        show_line(last_line, count);
    }
    return sorted_shown;
}
