#include "report/json_members.hpp"

void append_member(output_buffer &output, bool &first, const char *name)
{
    append_format(output, "%s\"%s\":", first ? "" : ",", name);
    first = false;
}

namespace {

void append_count_member(output_buffer &output, bool &first, const char *name, std::int64_t value)
{
    append_member(output, first, name);
    append_format(output, "%lld", static_cast<long long>(value));
}

// The runtime power times, from which the powered share of any stretch is worked out.
void append_power_times(output_buffer &output, bool &first, const gpu_conditions &conditions)
{
    if (conditions.power_times_known) {
        append_count_member(output, first, "runtime_active_ms", conditions.active_ms);
        append_count_member(output, first, "runtime_suspended_ms", conditions.suspended_ms);
    }
}

} // namespace

void append_conditions(output_buffer &output, const frame_header &frame)
{
    const gpu_conditions &conditions = frame.conditions;
    bool first = true;
    append_text(output, ",\"conditions\":{");
    if (conditions.clock_hz > 0) {
        append_count_member(output, first, "clock_hz", conditions.clock_hz);
    }
    if (conditions.clock_max_hz > 0) {
        append_count_member(output, first, "clock_max_hz", conditions.clock_max_hz);
    }
    if (conditions.clock_known) {
        append_member(output, first, "clock_on");
        append_text(output, conditions.clock_on ? "true" : "false");
    }
    if (conditions.power_status[0] != '\0') {
        append_member(output, first, "power");
        append_json_string(output, conditions.power_status.data());
    }
    if (frame.powered_known) {
        append_member(output, first, "powered_percent");
        append_format(output, "%.1f", frame.powered_percent);
    }
    if (conditions.temperature_known) {
        append_member(output, first, "temperature_celsius");
        append_format(output, "%.1f", static_cast<double>(conditions.temperature_millicelsius) / 1000.0);
    }
    if (conditions.cpu_frequency_khz > 0) {
        append_count_member(output, first, "cpu_frequency_hz", conditions.cpu_frequency_khz * 1000);
    }
    if (conditions.under_voltage_known) {
        append_member(output, first, "under_voltage");
        append_text(output, conditions.under_voltage ? "true" : "false");
    }
    append_power_times(output, first, conditions);
    append_text(output, "}");
}

void append_listed_queues(output_buffer &output, const utilisation_row &row,
                          const std::array<double, ENGINE_COUNT> &values)
{
    append_text(output, "{");
    bool first = true;
    for (const int queue : KERNEL_ENGINE_ORDER) {
        const auto engine = static_cast<std::size_t>(queue);
        if (row.engine_listed[engine]) {
            append_member(output, first, ENGINE_NAMES[engine]);
            append_format(output, "%.1f", values[engine]);
        }
    }
    append_text(output, "}");
}

void append_listed_counts(output_buffer &output, const utilisation_row &row,
                          const std::array<std::int64_t, ENGINE_COUNT> &values)
{
    append_text(output, "{");
    bool first = true;
    for (const int queue : KERNEL_ENGINE_ORDER) {
        const auto engine = static_cast<std::size_t>(queue);
        if (row.engine_listed[engine]) {
            append_count_member(output, first, ENGINE_NAMES[engine], values[engine]);
        }
    }
    append_text(output, "}");
}

void append_queue_readings(output_buffer &output, const queue_counters &queue)
{
    append_format(output, "\"timestamp_ns\":%lld,\"jobs\":%lld,\"runtime_ns\":%lld",
                  static_cast<long long>(queue.timestamp), static_cast<long long>(queue.jobs),
                  static_cast<long long>(queue.runtime));
}

void append_followed_cpu(output_buffer &output, const followed_cpu &cpu)
{
    if (cpu.known) {
        append_format(output, ",\"followed_cpu\":{\"user_seconds\":%.6f,\"system_seconds\":%.6f}", cpu.user_seconds,
                      cpu.system_seconds);
    }
}

void append_previous(output_buffer &output, const frame_base &previous, int decimals)
{
    append_format(output, ",\"previous\":{\"timestamp\":%.*f,\"wall_time\":%.*f,\"gpu\":{", decimals,
                  previous.sample_time, decimals, previous.wall_time);
    const int queue_count = previous.counters != nullptr ? previous.counters->queue_count : 0;
    for (int index = 0; index < queue_count; ++index) {
        const queue_counters &queue = previous.counters->queues[static_cast<std::size_t>(index)];
        append_text(output, index == 0 ? "" : ",");
        append_json_string(output, queue.name.data());
        append_text(output, ":{");
        append_queue_readings(output, queue);
        append_text(output, "}");
    }
    append_text(output, "},\"conditions\":{");
    bool first = true;
    append_power_times(output, first, previous.conditions);
    append_text(output, "}");
    append_followed_cpu(output, previous.cpu);
    append_text(output, "}");
}

// The busy keys of a client for the queues the driver's statistics list, and
// the queues on which the clients' sum is inflated, always present so that a
// reader finds the same keys in every line.
void append_others(output_buffer &output, const others_load &others)
{
    append_text(output, "\"others\":{\"busy\":{");
    bool first_busy = true;
    for (const int queue : KERNEL_ENGINE_ORDER) {
        const auto engine = static_cast<std::size_t>(queue);
        if (others.listed[engine]) {
            append_member(output, first_busy, ENGINE_NAMES[engine]);
            append_format(output, "%.1f", others.busy[engine]);
        }
    }
    append_text(output, "},\"overcount\":[");
    bool first_queue = true;
    for (const int engine : KERNEL_ENGINE_ORDER) {
        if (others.overcount[static_cast<std::size_t>(engine)]) {
            append_format(output, "%s\"%s\"", first_queue ? "" : ",",
                          ENGINE_NAMES[static_cast<std::size_t>(engine)]);
            first_queue = false;
        }
    }
    append_text(output, "]}");
}
