// JSON Lines: one object per frame, with the whole GPU's queues, every
// client's six queues, jobs, CPU and memory, and the busy time of others.
#include <array>
#include <string_view>

#include "report/frame.hpp"
#include "report/json_members.hpp"
#include "report/output_state.hpp"

namespace {

// RFC 8259: the quote, the backslash and the control characters are escaped.
// U+2028 and U+2029 are escaped too: valid JSON as they are, but common line
// splitters (JavaScript's among them) would cut a record there.
bool escape_json_character(output_buffer &output, std::string_view character)
{
    constexpr std::string_view LINE_SEPARATOR = "\xE2\x80\xA8";
    constexpr std::string_view PARAGRAPH_SEPARATOR = "\xE2\x80\xA9";
    if (character == LINE_SEPARATOR || character == PARAGRAPH_SEPARATOR) {
        append_text(output, character == LINE_SEPARATOR ? "\\u2028" : "\\u2029");
        return true;
    }
    if (character.size() != 1) {
        return false;
    }
    const auto byte = static_cast<unsigned char>(character.front());
    if (byte == '"' || byte == '\\') {
        append_text(output, byte == '"' ? "\\\"" : "\\\\");
    } else if (byte < 0x20) {
        append_format(output, "\\u%04x", byte);
    } else {
        return false;
    }
    return true;
}

// The queues are named as the kernel names them, in the file's order.
int json_begin_frame(output_state &state, const frame &whole)
{
    output_buffer &output = state.stream;
    const frame_header &frame = whole.header;
    state.first_client = true;
    append_format(output, "{\"timestamp\":%.*f,\"wall_time\":%.*f,\"gpu\":{", state.timestamp_decimals,
                  frame.sample_time, state.timestamp_decimals, frame.wall_time);
    const int queue_count = frame.counters != nullptr ? frame.counters->queue_count : 0;
    for (int index = 0; index < queue_count; ++index) {
        const auto position = static_cast<std::size_t>(index);
        append_text(output, index == 0 ? "" : ",");
        append_json_string(output, frame.counters->queues[position].name.data());
        const queue_load &load = frame.queues[position];
        append_format(output, ":{\"busy\":%.1f,\"jobs_per_second\":%.1f,\"average_job_ms\":", load.busy,
                      load.jobs_per_second);
        if (load.job_milliseconds == NO_JOB_LENGTH) {
            append_text(output, "null,");
        } else {
            append_format(output, "%.1f,", load.job_milliseconds);
        }
        append_queue_readings(output, frame.counters->queues[position]);
        append_text(output, "}");
    }
    append_text(output, "}");
    append_conditions(output, frame);
    append_followed_cpu(output, whole.cpu);
    append_previous(output, whole.previous, state.timestamp_decimals);
    append_format(output, ",\"unreadable_processes\":%d", frame.unreadable_processes);
    return append_text(output, ",\"clients\":[");
}

int json_row(output_state &state, const utilisation_row &row, double)
{
    output_buffer &output = state.stream;
    append_format(output, "%s{\"client_id\":%llu,\"pid\":%d,\"process\":", state.first_client ? "" : ",",
                  static_cast<unsigned long long>(row.client_id), row.pid);
    state.first_client = false;
    append_json_string(output, row.name.data());
    if (row.client_name[0] != '\0') {
        append_text(output, ",\"client_name\":");
        append_json_string(output, row.client_name.data());
    }
    // Only the queues the client's fdinfo lists: an older kernel has fewer.
    append_text(output, ",\"busy\":");
    append_listed_queues(output, row, row.engine);
    append_text(output, ",\"jobs_per_second\":");
    append_listed_queues(output, row, row.jobs_per_second);
    // The counters behind the figures, for a replay of the recording.
    append_text(output, ",\"busy_ns\":");
    append_listed_counts(output, row, row.engine_nanoseconds);
    append_text(output, ",\"busy_ns_gained\":");
    append_listed_counts(output, row, row.engine_gained_nanoseconds);
    append_text(output, ",\"jobs_gained\":");
    append_listed_counts(output, row, row.jobs_gained);
    append_format(output, ",\"gained_over_ns\":%lld", static_cast<long long>(row.reference_nanoseconds));
    if (row.cpu_known) {
        append_format(output, ",\"process_cpu\":%.1f,\"memory\":{", row.cpu);
    } else {
        append_text(output, ",\"process_cpu\":null,\"memory\":{");
    }
    bool first_kind = true;
    for (std::size_t kind = 0; kind < row.memory.size(); ++kind) {
        if (row.memory[kind] != MEMORY_UNKNOWN) {
            append_format(output, "%s\"%s\":%lld", first_kind ? "" : ",", MEMORY_NAMES[kind],
                          static_cast<long long>(row.memory[kind]));
            first_kind = false;
        }
    }
    return append_text(output, "}}");
}

int json_end_frame(output_state &state, const frame &whole)
{
    append_text(state.stream, "],");
    append_others(state.stream, whole.others);
    append_text(state.stream, "}\n");
    return flush_output(state.stream);
}

int json_close(output_state &state)
{
    return flush_output(state.stream);
}

} // namespace

int append_json_string(output_buffer &output, std::string_view bytes)
{
    return append_quoted_utf8(output, bytes, escape_json_character);
}

const report_operations JSON_REPORT = {
    nullptr, json_begin_frame, json_row, json_end_frame, nullptr, json_close,
    "Error: cannot write JSON output: ", false,
};
