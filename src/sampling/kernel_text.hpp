// Readers of the kernel's text files: small RAII holders for descriptors, a
// directory lister, and parsers that take bytes so they can be fed anything.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "sampling/client_table.hpp"

// How the census opens the files under /proc. Regular and proc files ignore
// O_NONBLOCK; a FIFO found in their place reads as empty instead of blocking.
inline constexpr int TEXT_FILE_FLAGS = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

// "/proc/%d/stat" and its kin are built in buffers of this size.
inline constexpr std::size_t PID_PATH_SIZE = 128;

// Closes its descriptor on every path out of the scope that opened it.
struct file_descriptor {
    int fd = -1;

    constexpr explicit file_descriptor(int value) : fd(value) {}
    file_descriptor(const file_descriptor &) = delete;
    file_descriptor &operator=(const file_descriptor &) = delete;
    // constexpr, so that a record holding some can be a constant, zero-cost
    // static; only an open descriptor is ever closed.
    constexpr ~file_descriptor()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }
    [[nodiscard]] bool is_open() const { return fd >= 0; }
    // Closes the descriptor held so far and takes `value` in its place.
    void reset(int value = -1)
    {
        if (fd >= 0) {
            ::close(fd);
        }
        fd = value;
    }
};

// Lists an open directory with getdents64 into a fixed buffer; the descriptor
// stays the caller's.
struct directory_listing {
    int fd = -1;
    std::array<char, 8192> buffer{};
    long size = 0;
    long position = 0;
    bool failed = false; // a getdents64 failed: the listing may be incomplete
};

// Gives the next entry's name (never "." or ".."); false at the end or on an
// error, which sets `failed`.
bool next_directory_entry(directory_listing &listing, std::string_view &name);

// A line buffer of 256 bytes hands a long line over in pieces of at most 255
// bytes, and every piece is tested as a line of its own.
inline constexpr std::size_t LINE_PIECE_SIZE = 255;

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

// A decimal number as strtoll reads it: leading white space, an optional sign,
// digits; saturated at the 64-bit limits. `has_digits` tells whether any digit was read.
std::int64_t parse_decimal(std::string_view text, bool *has_digits = nullptr);

// Calls on_piece for each line piece that starts in `data`. A piece ends after a
// newline or at LINE_PIECE_SIZE bytes; an unfinished piece at the end of `data`
// is left for the next read unless `at_end`. Returns the bytes consumed.
template <typename piece_visitor>
std::size_t split_line_pieces(std::string_view data, bool at_end, piece_visitor &&on_piece)
{
    std::size_t start = 0;
    while (start < data.size()) {
        const std::size_t limit = std::min(data.size() - start, LINE_PIECE_SIZE);
        const void *newline = std::memchr(data.data() + start, '\n', limit);
        std::size_t length = 0;
        if (newline != nullptr) {
            length = static_cast<std::size_t>(static_cast<const char *>(newline) - (data.data() + start)) + 1;
        } else if (limit == LINE_PIECE_SIZE || at_end) {
            length = limit;
        } else {
            break;
        }
        on_piece(text_part(data, start, length));
        start += length;
    }
    return start;
}

// Where read_line_pieces starts: at the file's current offset, or at offset 0
// with pread, which makes the kernel generate a held file's text anew.
enum class read_start { current_offset, file_start };

// Reads a file from `fd` to its end through `buffer` (at least 256 bytes) and
// calls on_piece for every line piece. A short read is taken as the end, as it
// is for the kernel's small generated files, which saves the empty read.
template <typename piece_visitor>
void read_line_pieces(int fd, std::span<char> buffer, piece_visitor &&on_piece,
                      read_start start = read_start::current_offset)
{
    std::size_t filled = 0;
    off_t offset = 0;
    bool at_end = false;
    while (!at_end) {
        const std::size_t wanted = buffer.size() - filled;
        const ssize_t got = start == read_start::file_start ? ::pread(fd, buffer.data() + filled, wanted, offset)
                                                            : ::read(fd, buffer.data() + filled, wanted);
        if (got <= 0 || static_cast<std::size_t>(got) < wanted) {
            at_end = true;
        }
        if (got > 0) {
            filled += static_cast<std::size_t>(got);
            offset += got;
        }
        const std::size_t used = split_line_pieces(std::string_view(buffer.data(), filled), at_end, on_piece);
        std::memmove(buffer.data(), buffer.data() + used, filled - used);
        filled -= used;
    }
}

// Reads once into `buffer`, leaving room for a terminating NUL; the kernel's
// small files come whole in one read. Returns the text read (empty on failure).
std::string_view read_small_file(int fd, std::span<char> buffer);

// The keys of one fdinfo file that the census uses.
struct fdinfo_keys {
    bool is_v3d = false;
    bool has_client_id = false;
    std::uint64_t client_id = 0;
    std::array<std::int64_t, ENGINE_COUNT> engine{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{};
    engine_flags engine_listed{}; // the queues that have a drm-engine-<queue> line
    memory_values memory = NO_MEMORY_VALUES;
};

// Applies one line piece of an fdinfo file (the kernel's DRM usage statistics,
// Documentation/gpu/drm-usage-stats.rst) to `keys`.
void apply_fdinfo_line(std::string_view piece, fdinfo_keys &keys);

// Parses a whole fdinfo text, piece by piece.
fdinfo_keys parse_fdinfo_text(std::string_view text);

// A V3D client with a valid id and some time on the queues that `listing` names.
bool is_listed_client(const fdinfo_keys &keys, client_listing listing = client_listing::default_queues);

// A client id as drm-usage-stats.rst defines it: an unsigned 64-bit decimal.
// False for text that is not such a number, or is negative.
bool parse_client_id(std::string_view text, std::uint64_t &client_id);

// A memory value: a decimal number, then no unit (bytes), "KiB" or "MiB".
// MEMORY_UNKNOWN for anything else, or a size beyond 64 bits.
std::int64_t parse_memory_bytes(std::string_view text);

// One gpu_stats row: true when its name is exactly "bin" and a number follows;
// `value` then holds that number.
bool parse_stats_row(std::string_view piece, std::int64_t &value);

// One queue's row of gpu_stats: a name of letters, digits and '_', then the
// timestamp, jobs and runtime. False for anything else, such as the header.
bool parse_queue_row(std::string_view piece, queue_counters &row);

// Takes the rows of a gpu_stats text piece by piece; the first piece is the header.
struct stats_row_search {
    bool header_seen = false;
    bool found = false;
    std::int64_t reading = 0;
    gpu_counters *counters = nullptr; // the queue rows are kept only when given

    void operator()(std::string_view piece);
};

// The reference reading of a whole gpu_stats text (the driver's debug statistics,
// drivers/gpu/drm/v3d/v3d_sysfs.c): the header line is skipped.
std::int64_t parse_stats_text(std::string_view text);

// The numeric fields of a /proc/<pid>/stat line, counted from 0 (0 is the pid,
// 1 the name); proc(5) counts the same fields from 1.
inline constexpr std::size_t STAT_PARENT = 3;
inline constexpr std::size_t STAT_UTIME = 13;
inline constexpr std::size_t STAT_STIME = 14;
inline constexpr std::size_t STAT_CHILDREN_UTIME = 15;
inline constexpr std::size_t STAT_CHILDREN_STIME = 16;
inline constexpr std::size_t STAT_START_TIME = 21;
inline constexpr std::size_t STAT_FIELD_COUNT = 22;
using stat_fields = std::array<std::int64_t, STAT_FIELD_COUNT>;

// Fields 2 to 21 of one stat line, each as parse_decimal reads it (the state,
// field 2, reads as 0); the pid and name stay 0. False without a ')'.
bool parse_stat_fields(std::string_view line, stat_fields &fields);

// User plus system time (proc(5) fields 14 and 15, utime and stime) of one stat
// line in clock ticks, saturated; 0 without a ')'.
std::int64_t parse_stat_cpu_ticks(std::string_view line);

// Makes a process name safe to print: cut at the first newline and at a NUL,
// control characters (C0, DEL and UTF-8-encoded C1) replaced by one '?' each,
// the pid in decimal when nothing is left.
void set_process_name(std::array<char, NAME_SIZE> &name, std::string_view raw, std::int32_t pid);

// CPU seconds from an open /proc/<pid>/stat; CPU_SECONDS_UNKNOWN when nothing
// is read, or what is read is no stat line (it has no ')').
double read_cpu_seconds_from(int fd);

// The same for `pid`, opened relative to an open proc directory.
double read_process_cpu_seconds_at(int proc_fd, std::int32_t pid);

// Writes `value` in decimal followed by `suffix` into `buffer`; false when it does not fit.
bool format_pid_path(std::span<char> buffer, const char *prefix, std::int32_t pid, const char *suffix);

// The next process of a listing of /proc (the entries named by a pid); false at the end.
bool next_process_entry(directory_listing &processes, std::int32_t &pid);

// The stat line of `pid`, opened relative to an open proc directory.
bool read_process_status_at(int proc_fd, std::int32_t pid, process_status &status);

// Reads the stat line of every process below the open proc directory into the
// tree's candidates and brings the tree up to date: `admitted` marks its members.
void judge_process_tree(process_tree &tree, int proc_fd);
