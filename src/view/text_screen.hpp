// A screen in memory that the view's drawing can go to instead of the
// terminal: --text draws each frame on it, as the view would, and writes its
// lines out as plain text.
#pragma once

#include <array>

#include "sampling/client_table.hpp"
#include "view/screen_line.hpp"
#include "view/terminal_library.hpp"

// Every client's row, and the lines above and below the table.
inline constexpr int TEXT_SCREEN_LINES = MAX_CLIENTS + 32;

// Zero by default, so that it takes no page until --text draws on it.
struct text_screen {
    std::array<std::array<wchar_t, LINE_CAPACITY>, TEXT_SCREEN_LINES> text{};
    std::array<int, TEXT_SCREEN_LINES> length{};
    int lines = 0;
    int columns = 0;
    int line = 0; // where the next text goes
    WINDOW *window = nullptr; // stands for stdscr, which the calls do not look at
};

// Points the view's library calls at `into`: the terminal is not touched.
void use_text_screen(text_screen &into);
