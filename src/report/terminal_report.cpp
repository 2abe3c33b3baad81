// The full-screen view: a table of the clients, redrawn each pass and at each
// key from the frame it holds, scrolled and sorted through an index array.
#include <langinfo.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <cwchar>

#include "control/process_state.hpp"
#include "report/report.hpp"
#include "report/terminal_library.hpp"
#include "sampling/kernel_text.hpp"

namespace {

constexpr int KEY_POLL_PAUSE_MS = 100;
// 'q' and 'Q' differ only in bit 5.
constexpr int CASE_BIT = 0x20;
constexpr int QUIT_KEY = 'Q';

// What a column of the client table shows.
enum class column_kind { client_id, pid, name, engine, process_cpu, memory };

struct table_column {
    const char *heading;
    int width; // the least; a wider value pushes the rest of its line right
    bool left_aligned;
    int gap; // spaces before the column
    column_kind kind;
    int index; // the engine or memory kind
};

// The default layout; the columns after them are those of -a.
constexpr table_column CLIENT_COLUMNS[] = {
    {"Client", 6, false, 0, column_kind::client_id, 0},
    {"PID", 8, true, 2, column_kind::pid, 0},
    {"Process", 16, true, 1, column_kind::name, 0},
    {"render", 8, false, 1, column_kind::engine, ENGINE_RENDER},
    {"tfu", 8, false, 1, column_kind::engine, ENGINE_TFU},
    {"bin", 8, false, 1, column_kind::engine, ENGINE_BIN},
    {"CPU", 8, false, 1, column_kind::process_cpu, 0},
    {"csd", 8, false, 1, column_kind::engine, ENGINE_CSD},
    {"cache_clean", 12, false, 1, column_kind::engine, ENGINE_CACHE_CLEAN},
    // The driver's cpu queue: jobs the kernel runs for the GPU, not the process's CPU time.
    {"cpu_job", 8, false, 1, column_kind::engine, ENGINE_CPU},
    {"total", 10, false, 1, column_kind::memory, MEMORY_TOTAL},
    {"resident", 10, false, 1, column_kind::memory, MEMORY_RESIDENT},
};
constexpr int DEFAULT_COLUMN_COUNT = 7;
constexpr int ALL_COLUMN_COUNT = static_cast<int>(std::size(CLIENT_COLUMNS));
constexpr int MAX_COLUMNS = ALL_COLUMN_COUNT > MAX_QUEUE_ROWS + 1 ? ALL_COLUMN_COUNT : MAX_QUEUE_ROWS + 1;

// Lines above the client table: title, blank line, headings and rule, and
// with -a the whole GPU's queues (heading, busy, jobs) and a blank line.
constexpr int DEFAULT_TOP_LINES = 4;
constexpr int ALL_QUEUES_TOP_LINES = 8;
constexpr int GPU_BLOCK_LINE = 2;
constexpr int GPU_LABEL_WIDTH = 6;
constexpr int GPU_QUEUE_WIDTH = 8;

// Census order: no column sorts the rows.
constexpr int CENSUS_ORDER = -1;

constexpr std::size_t CELL_SIZE = 48;
using cell_text = std::array<char, CELL_SIZE>;

// Everything the view shows, kept between keys so that a key redraws the
// current frame without a new sample.
struct terminal_view {
    bool all_queues = false;
    bool utf8 = false;
    bool help_shown = false;
    int sort_column = CENSUS_ORDER;
    int first_shown = 0; // the position in `order` at the top of the table
    int row_count = 0;
    int queue_count = 0;
    std::array<std::array<char, QUEUE_NAME_SIZE>, MAX_QUEUE_ROWS> queue_names{};
    std::array<queue_load, MAX_QUEUE_ROWS> queues{};
};

terminal_view view;
// The frame's rows in census order, and the order they are shown in. Apart
// from the view, all zero, so their pages are only taken by a terminal view.
std::array<utilisation_row, MAX_CLIENTS> view_rows{};
std::array<int, MAX_CLIENTS> view_order{};

// The columns of the view: the first of CLIENT_COLUMNS.
std::size_t layout_size()
{
    return static_cast<std::size_t>(view.all_queues ? ALL_COLUMN_COUNT : DEFAULT_COLUMN_COUNT);
}

// One screen line being composed: its characters and the cells each takes.
// Only the first `length` entries are ever read, so the arrays are left
// uninitialised: a frame composes thousands of cells.
constexpr std::size_t LINE_CAPACITY = 512;
struct screen_line {
    std::array<wchar_t, LINE_CAPACITY> text;
    std::array<signed char, LINE_CAPACITY> cells;
    std::size_t length = 0;
    int width = 0;
};

void add_character(screen_line &line, wchar_t character, int cells)
{
    if (line.length < LINE_CAPACITY) {
        line.text[line.length] = character;
        line.cells[line.length] = static_cast<signed char>(cells);
        ++line.length;
        line.width += cells;
    }
}

void add_ascii(screen_line &line, const char *text)
{
    for (; *text != '\0'; ++text) {
        add_character(line, static_cast<wchar_t>(static_cast<unsigned char>(*text)), 1);
    }
}

void add_spaces(screen_line &line, int count)
{
    for (; count > 0; --count) {
        add_character(line, L' ', 1);
    }
}

// A name as the characters it holds: a byte that is not part of a valid,
// printable character becomes '?'. Outside UTF-8 every byte from 0x80 up is '?'.
void add_name(screen_line &line, const char *name, bool utf8)
{
    const std::string_view bytes(name);
    for (std::size_t position = 0; position < bytes.size();) {
        const auto first = static_cast<unsigned char>(bytes[position]);
        const std::size_t length = first < 0x80 ? 1 : utf8 ? utf8_character_length(text_part(bytes, position)) : 0;
        if (length == 0) {
            add_character(line, L'?', 1);
            ++position;
            continue;
        }
        // The bits of a UTF-8 sequence (RFC 3629): the lead byte's after its
        // length marker, then six from each continuation byte.
        std::uint32_t code = length == 1 ? first : first & (0xFFU >> (length + 1));
        for (std::size_t index = 1; index < length; ++index) {
            code = (code << 6) | (static_cast<unsigned char>(bytes[position + index]) & 0x3FU);
        }
        const auto character = static_cast<wchar_t>(code);
        const int cells = wcwidth(character);
        if (cells < 0) {
            add_character(line, L'?', 1);
        } else {
            add_character(line, character, cells);
        }
        position += length;
    }
}

// Puts `line` on screen line `y`, cut at the screen's edge rather than wrapped.
void show_line(int y, const screen_line &line)
{
    if (y < 0 || y >= *curses.lines) {
        return;
    }
    std::size_t count = 0;
    for (int used = 0; count < line.length && used + line.cells[count] <= *curses.columns; ++count) {
        used += line.cells[count];
    }
    if (count > 0) {
        if (curses.wmove(*curses.standard_screen, y, 0) != ERR) {
            (void)curses.waddnwstr(*curses.standard_screen, line.text.data(), static_cast<int>(count));
        }
    }
}

void show_ascii(int y, const char *text)
{
    screen_line line;
    add_ascii(line, text);
    show_line(y, line);
}

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
        text[0] = '\0';
        break;
    case column_kind::engine:
        (void)std::snprintf(text.data(), text.size(), "%.1f%%", row.engine[static_cast<std::size_t>(column.index)]);
        break;
    case column_kind::process_cpu:
        (void)std::snprintf(text.data(), text.size(), "%.1f%%", row.cpu);
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

bool is_sortable(const table_column &column)
{
    return column.kind == column_kind::engine || column.kind == column_kind::process_cpu ||
           column.kind == column_kind::memory;
}

// The order of the rows as shown: census order, or the sorted column's
// busiest first, ties in census order (an insertion sort is stable).
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
    const auto count = static_cast<int>(layout_size());
    int column = view.sort_column;
    do {
        ++column;
    } while (column < count && !is_sortable(CLIENT_COLUMNS[column]));
    view.sort_column = column < count ? column : CENSUS_ORDER;
}

int top_lines()
{
    return view.all_queues ? ALL_QUEUES_TOP_LINES : DEFAULT_TOP_LINES;
}

// How many rows the table shows at once, and whether the last screen line
// is taken by the count of rows.
struct table_page {
    int rows = 0;
    bool counted = false;
};

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

// One cell of the table, as it is shown.
void make_cell(const table_column &column, const utilisation_row &row, screen_line &cell)
{
    if (column.kind == column_kind::name) {
        add_name(cell, row.name.data(), view.utf8);
        return;
    }
    cell_text text{};
    format_cell(column, row, text);
    add_ascii(cell, text.data());
}

// Column widths: the least for each column in the default view, where a
// longer value pushes its line right as before; with -a wide enough for every
// value shown, so that columns line up and are left out whole at the edge.
void measure_columns(std::array<int, MAX_COLUMNS> &widths)
{
    for (std::size_t column = 0; column < layout_size(); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column];
        widths[column] = layout.width;
        for (int index = 0; view.all_queues && index < view.row_count; ++index) {
            screen_line cell;
            make_cell(layout, view_rows[static_cast<std::size_t>(index)], cell);
            widths[column] = std::max(widths[column], cell.width);
        }
    }
}

// The number of whole columns that fit on the screen: all of them in the
// default view, whose lines are cut at the edge instead.
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

// Adds a cell padded to `width`, after its gap.
void add_cell(screen_line &line, int gap, int width, bool left_aligned, const screen_line &cell)
{
    add_spaces(line, gap);
    const int padding = width - cell.width;
    if (!left_aligned) {
        add_spaces(line, padding);
    }
    for (std::size_t index = 0; index < cell.length; ++index) {
        add_character(line, cell.text[index], cell.cells[index]);
    }
    if (left_aligned) {
        add_spaces(line, padding);
    }
}

void add_ascii_cell(screen_line &line, int gap, int width, bool left_aligned, const char *text)
{
    screen_line cell;
    add_ascii(cell, text);
    add_cell(line, gap, width, left_aligned, cell);
}

// The whole GPU's queues in the statistics file's order: a line of names,
// then busy per cent and jobs per second.
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
        const table_column &layout = CLIENT_COLUMNS[column];
        gaps[column] = layout.gap;
    }
    const std::size_t shown = columns_that_fit(layout_size(), widths, gaps.data());

    screen_line headings;
    for (std::size_t column = 0; column < shown; ++column) {
        const table_column &layout = CLIENT_COLUMNS[column];
        std::array<char, CELL_SIZE> heading{};
        // The sorted column's heading is marked.
        (void)std::snprintf(heading.data(), heading.size(), "%s%s",
                            static_cast<int>(column) == view.sort_column ? "*" : "", layout.heading);
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
            const table_column &layout = CLIENT_COLUMNS[column];
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

// The headings of the sortable columns from `from` to `to`, separated by commas.
void add_sortable_headings(screen_line &line, std::size_t from, std::size_t to)
{
    for (std::size_t column = from; column < to; ++column) {
        const table_column &layout = CLIENT_COLUMNS[column];
        if (is_sortable(layout)) {
            add_ascii(line, line.width > 0 ? ", " : "");
            add_ascii(line, layout.heading);
        }
    }
}

void draw_help()
{
    constexpr int INDENT = 16;
    show_ascii(0, "GPU Utilisation: keys");
    show_ascii(2, "Down, Up        one row down or up");
    show_ascii(3, "PgDn, PgUp      one screen down or up");
    show_ascii(4, "Home, End       the first or the last rows");
    show_ascii(5, "s               sort by the next column, busiest first, marked *:");
    screen_line order;
    add_spaces(order, INDENT);
    add_ascii(order, "census order");
    add_sortable_headings(order, 0, DEFAULT_COLUMN_COUNT);
    int y = 6;
    if (view.all_queues) {
        add_ascii(order, ",");
        show_line(y++, order);
        screen_line added;
        add_sortable_headings(added, DEFAULT_COLUMN_COUNT, ALL_COLUMN_COUNT);
        screen_line indented;
        add_cell(indented, INDENT, 0, true, added);
        show_line(y++, indented);
    } else {
        show_line(y++, order);
    }
    show_ascii(y++, "h, ?            this help");
    show_ascii(y++, "q, Q, Ctrl-C    quit");
    show_ascii(y + 1, "Any key goes back to the table.");
}

// Draws the whole screen from what the view holds.
void draw_view()
{
    (void)curses.werase(*curses.standard_screen);
    if (view.help_shown) {
        draw_help();
    } else {
        show_ascii(0, "GPU Utilisation");
        if (view.all_queues) {
            draw_gpu_block(GPU_BLOCK_LINE);
        }
        draw_table(top_lines() - 2);
    }
    (void)curses.wrefresh(*curses.standard_screen);
}

// Acts on one key; true when the screen must be drawn again.
bool take_key(int key)
{
    if ((key & ~CASE_BIT) == QUIT_KEY) {
        stop_requested = 1;
        return false;
    }
    if (key == KEY_RESIZE) {
        // Nothing of the earlier size may stay on the screen.
        (void)curses.clearok(*curses.current_screen, TRUE);
        keep_position_in_range();
        return true;
    }
    if (view.help_shown) {
        view.help_shown = false;
        return true;
    }
    const int page = page_of_rows().rows;
    switch (key) {
    case 'h':
    case '?':
        view.help_shown = true;
        return true;
    case 's':
        next_sort_column();
        order_rows();
        return true;
    case KEY_DOWN:
        ++view.first_shown;
        break;
    case KEY_UP:
        --view.first_shown;
        break;
    case KEY_NPAGE:
        view.first_shown += page > 0 ? page : 1;
        break;
    case KEY_PPAGE:
        view.first_shown -= page > 0 ? page : 1;
        break;
    case KEY_HOME:
        view.first_shown = 0;
        break;
    case KEY_END:
        view.first_shown = view.row_count;
        break;
    default:
        return false;
    }
    keep_position_in_range();
    return true;
}

int open_view(bool all_queues)
{
    // Start-up loads the library; a caller that skipped it gets a failure, not a crash.
    if (!terminal_library_loaded()) {
        return ELIBACC;
    }
    // Only the character type: numbers keep their '.' whatever the locale.
    (void)std::setlocale(LC_CTYPE, "");
    view.all_queues = all_queues;
    view.utf8 = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    view.help_shown = false;
    view.sort_column = CENSUS_ORDER;
    view.first_shown = 0;
    view.row_count = 0;
    view.queue_count = 0;
    (void)curses.initscr();
    (void)curses.cbreak();
    (void)curses.noecho();
    (void)curses.nodelay(*curses.standard_screen, TRUE);
    (void)curses.keypad(*curses.standard_screen, TRUE);
    // A lone Esc waits no longer than a poll for the rest of a key's sequence.
    (void)curses.set_escdelay(KEY_POLL_PAUSE_MS);
    (void)curses.curs_set(0);
    // The frame's outline at once, so that the keys answer before the first figures.
    draw_view();
    return 0;
}

int terminal_open()
{
    return open_view(false);
}

int terminal_all_open()
{
    return open_view(true);
}

int terminal_begin_frame(const frame_summary &frame)
{
    view.row_count = 0;
    view.queue_count = frame.counters != nullptr ? frame.counters->queue_count : 0;
    for (int queue = 0; queue < view.queue_count; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        view.queue_names[index] = frame.counters->queues[index].name;
        view.queues[index] = frame.queues[index];
    }
    return 0;
}

int terminal_row(const utilisation_row &row, double)
{
    if (view.row_count < MAX_CLIENTS) {
        view_rows[static_cast<std::size_t>(view.row_count++)] = row;
    }
    return 0;
}

int terminal_end_frame()
{
    order_rows();
    keep_position_in_range();
    draw_view();
    return 0;
}

// Polls the keys every 100 ms for one sample interval; a key redraws the
// frame at once, and a quit key ends the wait.
void terminal_wait()
{
    std::int64_t remaining_ms = sample_interval_ns / 1'000'000;
    while (stop_requested == 0) {
        bool changed = false;
        for (int key = curses.wgetch(*curses.standard_screen); key != ERR && stop_requested == 0;
             key = curses.wgetch(*curses.standard_screen)) {
            changed = take_key(key) || changed;
        }
        if (changed && stop_requested == 0) {
            draw_view();
        }
        if (stop_requested != 0 || remaining_ms <= 0) {
            break;
        }
        const int pause = remaining_ms < KEY_POLL_PAUSE_MS ? static_cast<int>(remaining_ms) : KEY_POLL_PAUSE_MS;
        (void)curses.napms(pause);
        remaining_ms -= pause;
    }
}

int terminal_close()
{
    if (terminal_library_loaded()) {
        (void)curses.endwin();
    }
    return 0;
}

} // namespace

const report_operations TERMINAL_REPORT = {
    terminal_open, terminal_begin_frame, terminal_row, terminal_end_frame, terminal_wait, terminal_close, "", false,
};

const report_operations TERMINAL_ALL_REPORT = {
    terminal_all_open, terminal_begin_frame, terminal_row, terminal_end_frame, terminal_wait, terminal_close, "", false,
};
