#include "view/client_columns.hpp"

#include <algorithm>
#include <cstdio>

#include "view/history_chart.hpp"
#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

namespace {

// A number of bytes, in the largest binary unit that leaves at least 1 of it.
void format_memory(std::int64_t bytes, cell_text &text)
{
    if (bytes == MEMORY_UNKNOWN) {
        (void)std::snprintf(text.data(), text.size(), "-");
        return;
    }
    if (bytes < 1024) {
        (void)std::snprintf(text.data(), text.size(), "%lld B", static_cast<long long>(bytes));
        return;
    }
    constexpr const char *UNITS[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(UNITS)) {
        value /= 1024.0;
        ++unit;
    }
    (void)std::snprintf(text.data(), text.size(), "%.1f %s", value, UNITS[unit]);
}

// A percentage; with -a, "-" where there is none, as for unknown memory.
void format_percentage(bool known, double value, cell_text &text)
{
    if (known || !view.all_queues) {
        (void)std::snprintf(text.data(), text.size(), "%.1f%%", value);
    } else {
        (void)std::snprintf(text.data(), text.size(), "-");
    }
}

// The text of one cell of the table; names are shown through add_name.
void format_cell(const table_column &column, const utilisation_row &row, cell_text &text)
{
    switch (column.kind) {
    case column_kind::client_id:
        (void)std::snprintf(text.data(), text.size(), "%llu", static_cast<unsigned long long>(row.client_id));
        break;
    case column_kind::pid:
        (void)std::snprintf(text.data(), text.size(), "%d", row.pid);
        break;
    case column_kind::name:
    case column_kind::history:
        text[0] = '\0';
        break;
    case column_kind::engine: {
        const auto engine = static_cast<std::size_t>(column.index);
        format_percentage(row.engine_listed[engine], row.engine[engine], text);
        break;
    }
    case column_kind::process_cpu:
        format_percentage(row.cpu_known, row.cpu, text);
        break;
    case column_kind::memory:
        format_memory(row.memory[static_cast<std::size_t>(column.index)], text);
        break;
    }
}

// What a sorted column orders by; an unknown memory size sorts after every known one.
double sort_value(const table_column &column, const utilisation_row &row)
{
    switch (column.kind) {
    case column_kind::engine:
        return row.engine[static_cast<std::size_t>(column.index)];
    case column_kind::process_cpu:
        return row.cpu;
    case column_kind::memory:
        return static_cast<double>(row.memory[static_cast<std::size_t>(column.index)]);
    default:
        return 0.0;
    }
}

} // namespace

std::size_t layout_size()
{
    const int count = (view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT) + (view.chart_shown ? 1 : 0);
    return static_cast<std::size_t>(count);
}

int column_at(std::size_t position)
{
    const auto place = static_cast<int>(position);
    if (!view.chart_shown || place < HISTORY_POSITION) {
        return place;
    }
    return place == HISTORY_POSITION ? HISTORY_COLUMN : place - 1;
}

int history_engine()
{
    if (view.sort_column != CENSUS_ORDER && CLIENT_COLUMNS[view.sort_column].kind == column_kind::engine) {
        return CLIENT_COLUMNS[view.sort_column].index;
    }
    return ENGINE_RENDER;
}

bool is_sortable(const table_column &column)
{
    return column.kind == column_kind::engine || column.kind == column_kind::process_cpu ||
           column.kind == column_kind::memory;
}

// An insertion sort, which is stable: ties keep census order.
void order_rows()
{
    for (int index = 0; index < view.row_count; ++index) {
        view_order[static_cast<std::size_t>(index)] = index;
    }
    if (view.sort_column == CENSUS_ORDER) {
        return;
    }
    const table_column &column = CLIENT_COLUMNS[view.sort_column];
    for (int index = 1; index < view.row_count; ++index) {
        const int moving = view_order[static_cast<std::size_t>(index)];
        const double value = sort_value(column, view_rows[static_cast<std::size_t>(moving)]);
        int place = index;
        for (; place > 0; --place) {
            const int before = view_order[static_cast<std::size_t>(place - 1)];
            if (sort_value(column, view_rows[static_cast<std::size_t>(before)]) >= value) {
                break;
            }
            view_order[static_cast<std::size_t>(place)] = before;
        }
        view_order[static_cast<std::size_t>(place)] = moving;
    }
}

void next_sort_column()
{
    const int count = view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT;
    int column = view.sort_column;
    do {
        ++column;
    } while (column < count && !is_sortable(CLIENT_COLUMNS[column]));
    view.sort_column = column < count ? column : CENSUS_ORDER;
}

void make_cell(const table_column &column, const utilisation_row &row, screen_line &cell)
{
    if (column.kind == column_kind::name) {
        add_name(cell, row.name.data(), view.utf8);
        return;
    }
    if (column.kind == column_kind::history) {
        add_sparkline(cell, find_client_history(row.client_id), history_engine());
        return;
    }
    cell_text text{};
    format_cell(column, row, text);
    add_ascii(cell, text.data());
}

void measure_columns(std::array<int, MAX_COLUMNS> &widths)
{
    for (std::size_t column = 0; column < layout_size(); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(column)];
        widths[column] = layout.width;
        for (int index = 0; view.all_queues && index < view.row_count; ++index) {
            screen_line cell;
            make_cell(layout, view_rows[static_cast<std::size_t>(index)], cell);
            widths[column] = std::max(widths[column], cell.width);
        }
    }
}

std::size_t columns_that_fit(std::size_t count, const std::array<int, MAX_COLUMNS> &widths, const int *gaps)
{
    if (!view.all_queues) {
        return count;
    }
    int used = 0;
    std::size_t fitting = 0;
    for (; fitting < count; ++fitting) {
        used += gaps[fitting] + widths[fitting];
        if (used > *curses.columns) {
            break;
        }
    }
    // On a screen too narrow for any whole column, the first one is cut.
    return fitting > 0 ? fitting : 1;
}
