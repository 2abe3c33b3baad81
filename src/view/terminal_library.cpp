#include "view/terminal_report.hpp"
#include "view/terminal_library.hpp"

#include "report/report.hpp"

curses_library curses{};

namespace {

bool find_every_symbol(void *library)
{
    const auto find = [library](const char *name, auto &found) { return find_library_symbol(library, name, found); };
    return find("initscr", curses.initscr) && find("endwin", curses.endwin) && find("cbreak", curses.cbreak) &&
           find("noecho", curses.noecho) && find("nodelay", curses.nodelay) && find("keypad", curses.keypad) &&
           find("set_escdelay", curses.set_escdelay) && find("curs_set", curses.curs_set) &&
           find("clearok", curses.clearok) && find("werase", curses.werase) && find("wrefresh", curses.wrefresh) &&
           find("wmove", curses.wmove) && find("waddnwstr", curses.waddnwstr) && find("wgetch", curses.wgetch) &&
           find("has_colors", curses.has_colors) && find("start_color", curses.start_color) &&
           find("use_default_colors", curses.use_default_colors) && find("init_pair", curses.init_pair) &&
           find("wattrset", curses.wattrset) && find("COLORS", curses.colour_count) &&
           find("stdscr", curses.standard_screen) && find("curscr", curses.current_screen) &&
           find("LINES", curses.lines) && find("COLS", curses.columns);
}

} // namespace

bool terminal_library_loaded()
{
    return curses.columns != nullptr;
}

const char *load_terminal_library()
{
    if (terminal_library_loaded()) {
        return nullptr;
    }
    // Loaded for the rest of the run: the view calls it until the program ends.
    void *const library = ::dlopen(CURSES_SONAME, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return ::dlerror();
    }
    if (!find_every_symbol(library)) {
        // Not the library the view was built for; the program stops here.
        curses = curses_library{};
        return ::dlerror();
    }
    return nullptr;
}
