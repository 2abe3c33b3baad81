// Parsers of the driver's gpu_stats rows and of /proc/<pid>/stat lines, and
// the readers of a process's stat line and CPU time.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "sampling/client_table.hpp"
#include "sampling/text_files.hpp"

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

// Copies `raw` into `into`, NUL-terminated and safe to print: cut at the first
// newline and at a NUL, control characters (C0, DEL and UTF-8-encoded C1)
// replaced by one '?' each. Returns the length copied.
std::size_t set_safe_text(std::span<char> into, std::string_view raw);

// Makes a process name safe to print: cut at the first newline and at a NUL,
// control characters (C0, DEL and UTF-8-encoded C1) replaced by one '?' each,
// the pid in decimal when nothing is left.
void set_process_name(std::array<char, NAME_SIZE> &name, std::string_view raw, std::int32_t pid);

// CPU seconds from an open /proc/<pid>/stat; CPU_SECONDS_UNKNOWN when nothing
// is read, or what is read is no stat line (it has no ')').
double read_cpu_seconds_from(int fd);

// The same for `pid`, opened relative to an open proc directory.
double read_process_cpu_seconds_at(int proc_fd, std::int32_t pid);

// The stat line of `pid`, opened relative to an open proc directory.
bool read_process_status_at(int proc_fd, std::int32_t pid, process_status &status);

// Reads the stat line of every process below the open proc directory into the
// tree's candidates and brings the tree up to date: `admitted` marks its members.
void judge_process_tree(process_tree &tree, int proc_fd);
