// ncursesw as the terminal view calls it. The view opens the library itself
// when it is asked for, rather than the program linking it, so that the CSV,
// JSON and metrics outputs map none of its pages (about 260 kB resident).
#pragma once

#define NCURSES_WIDECHAR 1 // the wide-character calls, for names in the terminal's encoding
// No curses macros: each call must go through the record below, and a direct
// one fails to link, since the program does not link ncursesw.
#define NCURSES_NOMACROS 1

#include <curses.h>

// The calls and variables of ncursesw that the view uses, found by name once
// the library is loaded; all null before. Each call's type is that of its
// declaration in <curses.h>.
struct curses_library {
    decltype(&::initscr) initscr;
    decltype(&::endwin) endwin;
    decltype(&::cbreak) cbreak;
    decltype(&::noecho) noecho;
    decltype(&::nodelay) nodelay;
    decltype(&::keypad) keypad;
    decltype(&::set_escdelay) set_escdelay;
    decltype(&::curs_set) curs_set;
    decltype(&::clearok) clearok;
    decltype(&::werase) werase;
    decltype(&::wrefresh) wrefresh;
    decltype(&::wmove) wmove;
    decltype(&::waddnwstr) waddnwstr;
    decltype(&::wgetch) wgetch;
    WINDOW **standard_screen; // stdscr
    WINDOW **current_screen;  // curscr
    int *lines;               // LINES
    int *columns;             // COLS
};

extern curses_library curses;

// Whether load_terminal_library has filled `curses`.
bool terminal_library_loaded();
