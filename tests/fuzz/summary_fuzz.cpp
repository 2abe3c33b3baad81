// Feeds any bytes to the reader of summaries that --compare takes, then
// compares what it read with itself: nothing may pass its bounds, and a
// summary compared with itself changes nowhere.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include <unistd.h>

#include "fuzz_support.hpp"
#include "report/comparison.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const auto summary = std::make_unique<recorded_summary>();
    static const auto rows = std::make_unique<comparison>();
    std::vector<char> text(reinterpret_cast<const char *>(data), reinterpret_cast<const char *>(data) + size);
    text.resize(text.size() + PARSE_PADDING, '\0');
    std::array<char, 4096> parser_memory{};
    std::array<char, SUMMARY_REASON_SIZE> reason{};
    if (!parse_summary(text.data(), *summary, parser_memory, reason)) {
        FUZZ_REQUIRE(reason[0] != '\0' && std::memchr(reason.data(), '\0', reason.size()) != nullptr);
        return 0;
    }
    FUZZ_REQUIRE(summary->client_count >= 0 && summary->client_count <= MAX_CLIENTS);
    compare_summaries(*summary, *summary, *rows);
    FUZZ_REQUIRE(rows->row_count >= 0 && rows->row_count <= COMPARISON_ROWS);
    for (int index = 0; index < rows->row_count; ++index) {
        const comparison_row &row = rows->rows[static_cast<std::size_t>(index)];
        FUZZ_REQUIRE(row.rule != nullptr && std::memchr(row.client.data(), '\0', row.client.size()) != nullptr);
        FUZZ_REQUIRE(row.change == 0.0 && !row.marked);
    }
    // Written whole to a file in memory, emptied for each input.
    static const int written = file_holding("");
    FUZZ_REQUIRE(::ftruncate(written, 0) == 0 && ::lseek(written, 0, SEEK_SET) == 0);
    FUZZ_REQUIRE(write_comparison_json(*rows, "a", "b", written) == 0);
    FUZZ_REQUIRE(write_comparison_text(*rows, "a", "b", written) == 0);
    return 0;
}
