// Recordings: the JSON Lines of --json read back as frames, so that every
// output can take them as it takes the live ones.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "report/frame.hpp"

// The longest line read, its end included: room for 256 clients with long names.
inline constexpr std::size_t RECORDING_LINE_SIZE = std::size_t{1} << 20;
// The deepest nesting of a frame's objects: "previous", "gpu", a queue.
inline constexpr int RECORDING_DEPTH = 4;
inline constexpr std::size_t RECORDING_REASON_SIZE = 160;
// RapidJSON 1.1 checks a UTF-8 character's tail bytes before it looks for the
// text's end, so it may read up to three bytes past the NUL that ends a line
// cut inside one: the text it parses has that many bytes of room after it.
inline constexpr std::size_t PARSE_PADDING = 4;

// One recorded frame and the readings its header points into.
struct recorded_frame {
    frame whole{};
    gpu_counters counters{};
    gpu_counters previous_counters{};
    // The decimals the recording's timestamps were written with.
    int timestamp_decimals = 0;
};

// Which of a recording's clients a frame keeps, and which it lists.
struct recording_filter {
    // Only these pids' clients (-p): a recording has no process tree, so
    // their descendants are not added. None: every client.
    const std::int32_t *pids = nullptr;
    int pid_count = 0;
    // Every client is listed (JSON, -a, a summary); else only those busy on
    // the default queues, as a live run lists them.
    bool lists_all = false;
};

// A recording being read: the file, the line buffer, and the last frame's
// time. All zero until used, so that it takes no room in the program file.
struct recording_reader {
    int fd = 0; // held open by the caller
    std::array<char, RECORDING_LINE_SIZE + PARSE_PADDING> buffer{}; // a NUL after the line, for parsing in place
    std::size_t length = 0; // bytes held
    std::size_t start = 0;  // where the next line starts
    bool end_of_file = false;
    int line_number = 0;
    bool any_frame = false;
    double last_timestamp = 0.0;
    recording_filter filter{};
    // The parser's own stack, from which it takes instead of the heap.
    alignas(std::max_align_t) std::array<char, 4096> parser_memory{};
};

enum class recording_result { frame, end, cut_short, failed };

// The next frame of the recording into `into`; at a failure, `reason` says
// why, and reader.line_number which line. A last line that ends without its
// newline and is not a frame was cut short (a run killed while writing it).
recording_result read_recorded_frame(recording_reader &reader, recorded_frame &into,
                                     std::array<char, RECORDING_REASON_SIZE> &reason);

// Parses one line (NUL-terminated, with PARSE_PADDING bytes of room from its
// NUL on, changed in place) into `into`; false with the reason. `previous_timestamp` is the last frame's time, or negative for none.
bool parse_recorded_line(char *line, recorded_frame &into, const recording_filter &filter,
                         double previous_timestamp, std::array<char, 4096> &parser_memory,
                         std::array<char, RECORDING_REASON_SIZE> &reason);
