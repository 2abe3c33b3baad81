#include "view/client_columns.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "view/colours.hpp"
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
void format_percentage(terminal_state &terminal, bool known, double value, cell_text &text)
{
    if (known || !terminal.view.all_queues) {
        (void)std::snprintf(text.data(), text.size(), "%.1f%%", value);
    } else {
        (void)std::snprintf(text.data(), text.size(), "-");
    }
}

// The figure of -a's queue columns that the key j chose: busy per cent, jobs
// per second, or the average job's length ("-" when no job completed, or the
// kernel does not list the queue's jobs).
void format_queue_figure(terminal_state &terminal, const utilisation_row &row, std::size_t engine, cell_text &text)
{
    switch (terminal.view.figure) {
    case queue_figure::busy:
        format_percentage(terminal, row.engine_listed[engine], row.engine[engine], text);
        return;
    case queue_figure::jobs_per_second:
        if (row.engine_listed[engine]) {
            (void)std::snprintf(text.data(), text.size(), "%.1f", row.jobs_per_second[engine]);
            return;
        }
        break;
    case queue_figure::job_length:
        if (const double length = row.job_milliseconds[engine]; length != NO_JOB_LENGTH) {
            (void)std::snprintf(text.data(), text.size(), "%.1f", length);
            return;
        }
        break;
    }
    (void)std::snprintf(text.data(), text.size(), "-");
}

// The text of one cell of the table; names are shown through add_name.
void format_cell(terminal_state &terminal, const table_column &column, const utilisation_row &row, cell_text &text)
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
        format_queue_figure(terminal, row, static_cast<std::size_t>(column.index), text);
        break;
    case column_kind::process_cpu:
        format_percentage(terminal, row.cpu_known, row.cpu, text);
        break;
    case column_kind::memory:
        format_memory(row.memory[static_cast<std::size_t>(column.index)], text);
        break;
    }
}

} // namespace

std::size_t layout_size(terminal_state &terminal)
{
    const int count =
        (terminal.view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT) + (terminal.view.chart_shown ? 1 : 0);
    return static_cast<std::size_t>(count);
}

int column_at(terminal_state &terminal, std::size_t position)
{
    const auto place = static_cast<int>(position);
    if (!terminal.view.chart_shown || place < HISTORY_POSITION) {
        return place;
    }
    return place == HISTORY_POSITION ? HISTORY_COLUMN : place - 1;
}

int history_engine(const terminal_state &terminal)
{
    const int sorted = terminal.view.sort_column;
    if (sorted != CENSUS_ORDER && CLIENT_COLUMNS[sorted].kind == column_kind::engine) {
        return CLIENT_COLUMNS[sorted].index;
    }
    return ENGINE_RENDER;
}

void make_cell(terminal_state &terminal, const table_column &column, const utilisation_row &row, screen_line &cell)
{
    if (column.kind == column_kind::name) {
        add_name(cell, row.name.data(), terminal.view.utf8);
        // With -a, the name the application gave its client, cut so that the
        // queue columns keep their room.
        if (terminal.view.all_queues && row.client_name[0] != '\0') {
            constexpr std::size_t SHOWN_BYTES = 16;
            std::array<char, SHOWN_BYTES + 1> shown{};
            const std::size_t length = std::min(SHOWN_BYTES, std::strlen(row.client_name.data()));
            std::memcpy(shown.data(), row.client_name.data(), length);
            add_ascii(cell, " [");
            add_name(cell, shown.data(), terminal.view.utf8);
            add_ascii(cell, "]");
        }
        return;
    }
    if (column.kind == column_kind::history) {
        add_sparkline(terminal, cell, find_client_history(terminal.history, row.client_id), history_engine(terminal));
        return;
    }
    cell_text text{};
    format_cell(terminal, column, row, text);
    // A busy figure by its level; "-" for a queue not listed stays plain.
    if (column.kind == column_kind::engine && terminal.view.figure == queue_figure::busy &&
        row.engine_listed[static_cast<std::size_t>(column.index)]) {
        cell.attribute = style_attribute(terminal, busy_style(row.engine[static_cast<std::size_t>(column.index)]));
    }
    add_ascii(cell, text.data());
}

int position_of(const terminal_state &terminal, int column)
{
    if (!terminal.view.chart_shown || column < HISTORY_POSITION) {
        return column;
    }
    return column == HISTORY_COLUMN ? HISTORY_POSITION : column + 1;
}

void column_heading(terminal_state &terminal, int column, cell_text &text)
{
    const table_column &layout = CLIENT_COLUMNS[column];
    const char *figure = "";
    if (layout.kind == column_kind::engine && terminal.view.figure == queue_figure::jobs_per_second) {
        figure = "/s";
    } else if (layout.kind == column_kind::engine && terminal.view.figure == queue_figure::job_length) {
        figure = " ms";
    }
    (void)std::snprintf(text.data(), text.size(), "%s%s%s", column == terminal.view.sort_column ? "*" : "",
                        layout.heading, figure);
}
