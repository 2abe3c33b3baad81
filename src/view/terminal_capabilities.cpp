// Whether the terminal can draw the view at all, asked of its terminfo entry
// before the screen is taken.
#include <cstdint>

#include <dlfcn.h>

#include <curses.h>
#include <term.h>

#include "report/report.hpp"

namespace {

#define NAME_OF_NUMBER(number) #number
#define TEXT_OF_NUMBER(number) NAME_OF_NUMBER(number)
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

} // namespace

bool terminal_moves_cursor(int fd)
{
    // The library load_terminal_library has loaded; terminfo's calls come
    // from it or from libtinfo, which it depends on.
    void *const library = ::dlopen(CURSES_SONAME, RTLD_NOW | RTLD_NOLOAD);
    decltype(&::setupterm) set_up_terminal = nullptr;
    decltype(&::tigetstr) string_capability = nullptr;
    decltype(&::set_curterm) set_current_terminal = nullptr;
    decltype(&::del_curterm) release_terminal = nullptr;
    if (library == nullptr || !find_symbol(library, "setupterm", set_up_terminal) ||
        !find_symbol(library, "tigetstr", string_capability) ||
        !find_symbol(library, "set_curterm", set_current_terminal) ||
        !find_symbol(library, "del_curterm", release_terminal)) {
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
    const bool moves = move != nullptr && reinterpret_cast<std::intptr_t>(move) != -1; // NOLINT(cppcoreguidelines-pro-type-reinterpret-cast)
    // The screen's start reads the entry again for itself.
    release_terminal(set_current_terminal(nullptr));
    return moves;
}
