// Feeds any bytes to the gpu_stats row parser, one row at a time and as a
// whole file, and compares each row with the "%63s %lld" reading of it.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz_support.hpp"
#include "sampling/kernel_text.hpp"
#include "support/kernel_readers.hpp"

namespace {

bool expected_row(std::string_view piece, long long &value)
{
    const std::string line(piece.substr(0, std::min(piece.find('\0'), piece.size())));
    std::array<char, 64> name{};
    return std::sscanf(line.c_str(), "%63s %lld", name.data(), &value) == 2 && std::strcmp(name.data(), "bin") == 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char *>(data), size);

    // Every piece as a row of its own, against sscanf.
    bool any_row = false;
    bool header_seen = false;
    std::int64_t first_reading = 0;
    split_line_pieces(text, true, [&](std::string_view piece) {
        std::int64_t value = -7;
        long long expected = 0;
        const bool parsed = parse_stats_row(piece, value);
        FUZZ_REQUIRE(parsed == expected_row(piece, expected));
        if (parsed) {
            FUZZ_REQUIRE(value == expected);
            if (header_seen && !any_row) {
                any_row = true;
                first_reading = value;
            }
        } else {
            FUZZ_REQUIRE(value == -7);
        }
        header_seen = true;
    });

    // The whole text: the first "bin" row after the header, else 0.
    const std::int64_t reading = parse_stats_text(text);
    FUZZ_REQUIRE(reading == (any_row ? first_reading : 0));

    // Streamed through a small buffer, as the statistics reader does, with
    // the queue rows kept: never more than fit, each named by a plain word.
    gpu_counters counters;
    stats_row_search search;
    search.counters = &counters;
    const int fd = file_holding(text);
    std::array<char, LINE_PIECE_SIZE + 1> buffer;
    read_line_pieces(fd, buffer, search);
    ::close(fd);
    FUZZ_REQUIRE(search.found == any_row);
    FUZZ_REQUIRE((search.found ? search.reading : 0) == reading);
    FUZZ_REQUIRE(counters.queue_count >= 0 && counters.queue_count <= MAX_QUEUE_ROWS);
    for (int index = 0; index < counters.queue_count; ++index) {
        const std::string_view name(counters.queues[static_cast<std::size_t>(index)].name.data());
        FUZZ_REQUIRE(!name.empty() && name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                             "0123456789_") == std::string_view::npos);
    }
    return 0;
}
