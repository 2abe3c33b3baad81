#include "view/text_screen.hpp"

#include <algorithm>

void use_text_screen(text_screen &into)
{
    curses = curses_library{};
    curses.text = &into;
    curses.standard_screen = &into.window;
    curses.current_screen = &into.window;
    curses.lines = &into.lines;
    curses.columns = &into.columns;
    curses.werase = [](WINDOW *) {
        curses.text->length.fill(0);
        return OK;
    };
    curses.wrefresh = [](WINDOW *) { return OK; };
    curses.clearok = [](WINDOW *, bool) { return OK; };
    // The view moves to the start of a line and then writes the whole of it.
    curses.wmove = [](WINDOW *, int y, int) {
        if (y < 0 || y >= std::min(curses.text->lines, TEXT_SCREEN_LINES)) {
            return ERR;
        }
        curses.text->line = y;
        return OK;
    };
    curses.waddnwstr = [](WINDOW *, const wchar_t *text, int count) {
        text_screen &screen = *curses.text;
        auto &line = screen.text[static_cast<std::size_t>(screen.line)];
        const int length = std::clamp(count, 0, static_cast<int>(line.size()));
        std::copy(text, text + length, line.begin());
        screen.length[static_cast<std::size_t>(screen.line)] = length;
        return OK;
    };
}
