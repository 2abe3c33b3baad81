// The order of the client table's rows: census order, or a column's busiest
// first, and the cycle of the sorted column (the keys s and S).
#include "view/client_columns.hpp"
#include "view/view_state.hpp"

namespace {

// What a queue column sorts by: the figure shown, with "-" after any number.
double queue_sort_value(const terminal_state &terminal, const utilisation_row &row, std::size_t engine)
{
    switch (terminal.view.figure) {
    case queue_figure::jobs_per_second:
        return row.engine_listed[engine] ? row.jobs_per_second[engine] : -1.0;
    case queue_figure::job_length:
        return row.job_milliseconds[engine];
    case queue_figure::busy:
        break;
    }
    return row.engine[engine];
}

// What a sorted column orders by; an unknown memory size sorts after every known one.
double sort_value(terminal_state &terminal, const table_column &column, const utilisation_row &row)
{
    switch (column.kind) {
    case column_kind::engine:
        return queue_sort_value(terminal, row, static_cast<std::size_t>(column.index));
    case column_kind::process_cpu:
        return row.cpu;
    case column_kind::memory:
        return static_cast<double>(row.memory[static_cast<std::size_t>(column.index)]);
    default:
        return 0.0;
    }
}

} // namespace

bool is_sortable(const table_column &column)
{
    return column.kind == column_kind::engine || column.kind == column_kind::process_cpu ||
           column.kind == column_kind::memory;
}

// An insertion sort, which is stable: ties keep census order.
void order_rows(terminal_state &terminal)
{
    for (int index = 0; index < terminal.view.row_count; ++index) {
        terminal.order[static_cast<std::size_t>(index)] = index;
    }
    if (terminal.view.sort_column == CENSUS_ORDER) {
        return;
    }
    const table_column &column = CLIENT_COLUMNS[terminal.view.sort_column];
    for (int index = 1; index < terminal.view.row_count; ++index) {
        const int moving = terminal.order[static_cast<std::size_t>(index)];
        const double value = sort_value(terminal, column, listed_row(terminal, moving));
        int place = index;
        for (; place > 0; --place) {
            const int before = terminal.order[static_cast<std::size_t>(place - 1)];
            if (sort_value(terminal, column, listed_row(terminal, before)) >= value) {
                break;
            }
            terminal.order[static_cast<std::size_t>(place)] = before;
        }
        terminal.order[static_cast<std::size_t>(place)] = moving;
    }
}

void previous_sort_column(terminal_state &terminal)
{
    const int count = terminal.view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT;
    int column = terminal.view.sort_column == CENSUS_ORDER ? count : terminal.view.sort_column;
    do {
        --column;
    } while (column >= 0 && !is_sortable(CLIENT_COLUMNS[column]));
    terminal.view.sort_column = column >= 0 ? column : CENSUS_ORDER;
}

void next_sort_column(terminal_state &terminal)
{
    const int count = terminal.view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT;
    int column = terminal.view.sort_column;
    do {
        ++column;
    } while (column < count && !is_sortable(CLIENT_COLUMNS[column]));
    terminal.view.sort_column = column < count ? column : CENSUS_ORDER;
}
