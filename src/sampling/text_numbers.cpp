#include "sampling/text_numbers.hpp"

#include <charconv>
#include <limits>

std::string_view as_c_text(std::string_view piece)
{
    const std::size_t nul = piece.find('\0');
    return nul == std::string_view::npos ? piece : text_part(piece, 0, nul);
}

std::string_view skip_spaces(std::string_view text)
{
    std::size_t position = 0;
    while (position < text.size() && is_space(text[position])) {
        ++position;
    }
    return text_part(text, position);
}

std::size_t word_length(std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size() && !is_space(text[end])) {
        ++end;
    }
    return end;
}

decimal_digits read_decimal_digits(std::string_view text)
{
    decimal_digits digits;
    // An unsigned type takes no sign, and a number past its range still
    // consumes every digit (std::errc::result_out_of_range).
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), digits.value);
    digits.length = static_cast<std::size_t>(end - text.data());
    digits.fits = error != std::errc::result_out_of_range;
    if (!digits.fits) {
        digits.value = 0;
    }
    return digits;
}

bool parse_whole_number(std::string_view text, std::int64_t largest, std::int64_t &value)
{
    const decimal_digits digits = read_decimal_digits(text);
    if (digits.length == 0 || digits.length != text.size() || !digits.fits || digits.value == 0 ||
        digits.value > static_cast<std::uint64_t>(largest)) {
        return false;
    }
    value = static_cast<std::int64_t>(digits.value);
    return true;
}

std::int64_t parse_decimal(std::string_view text, bool *has_digits)
{
    text = skip_spaces(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    const decimal_digits digits = read_decimal_digits(text);
    if (has_digits != nullptr) {
        *has_digits = digits.length > 0;
    }
    constexpr auto TOP = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (!digits.fits || digits.value > TOP) {
        // strtoll saturates; 2^63 itself is reachable with the minus sign.
        return negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    }
    const auto value = static_cast<std::int64_t>(digits.value);
    return negative ? -value : value;
}
