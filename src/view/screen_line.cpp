#include "view/screen_line.hpp"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cwchar>
#include <string_view>

#include "report/report.hpp"
#include "sampling/kernel_text.hpp"
#include "view/terminal_library.hpp"

namespace {

// The characters of general category Cf (format), from Unicode 15.0's
// DerivedGeneralCategory.txt, in order. Zero-width joiners and bidirectional
// controls among them: terminals give them widths that wcwidth does not
// agree with, or turn the text after them round.
struct code_range {
    std::uint32_t first;
    std::uint32_t last;
};
constexpr code_range FORMAT_CHARACTERS[] = {
    {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},
    {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},   {0x200B, 0x200F},   {0x202A, 0x202E},
    {0x2060, 0x2064},   {0x2066, 0x206F},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A}, {0xE0001, 0xE0001},
    {0xE0020, 0xE007F},
};

bool is_format_character(std::uint32_t code)
{
    for (const code_range &range : FORMAT_CHARACTERS) {
        if (code < range.first) {
            return false;
        }
        if (code <= range.last) {
            return true;
        }
    }
    return false;
}

} // namespace

void add_character(screen_line &line, wchar_t character, int cells)
{
    if (line.length < LINE_CAPACITY) {
        line.text[line.length] = character;
        line.cells[line.length] = static_cast<signed char>(cells);
        line.attributes[line.length] = line.attribute;
        ++line.length;
        line.width += cells;
    }
}

void add_ascii(screen_line &line, const char *text)
{
    for (; *text != '\0'; ++text) {
        add_character(line, static_cast<wchar_t>(static_cast<unsigned char>(*text)), 1);
    }
}

void add_spaces(screen_line &line, int count)
{
    for (; count > 0; --count) {
        add_character(line, L' ', 1);
    }
}

void add_name(screen_line &line, const char *name, bool utf8)
{
    const std::string_view bytes(name);
    for (std::size_t position = 0; position < bytes.size();) {
        const auto first = static_cast<unsigned char>(bytes[position]);
        const std::size_t length = first < 0x80 ? 1 : utf8 ? utf8_character_length(text_part(bytes, position)) : 0;
        if (length == 0) {
            add_character(line, L'?', 1);
            ++position;
            continue;
        }
        // The bits of a UTF-8 sequence (RFC 3629): the lead byte's after its
        // length marker, then six from each continuation byte.
        std::uint32_t code = length == 1 ? first : first & (0xFFU >> (length + 1));
        for (std::size_t index = 1; index < length; ++index) {
            code = (code << 6) | (static_cast<unsigned char>(bytes[position + index]) & 0x3FU);
        }
        const auto character = static_cast<wchar_t>(code);
        const int cells = wcwidth(character);
        if (cells < 0 || is_format_character(code)) {
            add_character(line, L'?', 1);
        } else {
            add_character(line, character, cells);
        }
        position += length;
    }
}

void add_cell(screen_line &line, int gap, int width, bool left_aligned, const screen_line &cell)
{
    add_spaces(line, gap);
    const int padding = width - cell.width;
    if (!left_aligned) {
        add_spaces(line, padding);
    }
    const int attribute = line.attribute;
    for (std::size_t index = 0; index < cell.length; ++index) {
        line.attribute = cell.attributes[index];
        add_character(line, cell.text[index], cell.cells[index]);
    }
    line.attribute = attribute;
    if (left_aligned) {
        add_spaces(line, padding);
    }
}

void add_ascii_cell(screen_line &line, int gap, int width, bool left_aligned, const char *text)
{
    screen_line cell;
    add_ascii(cell, text);
    add_cell(line, gap, width, left_aligned, cell);
}

void show_line(int y, const screen_line &line)
{
    if (y < 0 || y >= *curses.lines) {
        return;
    }
    std::size_t count = 0;
    for (int used = 0; count < line.length && used + line.cells[count] <= *curses.columns; ++count) {
        used += line.cells[count];
    }
    if (count == 0 || curses.wmove(*curses.standard_screen, y, 0) == ERR) {
        return;
    }
    // A line without colour goes out in one call, as it always has; a
    // coloured one in runs of one attribute each.
    const auto coloured = std::any_of(line.attributes.begin(), line.attributes.begin() + static_cast<std::ptrdiff_t>(count),
                                      [](int attribute) { return attribute != 0; });
    if (!coloured) {
        (void)curses.waddnwstr(*curses.standard_screen, line.text.data(), static_cast<int>(count));
        return;
    }
    for (std::size_t start = 0; start < count;) {
        std::size_t end = start + 1;
        while (end < count && line.attributes[end] == line.attributes[start]) {
            ++end;
        }
        (void)curses.wattrset(*curses.standard_screen, line.attributes[start]);
        (void)curses.waddnwstr(*curses.standard_screen, line.text.data() + start, static_cast<int>(end - start));
        start = end;
    }
    (void)curses.wattrset(*curses.standard_screen, 0);
}

void show_ascii(int y, const char *text)
{
    screen_line line;
    add_ascii(line, text);
    show_line(y, line);
}
