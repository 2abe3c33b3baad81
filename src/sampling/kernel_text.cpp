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
constexpr std::string_view CLIENT_ID_KEY = "drm-client-id:";
constexpr std::string_view ENGINE_KEY = "drm-engine-";
constexpr std::string_view REFERENCE_ROW = "bin";

// The characters isspace() accepts in the C locale.
bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool is_digit(char c)
{
    return c >= '0' && c <= '9';
}

std::int64_t saturating_add(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (__builtin_add_overflow(a, b, &sum)) {
        return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
    }
    return sum;
}

int engine_index(std::string_view name)
{
    for (int engine = 0; engine < ENGINE_COUNT; ++engine) {
        if (name == ENGINE_NAMES[static_cast<std::size_t>(engine)]) {
            return engine;
        }
    }
    return -1;
}

// The client id after its key, read with a range check: no digits, a negative
// value or one beyond 32 bits leaves the file without a valid id.
std::int32_t parse_client_id(std::string_view text)
{
    bool has_digits = false;
    const std::int64_t value = parse_decimal(text, &has_digits);
    if (!has_digits || value < 0 || value > std::numeric_limits<std::int32_t>::max()) {
        return -1;
    }
    return static_cast<std::int32_t>(value);
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

void apply_fdinfo_line(std::string_view piece, fdinfo_keys &keys)
{
    const std::string_view line = as_c_text(piece);
    if (line.find(DRIVER_TEXT) != std::string_view::npos) {
        keys.is_v3d = true;
    } else if (line.starts_with(CLIENT_ID_KEY)) {
        keys.client_id = parse_client_id(line.substr(CLIENT_ID_KEY.size()));
    } else if (line.starts_with(ENGINE_KEY)) {
        const std::string_view rest = line.substr(ENGINE_KEY.size());
        const std::size_t colon = rest.find(':');
        if (colon == std::string_view::npos) {
            return;
        }
        const int engine = engine_index(rest.substr(0, colon));
        if (engine >= 0) {
            keys.engine[static_cast<std::size_t>(engine)] = parse_decimal(text_part(rest, colon + 1));
        }
    }
}

fdinfo_keys parse_fdinfo_text(std::string_view text)
{
    fdinfo_keys keys;
    split_line_pieces(text, true, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); });
    return keys;
}

bool is_listed_client(const fdinfo_keys &keys)
{
    return keys.is_v3d && keys.client_id >= 0 &&
           std::any_of(keys.engine.begin(), keys.engine.end(), [](std::int64_t value) { return value != 0; });
}

bool parse_stats_row(std::string_view piece, std::int64_t &value)
{
    const std::string_view line = as_c_text(piece);
    std::size_t start = 0;
    while (start < line.size() && is_space(line[start])) {
        ++start;
    }
    std::size_t end = start;
    while (end < line.size() && !is_space(line[end])) {
        ++end;
    }
    if (text_part(line, start, end - start) != REFERENCE_ROW) {
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

void stats_row_search::operator()(std::string_view piece)
{
    if (!header_seen) {
        header_seen = true;
    } else if (!found) {
        found = parse_stats_row(piece, reading);
    }
}

std::int64_t parse_stats_text(std::string_view text)
{
    stats_row_search search;
    split_line_pieces(text, true, search);
    return search.found ? search.reading : 0;
}

std::int64_t parse_stat_cpu_ticks(std::string_view line)
{
    // The name in parentheses may hold spaces, parentheses and even newlines,
    // so only the last ')' ends it; the fields run to the end of that line.
    const std::string_view text = as_c_text(line);
    const std::size_t close = text.rfind(')');
    if (close == std::string_view::npos) {
        return 0;
    }
    std::size_t end = text.find('\n', close);
    end = end == std::string_view::npos ? text.size() : end + 1;

    constexpr int UTIME_FIELD = 13;
    constexpr int STIME_FIELD = 14;
    std::int64_t user = 0;
    std::int64_t system = 0;
    std::size_t position = close + 1;
    for (int field = 2; position < end && field <= STIME_FIELD; ++field) {
        while (position < end && text[position] == ' ') {
            ++position;
        }
        if (position == end) {
            break;
        }
        if (field == UTIME_FIELD) {
            user = parse_decimal(text_part(text, position, end - position));
        } else if (field == STIME_FIELD) {
            system = parse_decimal(text_part(text, position, end - position));
        }
        while (position < end && text[position] != ' ') {
            ++position;
        }
    }
    return saturating_add(user, system);
}

void set_process_name(std::array<char, NAME_SIZE> &name, std::string_view raw, std::int32_t pid)
{
    std::string_view text = as_c_text(text_part(raw, 0, std::min(raw.size(), name.size() - 1)));
    text = text_part(text, 0, std::min(text.find('\n'), text.size()));
    std::size_t length = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        // A process chooses its own name: control bytes must not reach a terminal or a CSV file.
        name[length++] = (byte < 0x20 || byte == 0x7F) ? '?' : c;
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
