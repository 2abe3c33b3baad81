#include "sampling/kernel_text.hpp"

#include <charconv>
#include <limits>

namespace {

constexpr std::string_view REFERENCE_ROW = "bin";

bool is_queue_name_character(char c)
{
    return is_digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

// The next white-space-separated number of a row; false when there is none.
bool next_row_number(std::string_view &text, std::int64_t &value)
{
    text = skip_spaces(text);
    bool has_digits = false;
    value = parse_decimal(text, &has_digits);
    text = text_part(text, word_length(text));
    return has_digits;
}

} // namespace

bool parse_stats_row(std::string_view piece, std::int64_t &value)
{
    const std::string_view line = skip_spaces(as_c_text(piece));
    const std::size_t end = word_length(line);
    if (text_part(line, 0, end) != REFERENCE_ROW) {
        return false;
    }
    bool has_digits = false;
    const std::int64_t number = parse_decimal(text_part(line, end), &has_digits);
    if (!has_digits) {
        return false;
    }
    value = number;
    return true;
}

bool parse_queue_row(std::string_view piece, queue_counters &row)
{
    std::string_view text = skip_spaces(as_c_text(piece));
    std::size_t end = 0;
    while (end < text.size() && is_queue_name_character(text[end])) {
        ++end;
    }
    if (end == 0 || end >= row.name.size() || (end < text.size() && !is_space(text[end]))) {
        return false;
    }
    queue_counters read;
    std::memcpy(read.name.data(), text.data(), end);
    read.name[end] = '\0';
    text = text_part(text, end);
    if (!next_row_number(text, read.timestamp) || !next_row_number(text, read.jobs) ||
        !next_row_number(text, read.runtime)) {
        return false;
    }
    row = read;
    return true;
}

void stats_row_search::operator()(std::string_view piece)
{
    if (!header_seen) {
        header_seen = true;
        return;
    }
    if (!found) {
        found = parse_stats_row(piece, reading);
    }
    if (counters != nullptr && counters->queue_count < MAX_QUEUE_ROWS &&
        parse_queue_row(piece, counters->queues[static_cast<std::size_t>(counters->queue_count)])) {
        map_queue_row(*counters, counters->queue_count++);
    }
}

void map_queue_row(gpu_counters &counters, int index)
{
    const std::string_view name(counters.queues[static_cast<std::size_t>(index)].name.data());
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        if (name == QUEUE_TABLE[engine].name && !counters.queue_listed[engine]) {
            counters.queue_rows[engine] = index;
            counters.queue_listed[engine] = true;
        }
    }
}

bool parse_stat_fields(std::string_view line, stat_fields &fields)
{
    // The name in parentheses may hold spaces, parentheses and even newlines,
    // so only the last ')' ends it; the fields run to the end of that line.
    fields = {};
    const std::string_view text = as_c_text(line);
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) {
        return false;
    }
    std::size_t end = text.find('\n', close);
    end = end == std::string_view::npos ? text.size() : end + 1;

    std::size_t position = close + 1;
    for (std::size_t field = 2; position < end && field < fields.size(); ++field) {
        while (position < end && text[position] == ' ') {
            ++position;
        }
        if (position == end) {
            break;
        }
        fields[field] = parse_decimal(text_part(text, position, end - position));
        while (position < end && text[position] != ' ') {
            ++position;
        }
    }
    return true;
}

std::int64_t parse_stat_cpu_ticks(std::string_view line)
{
    stat_fields fields;
    parse_stat_fields(line, fields);
    return saturating_add(fields[STAT_UTIME], fields[STAT_STIME]);
}

std::size_t set_safe_text(std::span<char> into, std::string_view raw)
{
    std::string_view text = as_c_text(text_part(raw, 0, std::min(raw.size(), into.size() - 1)));
    text = text_part(text, 0, std::min(text.find('\n'), text.size()));
    std::size_t length = 0;
    for (std::size_t position = 0; position < text.size(); ++position) {
        const auto byte = static_cast<unsigned char>(text[position]);
        const auto next = position + 1 < text.size() ? static_cast<unsigned char>(text[position + 1]) : 0U;
        // A process chooses its own name: control characters must not reach a
        // terminal or a CSV file. U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            into[length++] = '?';
            ++position;
        } else {
            into[length++] = (byte < 0x20 || byte == 0x7F) ? '?' : text[position];
        }
    }
    into[length] = '\0';
    return length;
}

void set_process_name(std::array<char, NAME_SIZE> &name, std::string_view raw, std::int32_t pid)
{
    std::size_t length = set_safe_text(name, raw);
    if (length == 0) {
        const auto result = std::to_chars(name.data(), name.data() + name.size() - 1, pid);
        length = static_cast<std::size_t>(result.ptr - name.data());
    }
    name[length] = '\0';
}
