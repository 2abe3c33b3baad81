#include "report/summary_conditions.hpp"

#include <algorithm>

namespace {

// The parts of one run's figures, each unknown until met.
struct condition_figures {
    bool clock_known = false;
    double clock_mean_hz = 0.0;
    std::int64_t clock_min_hz = 0;
    bool powered_known = false;
    double powered_percent = 0.0;
};

condition_figures work_out(const summary_conditions &summary)
{
    condition_figures figures;
    figures.clock_known = summary.clock_frames > 0;
    if (figures.clock_known) {
        figures.clock_mean_hz = summary.clock_hz_total / summary.clock_frames;
        figures.clock_min_hz = summary.clock_min_hz;
    }
    figures.powered_known = powered_share(summary.first, summary.last, figures.powered_percent);
    return figures;
}

} // namespace

void add_summary_conditions(summary_conditions &summary, const frame_header &frame)
{
    const gpu_conditions &now = frame.conditions;
    summary.last = now;
    if (now.clock_on && now.clock_hz > 0) {
        summary.clock_min_hz = summary.clock_frames == 0 ? now.clock_hz : std::min(summary.clock_min_hz, now.clock_hz);
        summary.clock_hz_total += static_cast<double>(now.clock_hz);
        ++summary.clock_frames;
    }
    if (now.temperature_known) {
        summary.temperature_max_millicelsius = summary.temperature_known
                                                   ? std::max(summary.temperature_max_millicelsius,
                                                              now.temperature_millicelsius)
                                                   : now.temperature_millicelsius;
        summary.temperature_known = true;
    }
    summary.cpu_frequency_max_khz = std::max(summary.cpu_frequency_max_khz, now.cpu_frequency_khz);
    summary.under_voltage_known = summary.under_voltage_known || now.under_voltage_known;
    summary.under_voltage_seen = summary.under_voltage_seen || now.under_voltage;
}

void write_conditions_text(output_buffer &output, const summary_conditions &summary)
{
    const condition_figures figures = work_out(summary);
    const char *separator = "GPU conditions: ";
    if (figures.clock_known) {
        append_format(output, "%sclock %.0f MHz mean, %.0f MHz min while on", separator, figures.clock_mean_hz / 1e6,
                      static_cast<double>(figures.clock_min_hz) / 1e6);
        separator = "; ";
    }
    if (figures.powered_known) {
        append_format(output, "%spowered %.1f %%", separator, figures.powered_percent);
        separator = "; ";
    }
    if (summary.temperature_known) {
        append_format(output, "%sSoC %.1f C max", separator,
                      static_cast<double>(summary.temperature_max_millicelsius) / 1000.0);
        separator = "; ";
    }
    if (summary.cpu_frequency_max_khz > 0) {
        append_format(output, "%sCPU %.1f GHz max", separator,
                      static_cast<double>(summary.cpu_frequency_max_khz) / 1e6);
        separator = "; ";
    }
    if (summary.under_voltage_known) {
        append_format(output, "%s%s", separator,
                      summary.under_voltage_seen ? "UNDER-VOLTAGE seen" : "no under-voltage");
        separator = "; ";
    }
    if (separator[0] == ';') {
        append_text(output, "\n");
    }
}

void write_conditions_json(output_buffer &output, const summary_conditions &summary)
{
    const condition_figures figures = work_out(summary);
    const char *comma = "";
    if (figures.clock_known) {
        append_format(output, "\"clock_mean_hz\":%.0f,\"clock_min_hz\":%lld", figures.clock_mean_hz,
                      static_cast<long long>(figures.clock_min_hz));
        comma = ",";
    }
    if (figures.powered_known) {
        append_format(output, "%s\"powered_percent\":%.1f", comma, figures.powered_percent);
        comma = ",";
    }
    if (summary.temperature_known) {
        append_format(output, "%s\"temperature_max_celsius\":%.1f", comma,
                      static_cast<double>(summary.temperature_max_millicelsius) / 1000.0);
        comma = ",";
    }
    if (summary.cpu_frequency_max_khz > 0) {
        append_format(output, "%s\"cpu_frequency_max_hz\":%lld", comma,
                      static_cast<long long>(summary.cpu_frequency_max_khz) * 1000);
        comma = ",";
    }
    if (summary.under_voltage_known) {
        append_format(output, "%s\"under_voltage_seen\":%s", comma, summary.under_voltage_seen ? "true" : "false");
    }
}
