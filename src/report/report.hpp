// The reporting subsystem: percentages from two samples, and the ways of
// showing them (a terminal view, a CSV stream, JSON Lines, a metrics file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "sampling/client_table.hpp"

// One client's line of output.
struct utilisation_row {
    std::uint64_t client_id = 0;
    std::int32_t pid = 0;
    std::array<char, NAME_SIZE> name{};
    std::array<double, ENGINE_COUNT> engine{}; // percentages, indexed like client_sample::engine
    double cpu = 0.0;
    // Bytes, or MEMORY_UNKNOWN, as compute_utilisation fills them in. Zero by
    // default, so that the outputs' tables of rows need no pages until used.
    memory_values memory{};
    // The census's own readings, for outputs that carry the kernel's counters.
    std::array<std::int64_t, ENGINE_COUNT> engine_nanoseconds{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{};
    engine_flags engine_listed{};
    double cpu_seconds = 0.0;
    // What each queue gained since the previous census, never negative: busy
    // nanoseconds and jobs completed, over `elapsed` seconds of wall time. Their
    // ratio is the average job's length; jobs over `elapsed`, the rate.
    std::array<std::int64_t, ENGINE_COUNT> engine_gained_nanoseconds{};
    std::array<std::int64_t, ENGINE_COUNT> jobs_gained{};
    double elapsed = 0.0;
};

// The percentages of `current` against the previous census. Engine time is
// matched by client id and measured against the reference delta; CPU time is
// measured against the same process's previous reading over `elapsed` seconds.
utilisation_row compute_utilisation(const client_sample &current, const client_table &previous,
                                    std::int64_t reference_delta, double elapsed);

// One queue of the whole GPU over one pass.
struct queue_load {
    double busy = 0.0;            // per cent of the queue's own time base
    double jobs_per_second = 0.0;
};

// What a pass knows besides its rows: the time, the census's size and the
// whole GPU's queues (`counters` holds their names and raw readings).
struct frame_summary {
    double sample_time = 0.0;
    int client_count = 0;
    const gpu_counters *counters = nullptr;
    std::array<queue_load, MAX_QUEUE_ROWS> queues{};
};

// Each queue of `current` against the row of the same name in `previous`:
// busy = Δruntime / Δtimestamp × 100 and jobs per second = Δjobs / Δtimestamp
// in seconds; a difference that is not positive or overflows gives 0.
void compute_queue_loads(const gpu_counters &current, const gpu_counters &previous,
                         std::array<queue_load, MAX_QUEUE_ROWS> &loads);

// Returned once a stop signal has ended the output at a line's end (or cut
// it, when the reader took nothing for a second): the run ends in order, and
// whatever was still buffered is dropped.
inline constexpr int OUTPUT_STOPPED = -1;

// The six operations the sampling loop drives, supplied by each mode. Those that
// write return 0, OUTPUT_STOPPED, or the errno of a failed write.
struct report_operations {
    int (*open)();
    int (*begin_frame)(const frame_summary &frame);
    int (*row)(const utilisation_row &row, double sample_time);
    int (*end_frame)();
    void (*wait)();
    int (*close)();
    // Leads the message that a failed write ends the program with.
    const char *write_failure_text;
    // Whether the baseline sample is a frame too, for outputs of raw counters,
    // which need no second sample; its percentages are all zero.
    bool reports_baseline;
};

extern const report_operations CSV_REPORT;
extern const report_operations CSV_ALL_REPORT;
extern const report_operations JSON_REPORT;
// The terminal view, in src/view/.
extern const report_operations TERMINAL_REPORT;
extern const report_operations TERMINAL_ALL_REPORT;
extern const report_operations PROMETHEUS_REPORT;

// Keeps the name of the file that PROMETHEUS_REPORT writes and builds its
// failure text, once at start-up; false when the name is too long for a path.
bool set_metrics_file(const char *path);

// Loads ncursesw for the terminal view, once; null when it is loaded, else the
// dynamic loader's reason. Start-up calls it only when the view is asked for.
const char *load_terminal_library();

// Text on its way to a descriptor through a fixed buffer: written out when it
// fills and at each flush, so a pass allocates nothing.
inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 4096;
struct output_buffer {
    int fd = 1;
    std::array<char, OUTPUT_BUFFER_SIZE> bytes{};
    std::size_t length = 0;
    int failure = 0; // the first failure; later output is dropped
    bool line_begun = false; // what has gone out ends inside a line
};

// Each returns 0, OUTPUT_STOPPED or the errno of the failed write; after a
// failure the buffer takes nothing more.
int append_text(output_buffer &output, std::string_view text);
int append_format(output_buffer &output, const char *format, ...) __attribute__((format(printf, 2, 3)));
int flush_output(output_buffer &output);

// Sleeps until the next sample is due on the grid; a stop signal cuts it short.
void wait_one_interval();

// One CSV data line for `row`; the name is quoted when it holds ',' or '"'.
int write_csv_row(output_buffer &output, const utilisation_row &row, double sample_time);
// The same line with the added queues and the memory columns.
int write_csv_all_queues_row(output_buffer &output, const utilisation_row &row, double sample_time);

// The length of the valid UTF-8 character that `text` starts with, or 0 when
// its first byte does not start one (overlong forms and surrogates included).
std::size_t utf8_character_length(std::string_view text);

// Writes one ASCII character of a quoted text escaped as its format needs, and
// says so; false leaves the character to be written as it is.
using character_escape = bool (*)(output_buffer &output, char character);

// `bytes` in double quotes as valid UTF-8: every byte that is not part of a
// valid character becomes U+FFFD, and each ASCII character goes through `escape`.
int append_quoted_utf8(output_buffer &output, std::string_view bytes, character_escape escape);

// JSON text for `bytes`: quoted, escaped as RFC 8259 requires, and with every
// byte that is not part of valid UTF-8 replaced by U+FFFD.
int append_json_string(output_buffer &output, std::string_view bytes);
