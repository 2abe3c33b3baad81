// Whether the terminal can draw the view at all, asked of its terminfo entry
// before the screen is taken.
#include <cstdint>

#include "view/terminal_report.hpp"
#include "view/terminal_library.hpp"
// After the view's own declarations: its capability macros (lines, columns)
// would rename their members.
#include <term.h>

#include "report/report.hpp"

bool terminal_moves_cursor(int fd)
{
    // The library load_terminal_library has loaded; terminfo's calls come
    // from it or from libtinfo, which it depends on.
    void *const library = ::dlopen(CURSES_SONAME, RTLD_NOW | RTLD_NOLOAD);
    decltype(&::setupterm) set_up_terminal = nullptr;
    decltype(&::tigetstr) string_capability = nullptr;
    decltype(&::set_curterm) set_current_terminal = nullptr;
    decltype(&::del_curterm) release_terminal = nullptr;
    if (library == nullptr || !find_library_symbol(library, "setupterm", set_up_terminal) ||
        !find_library_symbol(library, "tigetstr", string_capability) ||
        !find_library_symbol(library, "set_curterm", set_current_terminal) ||
        !find_library_symbol(library, "del_curterm", release_terminal)) {
        return true; // the screen's own start says what is wrong
    }
    int error = 0;
    // An unknown TERM is left to the screen's start, which names it.
    if (set_up_terminal(nullptr, fd, &error) != OK) {
        return true;
    }
    // "cup": cursor_address, without which no line can be drawn in place.
    const char *const move = string_capability("cup");
    // tigetstr's answer for a name that is not a string capability is (char *) -1.
    // NOLINTNEXTLINE(cppcoreguidelines-pro-type-reinterpret-cast): the address is only compared
    const bool moves = move != nullptr && reinterpret_cast<std::intptr_t>(move) != -1;
    // The screen's start reads the entry again for itself.
    release_terminal(set_current_terminal(nullptr));
    return moves;
}
