// The columns of the client table: what each shows, how its cells read, and
// the order a sorted column gives the rows.
#pragma once

#include <array>
#include <cstddef>
#include <iterator>
#include <string>

#include "report/report.hpp"
#include "view/history_chart.hpp"
#include "view/screen_line.hpp"

struct terminal_state;

// What a column of the client table shows.
enum class column_kind { client_id, pid, name, engine, process_cpu, memory, history };

struct table_column {
    const char *heading;
    int width; // the least; a wider value pushes the rest of its line right
    bool left_aligned;
    int gap; // spaces before the column
    column_kind kind;
    int index; // the engine or memory kind
};

// A queue's column, headed as the queue table heads it: 8 cells, or one more
// than a longer heading.
constexpr table_column queue_column(int engine)
{
    const char *const heading = QUEUE_TABLE[static_cast<std::size_t>(engine)].heading;
    const int width = static_cast<int>(std::char_traits<char>::length(heading)) + 1;
    return {heading, width > 8 ? width : 8, false, 1, column_kind::engine, engine};
}

// The default layout (the default queues, then the process's CPU); the
// columns after them are those of -a.
inline constexpr table_column CLIENT_COLUMNS[] = {
    {"Client", 6, false, 0, column_kind::client_id, 0},
    {"PID", 8, true, 2, column_kind::pid, 0},
    {"Process", 16, true, 1, column_kind::name, 0},
    queue_column(ENGINE_RENDER),
    queue_column(ENGINE_TFU),
    queue_column(ENGINE_BIN),
    {"CPU", 8, false, 1, column_kind::process_cpu, 0},
    queue_column(ENGINE_CSD),
    queue_column(ENGINE_CACHE_CLEAN),
    queue_column(ENGINE_CPU),
    {"total", 10, false, 1, column_kind::memory, MEMORY_TOTAL},
    {"resident", 10, false, 1, column_kind::memory, MEMORY_RESIDENT},
    // Shown with the chart, after the name: a sparkline as wide as the column.
    {"history", SPARKLINE_WIDTH, false, 1, column_kind::history, 0},
};
inline constexpr int DEFAULT_COLUMN_COUNT = 7;
inline constexpr int ALL_COLUMN_COUNT = static_cast<int>(std::size(CLIENT_COLUMNS)) - 1;
inline constexpr int HISTORY_COLUMN = ALL_COLUMN_COUNT;
inline constexpr int HISTORY_POSITION = 3;
// Client, PID and Process: with -a the columns after them scroll.
inline constexpr int FIXED_COLUMN_COUNT = 3;
inline constexpr int MAX_COLUMNS =
    ALL_COLUMN_COUNT > MAX_QUEUE_ROWS + 1 ? ALL_COLUMN_COUNT : MAX_QUEUE_ROWS + 1;

// The columns of the view: the first of CLIENT_COLUMNS, and the history
// column after the name while the chart is shown.
std::size_t layout_size(terminal_state &terminal);
// The column of CLIENT_COLUMNS shown at `position` from the left, and back.
int column_at(terminal_state &terminal, std::size_t position);
int position_of(const terminal_state &terminal, int column);

// A column's heading: marked * when the rows are sorted by it, and with -a
// naming the figure the queue columns show.
void column_heading(terminal_state &terminal, int column, cell_text &text);

// The engine that the history column follows: the sorted one, else render.
int history_engine(const terminal_state &terminal);

bool is_sortable(const table_column &column);

// The order of the rows as shown: census order, or the sorted column's
// busiest first, ties in census order.
void order_rows(terminal_state &terminal);
void next_sort_column(terminal_state &terminal);
// The same cycle backwards (the key S).
void previous_sort_column(terminal_state &terminal);

// One cell of the table, as it is shown.
void make_cell(terminal_state &terminal, const table_column &column, const utilisation_row &row, screen_line &cell);
