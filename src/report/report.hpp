// The reporting subsystem: percentages from two samples, and the ways of
// showing them (a terminal view, a CSV stream, JSON Lines, a metrics file).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "sampling/client_table.hpp"
#include "sampling/gpu_conditions.hpp"

// One client's line of output.
struct utilisation_row {
    std::uint64_t client_id = 0;
    std::int32_t pid = 0;
    std::array<char, NAME_SIZE> name{};
    client_name_text client_name{}; // empty when the application named none
    std::array<double, ENGINE_COUNT> engine{}; // percentages, indexed like client_sample::engine
    double cpu = 0.0;
    // Whether `cpu` rests on two known readings of the process; 0.0 when not.
    bool cpu_known = false;
    // Bytes, or MEMORY_UNKNOWN, as compute_utilisation fills them in. Zero by
    // default, so that the outputs' tables of rows need no pages until used.
    memory_values memory{};
    // The census's own readings, for outputs that carry the kernel's counters.
    std::array<std::int64_t, ENGINE_COUNT> engine_nanoseconds{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{};
    engine_flags engine_listed{}; // a queue not listed has no value, which is not 0
    double cpu_seconds = 0.0;     // or CPU_SECONDS_UNKNOWN
    // What each queue gained since the previous census, never negative: busy
    // nanoseconds and jobs completed, over `elapsed` seconds of wall time. Their
    // ratio is the average job's length; jobs over `elapsed`, the rate.
    std::array<std::int64_t, ENGINE_COUNT> engine_gained_nanoseconds{};
    std::array<std::int64_t, ENGINE_COUNT> jobs_gained{};
    double elapsed = 0.0;
    // The nanoseconds of the GPU's clock the percentages are measured over: the
    // frame's, or the census period's for a client first met between censuses.
    std::int64_t reference_nanoseconds = 0;
    // Jobs completed per second of the GPU's own clock, the time base of the
    // percentages, so that busy per cent = jobs per second × job length.
    std::array<double, ENGINE_COUNT> jobs_per_second{};
    // The average length of the jobs that each queue completed, in
    // milliseconds; NO_JOB_LENGTH where it completed none.
    std::array<double, ENGINE_COUNT> job_milliseconds{};
};

struct census_period;

// The percentages of `current` against the previous census. Engine time is
// matched by client id and measured against the reference delta; CPU time is
// measured against the same process's previous reading over `elapsed` seconds,
// or, with a census `period`, against its reading at the census before the
// last over that period.
// A client that `previous` does not hold is measured from zero over
// `new_client_reference_delta`: between censuses, the time since the census
// before the last, after which it opened its file (-1: the reference delta).
utilisation_row compute_utilisation(const client_sample &current, const client_table &previous,
                                    std::int64_t reference_delta, double elapsed,
                                    const census_period *period = nullptr,
                                    std::int64_t new_client_reference_delta = -1);

// The CPU per cent of `row`'s process: what its CPU time (row.cpu_seconds)
// gained since the same process's reading `base_cpu_seconds`, taken `elapsed`
// seconds before; unknown where either reading is (CPU_SECONDS_UNKNOWN), or no
// time passed.
void set_process_cpu(utilisation_row &row, double base_cpu_seconds, double elapsed);

// A job length for an interval in which no job completed.
inline constexpr double NO_JOB_LENGTH = -1.0;

// The average length in milliseconds of `jobs` jobs that kept a queue busy
// for `busy_nanoseconds`; NO_JOB_LENGTH when no job completed.
double average_job_milliseconds(std::int64_t busy_nanoseconds, std::int64_t jobs);

// One queue of the whole GPU over one pass. Zero by default, so that the
// records that hold them can start all zero and take no page of the program
// file; compute_queue_loads gives every queue its value.
struct queue_load {
    double busy = 0.0;            // per cent of the queue's own time base
    double jobs_per_second = 0.0;
    double job_milliseconds = 0.0; // the average length of the jobs completed, or NO_JOB_LENGTH
    bool measured = false;         // false while the queue has no time base
};
// A queue with no time base yet: no job length either.
inline constexpr queue_load UNMEASURED_QUEUE = {0.0, 0.0, NO_JOB_LENGTH, false};

// A frame's header: the time, the number of clients listed and the whole
// GPU's queues (`counters` holds their names and raw readings).
struct frame_header {
    double sample_time = 0.0;
    double wall_time = 0.0; // Unix seconds
    // Every followed process has ended (only when some are followed).
    bool followed_ended = false;
    int client_count = 0;
    const gpu_counters *counters = nullptr;
    std::array<queue_load, MAX_QUEUE_ROWS> queues{};
    // The GPU's conditions at the sample's census, and the share of the time
    // between two readings that the GPU was powered (runtime power
    // management), unknown without two readings of both times.
    gpu_conditions conditions{};
    bool powered_known = false;
    double powered_percent = 0.0;
    // Processes whose clients the census could not see (their fdinfo/ is
    // closed to this user).
    int unreadable_processes = 0;
};

// The powered share from `before` to `now`: the growth of the active time over
// that of the active and suspended times; false where either is unknown or
// no time grew.
bool powered_share(const gpu_conditions &before, const gpu_conditions &now, double &percent);

// Each queue of `current` against the row of the same name in `previous`:
// busy = Δruntime / Δtimestamp × 100, jobs per second = Δjobs / Δtimestamp
// in seconds and the job length Δruntime / Δjobs in milliseconds; a difference
// that is not positive or overflows gives 0 (NO_JOB_LENGTH for the length).
void compute_queue_loads(const gpu_counters &current, const gpu_counters &previous,
                         std::array<queue_load, MAX_QUEUE_ROWS> &loads);

// The whole GPU's busy time that no listed client accounts for: other users'
// clients, clients that closed during the interval, the kernel's own jobs.
// Differences below OTHERS_SHOWN_POINTS on every queue are noise, and a sum of
// the clients above the whole GPU's by more than OVERCOUNT_POINTS is a kernel
// that counted some client time twice.
inline constexpr double OTHERS_SHOWN_POINTS = 0.5;
inline constexpr double OVERCOUNT_POINTS = 5.0;
struct others_load {
    std::array<double, ENGINE_COUNT> busy{}; // per cent, never below 0; indexed like client_sample::engine
    std::array<bool, ENGINE_COUNT> overcount{};
    engine_flags listed{}; // the queues the driver's statistics list; the others have no value
    bool shown = false; // some queue is at OTHERS_SHOWN_POINTS or over, or overcounted
};

// The listed clients' busy per cent, summed one row at a time as the rows come.
using client_busy_sum = std::array<double, ENGINE_COUNT>;
void add_client_busy(client_busy_sum &sum, const utilisation_row &row);

// Per queue of the driver's statistics, the whole GPU's busy per cent less
// the clients' sum over the same interval. A queue the statistics file does
// not list, or lists without a time base yet, has nothing to compare with, so
// it is 0 and never overcounted.
others_load compute_others(const frame_header &frame, const client_busy_sum &clients);

// Why clients may be missing, as the -a view, --text and the summary say it:
// "2 processes not readable: run as root to see their clients".
inline constexpr std::size_t UNREADABLE_LINE_SIZE = 80;
void format_unreadable_line(std::array<char, UNREADABLE_LINE_SIZE> &text, int processes);

// Returned once a stop signal has ended the output at a line's end (or cut
// it, when the reader took nothing for a second): the run ends in order, and
// whatever was still buffered is dropped.
inline constexpr int OUTPUT_STOPPED = -1;

struct frame;
struct output_state;

// The six operations the sampling loop drives, supplied by each mode, each
// given the outputs' state. Those that write return 0, OUTPUT_STOPPED, or the
// errno of a failed write.
struct report_operations {
    int (*open)(output_state &state);
    int (*begin_frame)(output_state &state, const frame &whole);
    int (*row)(output_state &state, const utilisation_row &row, double sample_time);
    int (*end_frame)(output_state &state, const frame &whole);
    // Waits until `due` (CLOCK_MONOTONIC nanoseconds), taking the view's keys
    // meanwhile; null for an output that only sleeps, as the loop then does.
    void (*wait)(output_state &state, std::int64_t due);
    int (*close)(output_state &state);
    // Leads the message that a failed write ends the program with; null where
    // the text names a file, and the state's failure_text holds it.
    const char *write_failure_text;
    // Whether the baseline sample is a frame too, for outputs of raw counters,
    // which need no second sample; its percentages are all zero.
    bool reports_baseline;
    // The shortest time between frames, in nanoseconds: the samples in between
    // make none, and the next frame is measured from the last one. 0: a frame
    // for every sample.
    std::int64_t shortest_frame_ns = 0;
};

// The terminal view redraws at most ten times a second.
inline constexpr std::int64_t SHORTEST_REDRAW_NS = 100'000'000;

extern const report_operations CSV_REPORT;
extern const report_operations CSV_ALL_REPORT;
extern const report_operations JSON_REPORT;
extern const report_operations PROMETHEUS_REPORT;

// Text on its way to a descriptor through a fixed buffer: written out when it
// fills and at each flush, so a pass allocates nothing.
inline constexpr std::size_t OUTPUT_BUFFER_SIZE = 4096;
struct output_buffer {
    int fd = 1;
    std::array<char, OUTPUT_BUFFER_SIZE> bytes{};
    std::size_t length = 0;
    int failure = 0; // the first failure; later output is dropped
    bool line_begun = false; // what has gone out ends inside a line
    // Text written once the run has ended, such as its summary: the stop that
    // ended the run does not drop it, though a signal that cuts one of its
    // writes short after a stop still ends it.
    bool after_the_run = false;
    // When the line begun at a stop must be finished by; 0 while none is.
    std::int64_t line_finish_deadline = 0;
};

// Each returns 0, OUTPUT_STOPPED or the errno of the failed write; after a
// failure the buffer takes nothing more.
int append_text(output_buffer &output, std::string_view text);
int append_format(output_buffer &output, const char *format, ...) __attribute__((format(printf, 2, 3)));
int flush_output(output_buffer &output);

// The decimals of the CSV and JSON timestamps: milliseconds, and microseconds
// at sample intervals under TIMESTAMP_MILLISECONDS_FROM_NS, where a
// millisecond is a tenth of the interval or more.
inline constexpr std::int64_t TIMESTAMP_MILLISECONDS_FROM_NS = 100'000'000;
int timestamp_decimals(std::int64_t sample_interval_ns);

// One CSV data line for `row`; the name is quoted when it holds ',' or '"'.
// `decimals` are those of the timestamp (timestamp_decimals).
int write_csv_row(output_buffer &output, const utilisation_row &row, double sample_time, int decimals = 3);
// The same line with the added queues and the memory columns.
int write_csv_all_queues_row(output_buffer &output, const utilisation_row &row, double sample_time, int decimals = 3);

// The length of the valid UTF-8 character that `text` starts with, or 0 when
// its first byte does not start one (overlong forms and surrogates included).
std::size_t utf8_character_length(std::string_view text);

// Writes one character of a quoted text (its valid UTF-8 bytes) escaped as its
// format needs, and says so; false leaves the character to be written as it is.
using character_escape = bool (*)(output_buffer &output, std::string_view character);

// `bytes` in double quotes as valid UTF-8: every byte that is not part of a
// valid character becomes U+FFFD, and each character goes through `escape`.
int append_quoted_utf8(output_buffer &output, std::string_view bytes, character_escape escape);

// JSON text for `bytes`: quoted, escaped as RFC 8259 requires, and with every
// byte that is not part of valid UTF-8 replaced by U+FFFD.
int append_json_string(output_buffer &output, std::string_view bytes);
