// The summary of a run as a table for a terminal or a CI log, and as JSON.
#include <cstdio>
#include <cstring>
#include <ctime>

#include "report/run_summary.hpp"

namespace {

void write_memory_cell(output_buffer &output, std::int64_t bytes)
{
    if (bytes == MEMORY_UNKNOWN) {
        append_format(output, " %16s", "-");
    } else {
        append_format(output, " %12lld KiB", static_cast<long long>(bytes / 1024));
    }
}

void write_json_memory(output_buffer &output, const char *key, std::int64_t bytes)
{
    if (bytes != MEMORY_UNKNOWN) {
        append_format(output, ",\"%s\":%lld", key, static_cast<long long>(bytes));
    }
}

} // namespace

void format_utc_time(double wall_time, std::array<char, 32> &text)
{
    // Unix time is positive, so truncation is the floor; the milliseconds are
    // cut, not rounded, as clocks show them, and never reach the next second.
    const auto seconds = static_cast<time_t>(wall_time);
    auto milliseconds = static_cast<int>((wall_time - static_cast<double>(seconds)) * 1000.0);
    milliseconds = milliseconds > 999 ? 999 : milliseconds;
    tm parts{};
    if (gmtime_r(&seconds, &parts) == nullptr ||
        std::strftime(text.data(), text.size(), "%Y-%m-%dT%H:%M:%S", &parts) == 0) {
        text[0] = '\0';
        return;
    }
    const std::size_t length = std::strlen(text.data());
    (void)std::snprintf(text.data() + length, text.size() - length, ".%03dZ", milliseconds);
}

int write_summary_text(const run_summary &summary, int fd)
{
    output_buffer output;
    output.fd = fd;
    output.after_the_run = true;
    std::array<char, 32> start{};
    std::array<char, 32> end{};
    format_utc_time(summary.start_wall_time, start);
    format_utc_time(summary.end_wall_time, end);
    if (summary.passes == 0) {
        // Nothing was measured: no table of zeros that would read as an idle GPU.
        append_format(output, "v3dwatch summary: %.1f s, no samples, %s to %s\n", summary.wall_seconds, start.data(),
                      end.data());
    } else {
        append_format(output, "v3dwatch summary: %.1f s, %d sample%s, %s to %s\n", summary.wall_seconds,
                      summary.passes, summary.passes == 1 ? "" : "s", start.data(), end.data());
        append_text(output, "queue        mean %   p95 %   max %    busy s      jobs   job ms  GPU mean %\n");
    }
    for (const int engine : KERNEL_ENGINE_ORDER) {
        const queue_figures &figures = summary.figures[static_cast<std::size_t>(engine)];
        if (!figures.reported || summary.passes == 0) {
            continue;
        }
        append_format(output, "%-11s %7.1f %7.1f %7.1f %9.3f %9lld", ENGINE_NAMES[static_cast<std::size_t>(engine)],
                      figures.mean, figures.p95, figures.max, figures.busy_seconds,
                      static_cast<long long>(figures.jobs));
        const double job_ms = figures.job_milliseconds;
        if (job_ms < 0.0) {
            append_format(output, " %8s", "-");
        } else {
            append_format(output, " %8.3f", job_ms);
        }
        append_format(output, " %11.1f\n", figures.gpu_mean);
    }
    write_conditions_text(output, summary.conditions);
    if (summary.unreadable_processes > 0) {
        std::array<char, UNREADABLE_LINE_SIZE> line{};
        format_unreadable_line(line, summary.unreadable_processes);
        append_format(output, "%s\n", line.data());
    }
    if (summary.has_processes) {
        append_format(output, "CPU time: %.2f s user, %.2f s system, %.1f %% mean\n", summary.user_seconds,
                      summary.system_seconds, summary.cpu_mean_percent);
    }
    if (summary.client_count > 0) {
        append_text(output, "client   pid      process                peak total    peak resident\n");
    }
    for (int index = 0; index < summary.client_count; ++index) {
        const client_peak &client = summary.clients[static_cast<std::size_t>(index)];
        append_format(output, "%-8llu %-8d %-16s", static_cast<unsigned long long>(client.client_id), client.pid,
                      client.name.data());
        write_memory_cell(output, client.total);
        write_memory_cell(output, client.resident);
        append_text(output, "\n");
    }
    return flush_output(output);
}

int write_summary_json(const run_summary &summary, int fd)
{
    output_buffer output;
    output.fd = fd;
    output.after_the_run = true;
    std::array<char, 32> start{};
    std::array<char, 32> end{};
    format_utc_time(summary.start_wall_time, start);
    format_utc_time(summary.end_wall_time, end);
    append_format(output, "{\"wall_seconds\":%.3f,\"samples\":%d,\"start\":\"%s\",\"end\":\"%s\",\"queues\":{",
                  summary.wall_seconds, summary.passes, start.data(), end.data());
    bool first = true;
    for (const int engine : KERNEL_ENGINE_ORDER) {
        const queue_figures &figures = summary.figures[static_cast<std::size_t>(engine)];
        if (!figures.reported || summary.passes == 0) {
            continue;
        }
        append_format(output,
                      "%s\"%s\":{\"busy_mean_percent\":%.1f,\"busy_p95_percent\":%.1f,\"busy_max_percent\":%.1f,"
                      "\"busy_seconds\":%.3f,\"jobs\":%lld,\"average_job_ms\":",
                      first ? "" : ",", ENGINE_NAMES[static_cast<std::size_t>(engine)], figures.mean, figures.p95,
                      figures.max, figures.busy_seconds, static_cast<long long>(figures.jobs));
        first = false;
        const double job_ms = figures.job_milliseconds;
        if (job_ms < 0.0) {
            append_text(output, "null");
        } else {
            append_format(output, "%.3f", job_ms);
        }
        append_format(output, ",\"gpu_busy_mean_percent\":%.1f}", figures.gpu_mean);
    }
    append_text(output, "}");
    if (summary.has_processes) {
        append_format(output, ",\"cpu\":{\"user_seconds\":%.2f,\"system_seconds\":%.2f,\"mean_percent\":%.1f}",
                      summary.user_seconds, summary.system_seconds, summary.cpu_mean_percent);
    }
    append_text(output, ",\"clients\":[");
    for (int index = 0; index < summary.client_count; ++index) {
        const client_peak &client = summary.clients[static_cast<std::size_t>(index)];
        append_format(output, "%s{\"client_id\":%llu,\"pid\":%d,\"process\":", index == 0 ? "" : ",",
                      static_cast<unsigned long long>(client.client_id), client.pid);
        append_json_string(output, client.name.data());
        write_json_memory(output, "peak_total_bytes", client.total);
        write_json_memory(output, "peak_resident_bytes", client.resident);
        append_text(output, "}");
    }
    append_format(output, "],\"unreadable_processes\":%d,\"conditions\":{", summary.unreadable_processes);
    write_conditions_json(output, summary.conditions);
    append_text(output, "}}\n");
    return flush_output(output);
}
