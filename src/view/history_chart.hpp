// The history on screen: the whole GPU's busy share per queue as a chart over
// the table, newest on the right, and each client's as a sparkline.
#pragma once

#include "view/history.hpp"
#include "view/screen_line.hpp"

struct terminal_state;

// Samples in a client's sparkline: the default table with it fits 80 columns.
inline constexpr int SPARKLINE_WIDTH = 10;

// The screen lines the chart takes, with the line of its scale below it; none
// when it is hidden or the terminal is too short for it and the table both.
int chart_lines(const terminal_state &terminal);
void draw_chart(terminal_state &terminal, int y);

// The client's figure of `engine` that the queue columns show (busy share,
// jobs per second or job length) over its last samples, one character each,
// right-aligned so that every sparkline ends at the same pass.
void add_sparkline(terminal_state &terminal, screen_line &line, const client_history *client, int engine);
