// Feeds any bytes to the reader of recorded lines: it must take a line only
// as a whole frame within its bounds, and refuse anything else with a reason.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_support.hpp"
#include "report/recording.hpp"

namespace {

// Every text field ends within its room.
template <std::size_t SIZE> bool terminated(const std::array<char, SIZE> &text)
{
    return std::memchr(text.data(), '\0', SIZE) != nullptr;
}

void require_sound_frame(const recorded_frame &into, double previous_timestamp)
{
    const frame &whole = into.whole;
    FUZZ_REQUIRE(whole.row_count >= 0 && whole.row_count <= MAX_CLIENTS);
    FUZZ_REQUIRE(into.counters.queue_count <= MAX_QUEUE_ROWS && into.previous_counters.queue_count <= MAX_QUEUE_ROWS);
    FUZZ_REQUIRE(whole.header.sample_time >= previous_timestamp && std::isfinite(whole.header.sample_time));
    FUZZ_REQUIRE(whole.header.counters == &into.counters && whole.previous.counters == &into.previous_counters);
    FUZZ_REQUIRE(whole.header.client_count <= whole.row_count);
    for (int index = 0; index < whole.row_count; ++index) {
        const utilisation_row &row = whole.rows[static_cast<std::size_t>(index)];
        FUZZ_REQUIRE(terminated(row.name) && terminated(row.client_name));
        FUZZ_REQUIRE(row.pid >= 0 && row.cpu >= 0.0 && std::isfinite(row.cpu));
        for (std::size_t engine = 0; engine < row.engine.size(); ++engine) {
            FUZZ_REQUIRE(std::isfinite(row.engine[engine]) && row.engine[engine] >= 0.0);
            FUZZ_REQUIRE(row.engine_gained_nanoseconds[engine] >= 0 && row.jobs_gained[engine] >= 0);
        }
    }
    for (int index = 0; index < into.counters.queue_count; ++index) {
        FUZZ_REQUIRE(terminated(into.counters.queues[static_cast<std::size_t>(index)].name));
        FUZZ_REQUIRE(std::isfinite(whole.header.queues[static_cast<std::size_t>(index)].busy));
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const auto into = std::make_unique<recorded_frame>();
    std::vector<char> line(reinterpret_cast<const char *>(data), reinterpret_cast<const char *>(data) + size);
    line.resize(line.size() + PARSE_PADDING, '\0');
    std::array<char, 4096> parser_memory{};
    std::array<char, RECORDING_REASON_SIZE> reason{};
    const double previous_timestamp = 100.0;
    if (parse_recorded_line(line.data(), *into, {}, previous_timestamp, parser_memory, reason)) {
        require_sound_frame(*into, previous_timestamp);
    } else {
        FUZZ_REQUIRE(reason[0] != '\0' && terminated(reason));
    }
    return 0;
}
