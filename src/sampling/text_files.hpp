// The kernel's text files as the samplers read them: small RAII holders for
// descriptors, a directory lister, paths under /proc, and files read in line
// pieces so that any length of line fits a fixed buffer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

#include <fcntl.h>
#include <unistd.h>

#include "sampling/text_numbers.hpp"

// How the census opens the files under /proc. Regular and proc files ignore
// O_NONBLOCK; a FIFO found in their place reads as empty instead of blocking.
inline constexpr int TEXT_FILE_FLAGS = O_RDONLY | O_CLOEXEC | O_NONBLOCK;

// "/proc/%d/stat" and its kin are built in buffers of this size.
inline constexpr std::size_t PID_PATH_SIZE = 128;

// Closes its descriptor on every path out of the scope that opened it.
struct file_descriptor {
    int fd = -1;

    constexpr file_descriptor() = default;
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

// The next process of a listing of /proc (the entries named by a pid); false at the end.
bool next_process_entry(directory_listing &processes, std::int32_t &pid);


// Writes `value` in decimal followed by `suffix` into `buffer`; false when it does not fit.
bool format_pid_path(std::span<char> buffer, const char *prefix, std::int32_t pid, const char *suffix);

// A line buffer of 256 bytes hands a long line over in pieces of at most 255
// bytes, and every piece is tested as a line of its own.
inline constexpr std::size_t LINE_PIECE_SIZE = 255;

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
