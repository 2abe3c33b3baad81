#include "view/client_columns.hpp"

#include <cstdio>

#include "view/history_chart.hpp"
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

// The figure of -a's queue columns that the key j chose: busy per cent, jobs
// per second, or the average job's length ("-" when no job completed, or the
// kernel does not list the queue's jobs).
void format_queue_figure(const utilisation_row &row, std::size_t engine, cell_text &text)
{
    switch (view.figure) {
    case queue_figure::busy:
        format_percentage(row.engine_listed[engine], row.engine[engine], text);
        return;
    case queue_figure::jobs_per_second:
        if (row.engine_listed[engine]) {
            (void)std::snprintf(text.data(), text.size(), "%.1f", row.jobs_per_second[engine]);
            return;
        }
        break;
    case queue_figure::job_length:
        if (const double length = average_job_milliseconds(row.engine_gained_nanoseconds[engine], row.jobs_gained[engine]);
            length != NO_JOB_LENGTH) {
            (void)std::snprintf(text.data(), text.size(), "%.1f", length);
            return;
        }
        break;
    }
    (void)std::snprintf(text.data(), text.size(), "-");
}

// What a queue column sorts by: the figure shown, with "-" after any number.
double queue_sort_value(const utilisation_row &row, std::size_t engine)
{
    switch (view.figure) {
    case queue_figure::jobs_per_second:
        return row.engine_listed[engine] ? row.jobs_per_second[engine] : -1.0;
    case queue_figure::job_length:
        return average_job_milliseconds(row.engine_gained_nanoseconds[engine], row.jobs_gained[engine]);
    case queue_figure::busy:
        break;
    }
    return row.engine[engine];
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
    case column_kind::engine:
        format_queue_figure(row, static_cast<std::size_t>(column.index), text);
        break;
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
        return queue_sort_value(row, static_cast<std::size_t>(column.index));
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

int position_of(int column)
{
    if (!view.chart_shown || column < HISTORY_POSITION) {
        return column;
    }
    return column == HISTORY_COLUMN ? HISTORY_POSITION : column + 1;
}

void column_heading(int column, cell_text &text)
{
    const table_column &layout = CLIENT_COLUMNS[column];
    const char *figure = "";
    if (layout.kind == column_kind::engine && view.figure == queue_figure::jobs_per_second) {
        figure = "/s";
    } else if (layout.kind == column_kind::engine && view.figure == queue_figure::job_length) {
        figure = " ms";
    }
    (void)std::snprintf(text.data(), text.size(), "%s%s%s", column == view.sort_column ? "*" : "", layout.heading,
                        figure);
}
