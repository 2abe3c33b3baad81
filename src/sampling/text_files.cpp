#include "sampling/text_files.hpp"

#include <charconv>
#include <limits>

#include <dirent.h>

namespace {

// Offsets in a record of getdents64(2): d_ino (8), d_off (8), d_reclen (2),
// d_type (1), then the NUL-terminated name.
constexpr std::size_t DIRENT_RECLEN_OFFSET = 16;
constexpr std::size_t DIRENT_NAME_OFFSET = 19;

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

bool next_process_entry(directory_listing &processes, std::int32_t &pid)
{
    std::string_view entry;
    while (next_directory_entry(processes, entry)) {
        if (!is_digit(entry.front())) {
            continue;
        }
        const std::int64_t value = parse_decimal(entry);
        if (value <= std::numeric_limits<std::int32_t>::max()) {
            pid = static_cast<std::int32_t>(value);
            return true;
        }
    }
    return false;
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
