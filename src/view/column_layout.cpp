// Where the columns of the client table go on a screen of a given width:
// their widths, and which of them are shown.
#include "view/column_layout.hpp"

#include <algorithm>
#include <cstring>

#include "view/terminal_library.hpp"
#include "view/view_state.hpp"

void measure_columns(terminal_state &terminal, std::array<int, MAX_COLUMNS> &widths)
{
    for (std::size_t column = 0; column < layout_size(terminal); ++column) {
        const table_column &layout = CLIENT_COLUMNS[column_at(terminal, column)];
        widths[column] = layout.width;
        if (terminal.view.all_queues) {
            // A heading that names the figure, or is marked, may be the widest;
            // a queue's column is as wide as its longest, " ms", in all three
            // figures, so that j moves no column.
            cell_text heading{};
            column_heading(terminal, column_at(terminal, column), heading);
            constexpr int LONGEST_FIGURE_SUFFIX = 3;
            const int marked = column_at(terminal, column) == terminal.view.sort_column ? 1 : 0;
            const int longest = layout.kind == column_kind::engine
                                    ? static_cast<int>(std::strlen(layout.heading)) + LONGEST_FIGURE_SUFFIX + marked
                                    : 0;
            widths[column] = std::max({widths[column], static_cast<int>(std::strlen(heading.data())), longest});
        }
        for (int index = 0; terminal.view.all_queues && index < terminal.view.row_count; ++index) {
            screen_line cell;
            make_cell(terminal, layout, listed_row(terminal, index), cell);
            widths[column] = std::max(widths[column], cell.width);
        }
    }
}

std::size_t choose_columns(terminal_state &terminal, const std::array<int, MAX_COLUMNS> &widths, const int *gaps,
                           std::array<int, MAX_COLUMNS> &positions)
{
    const auto count = static_cast<int>(layout_size(terminal));
    if (!terminal.view.all_queues) {
        for (int position = 0; position < count; ++position) {
            positions[static_cast<std::size_t>(position)] = position;
        }
        return static_cast<std::size_t>(count);
    }
    // The fixed columns as far as they fit, then the others from the first
    // not scrolled off, as far as they fit.
    const auto fill = [&](int first_scrolled) {
        int used = 0;
        std::size_t shown = 0;
        for (int position = 0; position < count; ++position) {
            if (position >= FIXED_COLUMN_COUNT && position < FIXED_COLUMN_COUNT + first_scrolled) {
                continue;
            }
            const auto index = static_cast<std::size_t>(position);
            used += gaps[index] + widths[index];
            if (used > *curses.columns) {
                break;
            }
            positions[shown++] = position;
        }
        // On a screen too narrow for any whole column, the first one is cut.
        if (shown == 0) {
            positions[shown++] = 0;
        }
        return shown;
    };
    const auto is_shown = [&positions](std::size_t shown, int position) {
        return std::find(positions.begin(), positions.begin() + static_cast<std::ptrdiff_t>(shown), position) !=
               positions.begin() + static_cast<std::ptrdiff_t>(shown);
    };
    // No room is left empty on the right while columns are off to the left.
    const auto settle = [&]() {
        terminal.view.first_scrolled =
            std::clamp(terminal.view.first_scrolled, 0, std::max(count - FIXED_COLUMN_COUNT - 1, 0));
        while (terminal.view.first_scrolled > 0 && is_shown(fill(terminal.view.first_scrolled - 1), count - 1)) {
            --terminal.view.first_scrolled;
        }
        return fill(terminal.view.first_scrolled);
    };
    std::size_t shown = settle();
    // A screen of columns to the right starts at the first one off it; one to
    // the left ends at the last one off the left, as far left as it reaches.
    for (; terminal.view.scroll_screens > 0; --terminal.view.scroll_screens) {
        if (positions[shown - 1] < count - 1 && positions[shown - 1] >= FIXED_COLUMN_COUNT) {
            terminal.view.first_scrolled = positions[shown - 1] + 1 - FIXED_COLUMN_COUNT;
            shown = settle();
        }
    }
    for (; terminal.view.scroll_screens < 0 && terminal.view.first_scrolled > 0; ++terminal.view.scroll_screens) {
        const int last = FIXED_COLUMN_COUNT + terminal.view.first_scrolled - 1;
        terminal.view.first_scrolled = last - FIXED_COLUMN_COUNT;
        while (terminal.view.first_scrolled > 0 && is_shown(fill(terminal.view.first_scrolled - 1), last)) {
            --terminal.view.first_scrolled;
        }
        shown = fill(terminal.view.first_scrolled);
    }
    terminal.view.scroll_screens = 0;
    if (terminal.view.reveal_sorted && terminal.view.sort_column != CENSUS_ORDER) {
        const int sorted = position_of(terminal, terminal.view.sort_column);
        if (sorted >= FIXED_COLUMN_COUNT && sorted < FIXED_COLUMN_COUNT + terminal.view.first_scrolled) {
            terminal.view.first_scrolled = sorted - FIXED_COLUMN_COUNT;
            shown = fill(terminal.view.first_scrolled);
        }
        while (!is_shown(shown, sorted) && FIXED_COLUMN_COUNT + terminal.view.first_scrolled < sorted) {
            shown = fill(++terminal.view.first_scrolled);
        }
    }
    terminal.view.reveal_sorted = false;
    terminal.view.more_on_right = positions[shown - 1] < count - 1;
    return shown;
}

std::size_t columns_that_fit(const terminal_state &terminal, std::size_t count, const std::array<int, MAX_COLUMNS> &widths,
                             const int *gaps)
{
    if (!terminal.view.all_queues) {
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
