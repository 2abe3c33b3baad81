#include "view/terminal_library.hpp"

#include <dlfcn.h>

#include "report/report.hpp"

curses_library curses{};

namespace {

#define NAME_OF_NUMBER(number) #number
#define TEXT_OF_NUMBER(number) NAME_OF_NUMBER(number)
// The soname of the library that <curses.h> describes: ncurses keeps its ABI
// number equal to its major version.
constexpr const char *CURSES_SONAME = "libncursesw.so." TEXT_OF_NUMBER(NCURSES_VERSION_MAJOR);

// POSIX (dlsym) allows the object pointer it returns to be taken as a
// function pointer.
template <typename symbol>
bool find_symbol(void *library, const char *name, symbol &found)
{
    void *const address = ::dlsym(library, name);
    found = reinterpret_cast<symbol>(address); // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    return address != nullptr;
}

bool find_every_symbol(void *library)
{
    return find_symbol(library, "initscr", curses.initscr) && find_symbol(library, "endwin", curses.endwin) &&
           find_symbol(library, "cbreak", curses.cbreak) && find_symbol(library, "noecho", curses.noecho) &&
           find_symbol(library, "nodelay", curses.nodelay) && find_symbol(library, "keypad", curses.keypad) &&
           find_symbol(library, "set_escdelay", curses.set_escdelay) &&
           find_symbol(library, "curs_set", curses.curs_set) && find_symbol(library, "clearok", curses.clearok) &&
           find_symbol(library, "werase", curses.werase) && find_symbol(library, "wrefresh", curses.wrefresh) &&
           find_symbol(library, "wmove", curses.wmove) && find_symbol(library, "waddnwstr", curses.waddnwstr) &&
           find_symbol(library, "wgetch", curses.wgetch) &&
           find_symbol(library, "stdscr", curses.standard_screen) &&
           find_symbol(library, "curscr", curses.current_screen) && find_symbol(library, "LINES", curses.lines) &&
           find_symbol(library, "COLS", curses.columns);
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
