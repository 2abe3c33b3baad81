#include "sampling/kernel_text.hpp"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <limits>

#include <dirent.h>

namespace {

// Offsets in a record of getdents64(2): d_ino (8), d_off (8), d_reclen (2),
// d_type (1), then the NUL-terminated name.
constexpr std::size_t DIRENT_RECLEN_OFFSET = 16;
constexpr std::size_t DIRENT_NAME_OFFSET = 19;

constexpr std::string_view DRIVER_TEXT = "drm-driver:\tv3d";
// The families of the keys below: the DRM core's and the v3d driver's own.
constexpr std::array<std::string_view, 2> KEY_FAMILIES = {"drm-", "v3d-"};
constexpr std::string_view REFERENCE_ROW = "bin";

// The fdinfo keys the census takes (Documentation/gpu/drm-usage-stats.rst, and
// the driver's job counts from v3d_show_fdinfo in drivers/gpu/drm/v3d/v3d_drv.c),
// each with the place its value goes. A key that is not here is passed over.
enum class key_kind { client_id, engine, jobs, memory };
struct fdinfo_key {
    std::string_view text; // up to and including the colon
    key_kind kind;
    int index;
};
constexpr std::array<fdinfo_key, 17> FDINFO_KEYS = {{
    {"drm-client-id:", key_kind::client_id, 0},
    {"drm-engine-bin:", key_kind::engine, ENGINE_BIN},
    {"drm-engine-render:", key_kind::engine, ENGINE_RENDER},
    {"drm-engine-tfu:", key_kind::engine, ENGINE_TFU},
    {"drm-engine-csd:", key_kind::engine, ENGINE_CSD},
    {"drm-engine-cache_clean:", key_kind::engine, ENGINE_CACHE_CLEAN},
    {"drm-engine-cpu:", key_kind::engine, ENGINE_CPU},
    {"v3d-jobs-bin:", key_kind::jobs, ENGINE_BIN},
    {"v3d-jobs-render:", key_kind::jobs, ENGINE_RENDER},
    {"v3d-jobs-tfu:", key_kind::jobs, ENGINE_TFU},
    {"v3d-jobs-csd:", key_kind::jobs, ENGINE_CSD},
    {"v3d-jobs-cache_clean:", key_kind::jobs, ENGINE_CACHE_CLEAN},
    {"v3d-jobs-cpu:", key_kind::jobs, ENGINE_CPU},
    {"drm-total-memory:", key_kind::memory, MEMORY_TOTAL},
    {"drm-shared-memory:", key_kind::memory, MEMORY_SHARED},
    {"drm-resident-memory:", key_kind::memory, MEMORY_RESIDENT},
    {"drm-active-memory:", key_kind::memory, MEMORY_ACTIVE},
}};

// Memory units as the kernel writes them (drm_print_memory_stats), by multiple of a byte.
struct memory_unit {
    std::string_view text;
    std::int64_t bytes;
};
constexpr std::array<memory_unit, 3> MEMORY_UNITS = {{{"", 1}, {"KiB", 1024}, {"MiB", std::int64_t{1024} * 1024}}};

// The characters isspace() accepts in the C locale.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

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

std::string_view skip_spaces(std::string_view text)
{
    std::size_t position = 0;
    while (position < text.size() && is_space(text[position])) {
        ++position;
    }
    return text_part(text, position);
}

// The length of the word `text` starts with: up to its first white space.
std::size_t word_length(std::string_view text)
{
    std::size_t end = 0;
    while (end < text.size() && !is_space(text[end])) {
        ++end;
    }
    return end;
}

// The decimal digits at the start of `text`, with no sign; false without any
// digit or beyond 64 bits. `rest` is what follows them.
bool parse_unsigned(std::string_view text, std::uint64_t &value, std::string_view &rest)
{
    std::size_t position = 0;
    std::uint64_t number = 0;
    for (; position < text.size() && is_digit(text[position]); ++position) {
        if (__builtin_mul_overflow(number, 10U, &number) ||
            __builtin_add_overflow(number, static_cast<unsigned>(text[position] - '0'), &number)) {
            return false;
        }
    }
    value = number;
    rest = text_part(text, position);
    return position > 0;
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

bool next_directory_entry(directory_listing &listing, std::string_view &name)
{
    for (;;) {
        if (listing.position >= listing.size) {
            const ssize_t got = ::getdents64(listing.fd, listing.buffer.data(), listing.buffer.size());
            if (got <= 0) {
                listing.failed = got < 0;
                return false;
            }
            listing.size = got;
            listing.position = 0;
        }
        const char *record = listing.buffer.data() + listing.position;
        unsigned short record_length = 0;
        std::memcpy(&record_length, record + DIRENT_RECLEN_OFFSET, sizeof record_length);
        if (record_length == 0) {
            listing.position = listing.size;
            return false;
        }
        listing.position += record_length;
        const std::size_t name_room = record_length > DIRENT_NAME_OFFSET ? record_length - DIRENT_NAME_OFFSET : 0;
        name = as_c_text(std::string_view(record + DIRENT_NAME_OFFSET, name_room));
        if (name != "." && name != ".." && !name.empty()) {
            return true;
        }
    }
}

std::string_view as_c_text(std::string_view piece)
{
    const std::size_t nul = piece.find('\0');
    return nul == std::string_view::npos ? piece : text_part(piece, 0, nul);
}

std::int64_t parse_decimal(std::string_view text, bool *has_digits)
{
    std::size_t position = 0;
    while (position < text.size() && is_space(text[position])) {
        ++position;
    }
    bool negative = false;
    if (position < text.size() && (text[position] == '+' || text[position] == '-')) {
        negative = text[position] == '-';
        ++position;
    }
    std::int64_t value = 0;
    bool digits = false;
    bool saturated = false;
    for (; position < text.size() && is_digit(text[position]); ++position) {
        digits = true;
        if (saturated) {
            continue;
        }
        const int digit = text[position] - '0';
        // Accumulated with the sign so that the most negative value is reachable.
        if (__builtin_mul_overflow(value, 10, &value) ||
            __builtin_add_overflow(value, negative ? -digit : digit, &value)) {
            value = negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
            saturated = true;
        }
    }
    if (has_digits != nullptr) {
        *has_digits = digits;
    }
    return value;
}

std::string_view read_small_file(int fd, std::span<char> buffer)
{
    const ssize_t got = ::read(fd, buffer.data(), buffer.size() - 1);
    if (got <= 0) {
        return {};
    }
    buffer[static_cast<std::size_t>(got)] = '\0';
    return {buffer.data(), static_cast<std::size_t>(got)};
}

bool parse_client_id(std::string_view text, std::uint64_t &client_id)
{
    text = skip_spaces(text);
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
    }
    std::string_view rest;
    return parse_unsigned(text, client_id, rest);
}

std::int64_t parse_memory_bytes(std::string_view text)
{
    std::uint64_t number = 0;
    std::string_view rest;
    if (!parse_unsigned(skip_spaces(text), number, rest)) {
        return MEMORY_UNKNOWN;
    }
    const std::string_view unit = as_c_text(skip_spaces(rest));
    const std::string_view unit_word = text_part(unit, 0, word_length(unit));
    for (const memory_unit &candidate : MEMORY_UNITS) {
        std::int64_t bytes = 0;
        if (unit_word == candidate.text) {
            if (number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
                __builtin_mul_overflow(static_cast<std::int64_t>(number), candidate.bytes, &bytes)) {
                return MEMORY_UNKNOWN;
            }
            return bytes;
        }
    }
    return MEMORY_UNKNOWN;
}

void apply_fdinfo_line(std::string_view piece, fdinfo_keys &keys)
{
    const std::string_view line = as_c_text(piece);
    if (line.find(DRIVER_TEXT) != std::string_view::npos) {
        keys.is_v3d = true;
        return;
    }
    if (std::none_of(KEY_FAMILIES.begin(), KEY_FAMILIES.end(),
                     [line](std::string_view family) { return starts_with_text(line, family); })) {
        return;
    }
    for (const fdinfo_key &key : FDINFO_KEYS) {
        if (!starts_with_text(line, key.text)) {
            continue;
        }
        const std::string_view value = text_part(line, key.text.size());
        const auto index = static_cast<std::size_t>(key.index);
        switch (key.kind) {
        case key_kind::client_id:
            keys.has_client_id = parse_client_id(value, keys.client_id);
            break;
        case key_kind::engine:
            keys.engine[index] = parse_decimal(value);
            keys.engine_listed[index] = true;
            break;
        case key_kind::jobs:
            keys.jobs[index] = parse_decimal(value);
            break;
        case key_kind::memory:
            keys.memory[index] = parse_memory_bytes(value);
            break;
        }
        return;
    }
}

fdinfo_keys parse_fdinfo_text(std::string_view text)
{
    fdinfo_keys keys;
    split_line_pieces(text, true, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); });
    return keys;
}

bool is_listed_client(const fdinfo_keys &keys, client_listing listing)
{
    const auto engines = listing == client_listing::all_queues ? ENGINE_COUNT : DEFAULT_ENGINE_COUNT;
    return keys.is_v3d && keys.has_client_id &&
           std::any_of(keys.engine.begin(), keys.engine.begin() + engines, [](std::int64_t value) { return value != 0; });
}

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
        ++counters->queue_count;
    }
}

std::int64_t parse_stats_text(std::string_view text)
{
    stats_row_search search;
    split_line_pieces(text, true, search);
    return search.found ? search.reading : 0;
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

void set_process_name(std::array<char, NAME_SIZE> &name, std::string_view raw, std::int32_t pid)
{
    std::string_view text = as_c_text(text_part(raw, 0, std::min(raw.size(), name.size() - 1)));
    text = text_part(text, 0, std::min(text.find('\n'), text.size()));
    std::size_t length = 0;
    for (std::size_t position = 0; position < text.size(); ++position) {
        const auto byte = static_cast<unsigned char>(text[position]);
        const auto next = position + 1 < text.size() ? static_cast<unsigned char>(text[position + 1]) : 0U;
        // A process chooses its own name: control characters must not reach a
        // terminal or a CSV file. U+0080 to U+009F are C2 80 to C2 9F in UTF-8.
        if (byte == 0xC2 && next >= 0x80 && next <= 0x9F) {
            name[length++] = '?';
            ++position;
        } else {
            name[length++] = (byte < 0x20 || byte == 0x7F) ? '?' : text[position];
        }
    }
    if (length == 0) {
        const auto result = std::to_chars(name.data(), name.data() + name.size() - 1, pid);
        length = static_cast<std::size_t>(result.ptr - name.data());
    }
    name[length] = '\0';
}

bool format_pid_path(std::span<char> buffer, const char *prefix, std::int32_t pid, const char *suffix)
{
    const std::string_view head(prefix);
    const std::string_view tail(suffix);
    if (head.size() >= buffer.size()) {
        return false;
    }
    std::memcpy(buffer.data(), head.data(), head.size());
    char *const limit = buffer.data() + buffer.size();
    const auto result = std::to_chars(buffer.data() + head.size(), limit, pid);
    if (result.ec != std::errc() || static_cast<std::size_t>(limit - result.ptr) <= tail.size()) {
        return false;
    }
    std::memcpy(result.ptr, tail.data(), tail.size());
    result.ptr[tail.size()] = '\0';
    return true;
}
