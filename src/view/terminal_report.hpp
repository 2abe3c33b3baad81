// The terminal view as the loop and start-up see it: its two outputs, the
// loading of the terminal library, and whether the terminal can draw it.
#pragma once

#include "report/report.hpp"

extern const report_operations TERMINAL_REPORT;
extern const report_operations TERMINAL_ALL_REPORT;
// --text: the same table as plain text on standard output, each frame.
extern const report_operations TEXT_REPORT;
extern const report_operations TEXT_ALL_REPORT;

// Loads ncursesw for the terminal view, once; null when it is loaded, else the
// dynamic loader's reason. Start-up calls it only when the view is asked for.
const char *load_terminal_library();

// Whether the terminal on `fd` can place the cursor, as the view needs; true
// too where its terminfo entry cannot be read, which the screen's start reports.
bool terminal_moves_cursor(int fd);
