// The members of a recorded frame line: where each may stand, what kind of
// value it holds, whether a frame needs it, and where its value goes.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "report/recording.hpp"

// The objects and arrays of a frame line.
enum class place : std::uint8_t {
    none, frame, gpu, gpu_queue, conditions, previous, previous_gpu, previous_queue, previous_conditions,
    clients, client, client_queues, client_memory, others, others_busy, others_overcount, cpu_time,
    previous_cpu_time, ignored
};

enum class value_kind : std::uint8_t { number, count, flag, text, number_or_null, object, array };

// Every member with a name of its own; the per-queue and per-kind objects
// are keyed by the queues' and memory kinds' names instead.
enum class member : std::uint8_t {
    timestamp, wall_time, unreadable_processes, gpu, conditions, previous, clients, others,
    queue_timestamp, queue_jobs, queue_runtime,
    clock_hz, clock_max_hz, clock_on, power, powered_percent, temperature, cpu_frequency, under_voltage,
    active_ms, suspended_ms,
    client_id, pid, process, client_name, busy, jobs_per_second, busy_ns, busy_ns_gained, jobs_gained, gained_over, process_cpu,
    memory, others_busy, overcount, followed_cpu, cpu_user, cpu_system
};

struct member_rule {
    place where;
    std::string_view name;
    value_kind kind;
    bool required;
    member id;
    place opens = place::none; // for an object or array: the place inside it
};

// The rule of the member `name` in `where`; null for a member the reader does not know.
const member_rule *find_member_rule(place where, std::string_view name);

// The first member that `where` requires and `seen` (a bit per rule, in rule
// order) lacks; null when none is missing.
const member_rule *missing_member(place where, std::uint64_t seen);

// The bit of `rule` among those of its place.
std::uint64_t member_bit(const member_rule &rule);

// "a number", "an object", ... for the reason a member is refused.
const char *value_kind_name(value_kind kind);
// Whether a value of kind `given` may stand where `wanted` is.
bool value_fits(value_kind wanted, value_kind given);

// One scalar value of a line as the parser met it.
struct line_value {
    value_kind kind = value_kind::number; // number, flag, text, or number_or_null for null
    std::string_view text;                // a number's or a text's bytes
    bool flag = false;
};

// What a line is being read into: the frame and the row being read.
struct line_target {
    recorded_frame *into = nullptr;
    const recording_filter *filter = nullptr;
    utilisation_row *row = nullptr;
    queue_counters *queue = nullptr; // the whole GPU's queue being read
    bool row_queues_listed = false; // the row's "busy" named its queues
    member queues_member = member::busy; // the per-queue object being read
};

// Stores `value` of the member that `rule` names; false with the reason when
// it is out of range.
bool store_member(line_target &target, const member_rule &rule, const line_value &value,
                  std::array<char, RECORDING_REASON_SIZE> &reason);

// Stores one value of a per-queue or per-kind object (`where`) under `key`.
bool store_keyed_value(line_target &target, place where, std::string_view key, const line_value &value,
                       std::array<char, RECORDING_REASON_SIZE> &reason);

// Parses a number: a finite double, or a whole number in the range of int64.
bool parse_number(std::string_view text, double &value);
bool parse_count(std::string_view text, std::int64_t &value);

// The rest of a parsed frame, as a live run computes it: the whole GPU's
// figures from its readings, the rows' job lengths, the rows listed, the others.
void finish_recorded_frame(recorded_frame &into, const recording_filter &filter);
