// JSON Lines: one object per frame, with the whole GPU's queues and every
// client's six queues, CPU and memory.
#include <array>
#include <string_view>

#include "report/report.hpp"

namespace {

output_buffer standard_output;

// RFC 8259: the quote, the backslash and the control characters are escaped.
bool escape_json_character(output_buffer &output, char character)
{
    const auto byte = static_cast<unsigned char>(character);
    if (byte == '"' || byte == '\\') {
        append_text(output, byte == '"' ? "\\\"" : "\\\\");
    } else if (byte < 0x20) {
        append_format(output, "\\u%04x", byte);
    } else {
        return false;
    }
    return true;
}

bool first_client = true;

int json_open()
{
    standard_output.fd = stream_fd;
    return 0;
}

// The queues are named as the kernel names them, in the file's order.
int json_begin_frame(const frame_summary &frame)
{
    first_client = true;
    append_format(standard_output, "{\"timestamp\":%.3f,\"wall_time\":%.3f,\"gpu\":{", frame.sample_time,
                  frame.wall_time);
    const int queue_count = frame.counters != nullptr ? frame.counters->queue_count : 0;
    for (int index = 0; index < queue_count; ++index) {
        const auto position = static_cast<std::size_t>(index);
        append_text(standard_output, index == 0 ? "" : ",");
        append_json_string(standard_output, frame.counters->queues[position].name.data());
        append_format(standard_output, ":{\"busy\":%.1f,\"jobs_per_second\":%.1f}", frame.queues[position].busy,
                      frame.queues[position].jobs_per_second);
    }
    return append_text(standard_output, "},\"clients\":[");
}

int json_row(const utilisation_row &row, double)
{
    append_format(standard_output, "%s{\"client_id\":%llu,\"pid\":%d,\"process\":", first_client ? "" : ",",
                  static_cast<unsigned long long>(row.client_id), row.pid);
    first_client = false;
    append_json_string(standard_output, row.name.data());
    append_text(standard_output, ",\"busy\":{");
    for (std::size_t position = 0; position < KERNEL_ENGINE_ORDER.size(); ++position) {
        const auto engine = static_cast<std::size_t>(KERNEL_ENGINE_ORDER[position]);
        append_format(standard_output, "%s\"%s\":%.1f", position == 0 ? "" : ",", ENGINE_NAMES[engine],
                      row.engine[engine]);
    }
    append_format(standard_output, "},\"process_cpu\":%.1f,\"memory\":{", row.cpu);
    bool first_kind = true;
    for (std::size_t kind = 0; kind < row.memory.size(); ++kind) {
        if (row.memory[kind] != MEMORY_UNKNOWN) {
            append_format(standard_output, "%s\"%s\":%lld", first_kind ? "" : ",", MEMORY_NAMES[kind],
                          static_cast<long long>(row.memory[kind]));
            first_kind = false;
        }
    }
    return append_text(standard_output, "}}");
}

int json_end_frame()
{
    append_text(standard_output, "]}\n");
    return flush_output(standard_output);
}

int json_close()
{
    return flush_output(standard_output);
}

} // namespace

int append_json_string(output_buffer &output, std::string_view bytes)
{
    return append_quoted_utf8(output, bytes, escape_json_character);
}

const report_operations JSON_REPORT = {
    json_open, json_begin_frame, json_row, json_end_frame, wait_one_interval, json_close,
    "Error: cannot write JSON output: ", false,
};
