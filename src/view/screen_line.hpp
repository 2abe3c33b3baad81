// Screen lines composed as wide characters with the cells each one takes, so
// that names in any script line up and are cut at the screen's edge.
#pragma once

#include <array>
#include <cstddef>

inline constexpr std::size_t CELL_SIZE = 48;
using cell_text = std::array<char, CELL_SIZE>;

// One screen line being composed: its characters and the cells each takes.
// Only the first `length` entries are ever read, so the arrays are left
// uninitialised: a frame composes thousands of cells.
inline constexpr std::size_t LINE_CAPACITY = 512;
struct screen_line {
    std::array<wchar_t, LINE_CAPACITY> text;
    std::array<signed char, LINE_CAPACITY> cells;
    // Each character's curses attributes (its colour), and those the next
    // characters take; 0 for none.
    std::array<int, LINE_CAPACITY> attributes;
    int attribute = 0;
    std::size_t length = 0;
    int width = 0;
};

void add_character(screen_line &line, wchar_t character, int cells);
void add_ascii(screen_line &line, const char *text);
void add_spaces(screen_line &line, int count);

// A name as the characters it holds: a byte that is not part of a valid,
// printable character becomes '?', and so does a format character (Cf), which
// could move the cells after it or reverse the text. Combining marks stay.
// Outside UTF-8 every byte from 0x80 up is '?'.
void add_name(screen_line &line, const char *name, bool utf8);

// Adds a cell padded to `width`, after its gap.
void add_cell(screen_line &line, int gap, int width, bool left_aligned, const screen_line &cell);
void add_ascii_cell(screen_line &line, int gap, int width, bool left_aligned, const char *text);

// Puts `line` on screen line `y`, cut at the screen's edge rather than wrapped.
void show_line(int y, const screen_line &line);
void show_ascii(int y, const char *text);
