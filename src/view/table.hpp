// The client table on screen: the page of rows it shows, its scrolling, and
// the whole GPU's block above it.
#pragma once

struct terminal_state;

// Lines above the client table: title, blank line, headings and rule, and
// with -a the whole GPU's queues (heading, busy, jobs, job length) and a
// blank line.
inline constexpr int DEFAULT_TOP_LINES = 4;
inline constexpr int ALL_QUEUES_TOP_LINES = 9;
inline constexpr int GPU_BLOCK_LINE = 2;

// Where the chart starts: below the whole GPU's block when there is one.
int chart_line(const terminal_state &terminal);
// The lines above the client's rows, the chart's among them.
int top_lines(const terminal_state &terminal);

// With -a, while the queue columns show busy per cent and some queue has
// work no listed client accounts for, a row "(others)" ends the table.
bool others_row_shown(const terminal_state &terminal);

// How many client rows the table shows at once, and whether the last
// screen line is taken by the count of rows.
struct table_page {
    int rows = 0;
    bool counted = false;
};

table_page page_of_rows(terminal_state &terminal);
// With -a, while the census met processes whose files it may not read, the
// last line says so.
bool unreadable_line_shown(const terminal_state &terminal);
void keep_position_in_range(terminal_state &terminal);

// The whole GPU's queues in the view's order of queues: a line of names,
// then busy per cent, jobs per second and the average job's length in ms.
void draw_gpu_block(terminal_state &terminal, int y);
// Under it, the line of the GPU's conditions, where any is known: clock,
// powered share, temperature, CPU frequency and under-voltage.
inline constexpr int CONDITIONS_LINE = GPU_BLOCK_LINE + 4;
void draw_conditions_line(terminal_state &terminal, int y);
// The headings and rule at `y`, then the page of rows; false when the column
// the rows are sorted by is not on screen.
bool draw_table(terminal_state &terminal, int y);
