// ncursesw as the terminal view calls it. The view opens the library itself
// when it is asked for, rather than the program linking it, so that the CSV,
// JSON and metrics outputs map none of its pages (about 260 kB resident).
#pragma once

#define NCURSES_WIDECHAR 1 // the wide-character calls, for names in the terminal's encoding
// No curses macros: each call must go through the record below, and a direct
// one fails to link, since the program does not link ncursesw.
#define NCURSES_NOMACROS 1

#include <curses.h>
#include <dlfcn.h>

#define NAME_OF_NUMBER(number) #number
#define TEXT_OF_NUMBER(number) NAME_OF_NUMBER(number)
// The soname of the library that <curses.h> describes: ncurses keeps its ABI
// number equal to its major version.
inline constexpr const char *CURSES_SONAME = "libncursesw.so." TEXT_OF_NUMBER(NCURSES_VERSION_MAJOR);

// POSIX (dlsym) allows the object pointer it returns to be taken as a
// function pointer.
template <typename symbol>
bool find_library_symbol(void *library, const char *name, symbol &found)
{
    void *const address = ::dlsym(library, name);
    found = reinterpret_cast<symbol>(address); // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    return address != nullptr;
}

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
    decltype(&::has_colors) has_colors;
    decltype(&::start_color) start_color;
    decltype(&::use_default_colors) use_default_colors;
    decltype(&::init_pair) init_pair;
    decltype(&::wattrset) wattrset;
    WINDOW **standard_screen; // stdscr
    WINDOW **current_screen;  // curscr
    int *lines;               // LINES
    int *columns;             // COLS
    int *colour_count;        // COLORS
    // With --text, the screen in memory that the calls above draw on instead.
    struct text_screen *text;
};

extern curses_library curses;

// Whether load_terminal_library has filled `curses`.
bool terminal_library_loaded();
