// Pieces of text and the decimal numbers in them, without exceptions or
// allocation: the kernel's files, the options and the listings of /proc all
// go through these.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

// At most `length` bytes of `text` from `position` on, and nothing past its end:
// std::string_view::substr without the exception, which the program is built
// without.
constexpr std::string_view text_part(std::string_view text, std::size_t position,
                                     std::size_t length = std::string_view::npos)
{
    if (position > text.size()) {
        return {};
    }
    return {text.data() + position, std::min(length, text.size() - position)};
}

// std::string_view::starts_with, which calls substr, without the exception.
constexpr bool starts_with_text(std::string_view text, std::string_view prefix)
{
    return text_part(text, 0, prefix.size()) == prefix;
}

// What the C string functions see of a piece: the text before its first NUL.
std::string_view as_c_text(std::string_view piece);

// The characters isspace() accepts in the C locale.
constexpr bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

// `text` after its leading white space.
std::string_view skip_spaces(std::string_view text);

// The length of the word `text` starts with: up to its first white space.
std::size_t word_length(std::string_view text);

// The decimal digits at the start of `text`, with no sign or space: their
// count, and their value unless it passes 64 bits (`fits` is then false). The
// program's one reader of decimal digits, over std::from_chars.
struct decimal_digits {
    std::uint64_t value = 0;
    std::size_t length = 0;
    bool fits = true;
};
decimal_digits read_decimal_digits(std::string_view text);

// A whole text of decimal digits from 1 to `largest`; false for anything else.
bool parse_whole_number(std::string_view text, std::int64_t largest, std::int64_t &value);

// A decimal number as strtoll reads it: leading white space, an optional sign,
// digits; saturated at the 64-bit limits. `has_digits` tells whether any digit was read.
std::int64_t parse_decimal(std::string_view text, bool *has_digits = nullptr);
