// Where the columns of the client table go on a screen of a given width:
// their widths, and which of them are shown.
#pragma once

#include <array>
#include <cstddef>

#include "view/client_columns.hpp"

struct terminal_state;

// Column widths: the least for each column in the default view, where a
// longer value pushes its line right as before; with -a wide enough for every
// value shown, so that columns line up and are left out whole at the edge.
void measure_columns(terminal_state &terminal, std::array<int, MAX_COLUMNS> &widths);

// The number of whole columns that fit on the screen: all of them in the
// default view, whose lines are cut at the edge instead.
std::size_t columns_that_fit(const terminal_state &terminal, std::size_t count, const std::array<int, MAX_COLUMNS> &widths,
                             const int *gaps);

// The positions of the table's columns on screen, from the left; returns
// their number. The default view shows them all, cut at the edge. With -a
// they are whole columns: the fixed ones, then the rest from the first not
// scrolled off; a sort just chosen scrolls its column into view.
std::size_t choose_columns(terminal_state &terminal, const std::array<int, MAX_COLUMNS> &widths, const int *gaps,
                           std::array<int, MAX_COLUMNS> &positions);
