// The metrics in Prometheus's text exposition format (0.0.4): the whole
// GPU's counters, then each listed client's, family by family.
#include "report/metrics_text.hpp"

#include "report/frame.hpp"
#include "control/process_state.hpp"

namespace {

constexpr std::int64_t NANOSECONDS_PER_SECOND = 1'000'000'000;

// A label value as the text format requires: backslash, double quote and
// newline escaped.
bool escape_label_character(output_buffer &output, std::string_view character)
{
    if (character.size() != 1) {
        return false;
    }
    switch (character.front()) {
    case '\\':
        append_text(output, "\\\\");
        return true;
    case '"':
        append_text(output, "\\\"");
        return true;
    case '\n':
        append_text(output, "\\n");
        return true;
    default:
        return false;
    }
}

void append_label_value(output_buffer &output, std::string_view bytes)
{
    append_quoted_utf8(output, bytes, escape_label_character);
}

void append_family_header(output_buffer &output, const char *name, const char *type, const char *help)
{
    append_format(output, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The labels every sample of a client starts with, after the opening brace.
void append_client_labels(output_buffer &output, std::string_view card_name, const utilisation_row &row)
{
    append_text(output, "card=");
    append_label_value(output, card_name);
    append_format(output, ",client_id=\"%llu\",pid=\"%d\",process=", static_cast<unsigned long long>(row.client_id),
                  row.pid);
    append_label_value(output, row.name.data());
}

// Nanoseconds as seconds with all nine decimals, worked out on the integer so
// that the value is the kernel's count exactly.
void append_seconds(output_buffer &output, std::int64_t nanoseconds)
{
    append_format(output, " %lld.%09lld\n", static_cast<long long>(nanoseconds / NANOSECONDS_PER_SECOND),
                  static_cast<long long>(nanoseconds % NANOSECONDS_PER_SECOND));
}

void append_count(output_buffer &output, std::int64_t count)
{
    append_format(output, " %lld\n", static_cast<long long>(count));
}

// CPU seconds are ticks over clock ticks per second: with as many decimals as
// make that quotient exact ("12.34" for 100 ticks a second), or nine.
void append_cpu_seconds(output_buffer &output, double value)
{
    constexpr int MOST_DECIMALS = 9;
    int decimals = 0;
    for (std::int64_t power = 1; decimals < MOST_DECIMALS && (clock_ticks <= 0 || power % clock_ticks != 0);
         power *= 10) {
        ++decimals;
    }
    append_format(output, " %.*f\n", decimals, value);
}

// One family of the statistics rows: `reading` picks the row's number and
// `append_value` writes it. Counters never go down, so a negative reading is
// no count at all: its sample is left out rather than written as one that a
// rate would take for a reset.
void write_gpu_family(output_buffer &output, std::string_view card_name, const gpu_counters *counters,
                      const char *name, const char *help, std::int64_t queue_counters::*reading,
                      void (*append_value)(output_buffer &, std::int64_t))
{
    append_family_header(output, name, "counter", help);
    const int queue_count = counters != nullptr ? counters->queue_count : 0;
    for (int index = 0; index < queue_count; ++index) {
        const queue_counters &queue = counters->queues[static_cast<std::size_t>(index)];
        if (queue.*reading >= 0) {
            append_format(output, "%s{card=", name);
            append_label_value(output, card_name);
            append_text(output, ",queue=");
            append_label_value(output, queue.name.data());
            append_text(output, "}");
            append_value(output, queue.*reading);
        }
    }
}

// Each listed row of the frame, in the census's order.
template <typename row_writer>
void for_each_listed_row(const frame &whole, row_writer write)
{
    for (int index = 0; index < whole.row_count; ++index) {
        if (whole.listed[static_cast<std::size_t>(index)]) {
            write(whole.rows[static_cast<std::size_t>(index)], index);
        }
    }
}

void write_client_families(output_buffer &output, std::string_view card_name, const frame &whole)
{
    append_family_header(output, "v3d_client_busy_seconds_total", "counter",
                         "Time each queue of the GPU has been busy with the client's jobs (drm-engine-<queue>).");
    for_each_listed_row(whole, [&output, card_name](const utilisation_row &row, int) {
        for (const int engine : KERNEL_ENGINE_ORDER) {
            const std::int64_t nanoseconds = row.engine_nanoseconds[static_cast<std::size_t>(engine)];
            // A queue the fdinfo does not list is left out, and so is a
            // negative reading, as for the rows.
            if (row.engine_listed[static_cast<std::size_t>(engine)] && nanoseconds >= 0) {
                append_text(output, "v3d_client_busy_seconds_total{");
                append_client_labels(output, card_name, row);
                append_format(output, ",queue=\"%s\"}", ENGINE_NAMES[static_cast<std::size_t>(engine)]);
                append_seconds(output, nanoseconds);
            }
        }
    });
    append_family_header(output, "v3d_client_jobs_total", "counter",
                         "Jobs each queue of the GPU has completed for the client (v3d-jobs-<queue>).");
    for_each_listed_row(whole, [&output, card_name](const utilisation_row &row, int) {
        for (const int engine : KERNEL_ENGINE_ORDER) {
            const auto index = static_cast<std::size_t>(engine);
            // Only the queues the kernel lists, and no negative count, as for the rows.
            if (row.engine_listed[index] && row.jobs[index] >= 0) {
                append_text(output, "v3d_client_jobs_total{");
                append_client_labels(output, card_name, row);
                append_format(output, ",queue=\"%s\"}", ENGINE_NAMES[index]);
                append_count(output, row.jobs[index]);
            }
        }
    });
    append_family_header(output, "v3d_client_memory_bytes", "gauge",
                         "Memory of the client's buffers by kind, as the kernel gives it (drm-<kind>-memory).");
    for_each_listed_row(whole, [&output, card_name](const utilisation_row &row, int) {
        for (std::size_t kind = 0; kind < row.memory.size(); ++kind) {
            if (row.memory[kind] != MEMORY_UNKNOWN) {
                append_text(output, "v3d_client_memory_bytes{");
                append_client_labels(output, card_name, row);
                append_format(output, ",kind=\"%s\"}", MEMORY_NAMES[kind]);
                append_count(output, row.memory[kind]);
            }
        }
    });
    // A process that holds several clients is one series. A process whose
    // stat could not be read is left out of this write, rather than written as
    // a counter that fell to 0.
    append_family_header(output, "v3d_process_cpu_seconds_total", "counter",
                         "User plus system CPU time of each process that holds a listed client.");
    for_each_listed_row(whole, [&output, &whole](const utilisation_row &row, int index) {
        bool seen = false;
        for (int earlier = 0; earlier < index && !seen; ++earlier) {
            const utilisation_row &before = whole.rows[static_cast<std::size_t>(earlier)];
            seen = whole.listed[static_cast<std::size_t>(earlier)] && before.pid == row.pid && before.cpu_seconds >= 0.0;
        }
        if (!seen && row.cpu_seconds >= 0.0) {
            append_format(output, "v3d_process_cpu_seconds_total{pid=\"%d\",process=", row.pid);
            append_label_value(output, row.name.data());
            append_text(output, "}");
            append_cpu_seconds(output, row.cpu_seconds);
        }
    });
}

// One sample of a family of the card's own, written only where it is known.
void write_card_sample(output_buffer &output, std::string_view card_name, const char *name, const char *type,
                       const char *help)
{
    append_family_header(output, name, type, help);
    append_format(output, "%s{card=", name);
    append_label_value(output, card_name);
    append_text(output, "}");
}

// The temperature and the CPU's frequency are node_exporter's own
// (thermal_zone, cpufreq): not repeated here.
void write_condition_families(output_buffer &output, std::string_view card_name, const gpu_conditions &conditions)
{
    if (conditions.clock_hz > 0) {
        write_card_sample(output, card_name, "v3d_gpu_clock_hertz", "gauge",
                          "Rate of the V3D clock while it is on (debugfs clk_rate).");
        append_count(output, conditions.clock_hz);
    }
    if (conditions.clock_max_hz > 0) {
        write_card_sample(output, card_name, "v3d_gpu_clock_max_hertz", "gauge",
                          "Highest rate of the V3D clock (debugfs clk_max_rate).");
        append_count(output, conditions.clock_max_hz);
    }
    if (conditions.power_times_known && conditions.active_ms >= 0) {
        write_card_sample(output, card_name, "v3d_gpu_powered_seconds_total", "counter",
                          "Time the GPU has been powered (runtime PM's runtime_active_time).");
        append_format(output, " %lld.%03lld\n", static_cast<long long>(conditions.active_ms / 1000),
                      static_cast<long long>(conditions.active_ms % 1000));
    }
    if (conditions.under_voltage_known) {
        write_card_sample(output, card_name, "v3d_gpu_under_voltage", "gauge",
                          "1 while the board's supply is below its limit (hwmon in0_lcrit_alarm).");
        append_count(output, conditions.under_voltage ? 1 : 0);
    }
}

} // namespace

int write_metrics(output_buffer &output, std::string_view card_name, const frame &whole)
{
    write_gpu_family(output, card_name, whole.header.counters, "v3d_gpu_busy_seconds_total",
                     "Time each queue of the GPU has been busy, from the v3d driver's gpu_stats.",
                     &queue_counters::runtime, append_seconds);
    write_gpu_family(output, card_name, whole.header.counters, "v3d_gpu_jobs_total",
                     "Jobs each queue of the GPU has completed, from the v3d driver's gpu_stats.",
                     &queue_counters::jobs, append_count);
    append_family_header(output, "v3d_clients", "gauge", "V3D clients found by the last census.");
    append_text(output, "v3d_clients{card=");
    append_label_value(output, card_name);
    append_text(output, "}");
    append_count(output, whole.header.client_count);
    write_condition_families(output, card_name, whole.header.conditions);
    write_client_families(output, card_name, whole);
    return flush_output(output);
}

