// The line of the GPU's conditions under the whole GPU's block of -a: each
// part only where it is known.
#include <cstdio>

#include "view/colours.hpp"
#include "view/screen_line.hpp"
#include "view/table.hpp"
#include "view/view_state.hpp"

namespace {

constexpr double HZ_PER_MHZ = 1e6;
constexpr double KHZ_PER_GHZ = 1e6;

// Adds one part, two spaces after the one before.
void add_part(screen_line &line, const char *text)
{
    if (line.length > 0) {
        add_spaces(line, 2);
    }
    add_ascii(line, text);
}

void add_clock(screen_line &line, const gpu_conditions &conditions)
{
    cell_text text{};
    if (!conditions.clock_on) {
        add_part(line, "clock off");
        return;
    }
    if (conditions.clock_hz <= 0) {
        add_part(line, "clock on");
        return;
    }
    const double mhz = static_cast<double>(conditions.clock_hz) / HZ_PER_MHZ;
    if (conditions.clock_max_hz > 0) {
        (void)std::snprintf(text.data(), text.size(), "clock %.0f/%.0f MHz", mhz,
                            static_cast<double>(conditions.clock_max_hz) / HZ_PER_MHZ);
    } else {
        (void)std::snprintf(text.data(), text.size(), "clock %.0f MHz", mhz);
    }
    add_part(line, text.data());
}

} // namespace

void draw_conditions_line(terminal_state &terminal, int y)
{
    if (terminal.shown == nullptr) {
        return;
    }
    const frame_header &frame = terminal.shown->header;
    const gpu_conditions &conditions = frame.conditions;
    screen_line line;
    cell_text text{};
    if (conditions.clock_known) {
        add_clock(line, conditions);
    }
    if (frame.powered_known) {
        (void)std::snprintf(text.data(), text.size(), "powered %.0f%%", frame.powered_percent);
        add_part(line, text.data());
    }
    if (conditions.temperature_known) {
        (void)std::snprintf(text.data(), text.size(), "SoC %.1f ",
                            static_cast<double>(conditions.temperature_millicelsius) / 1000.0);
        add_part(line, text.data());
        if (terminal.view.utf8) {
            add_character(line, L'\u00B0', 1);
        }
        add_ascii(line, "C");
    }
    if (conditions.cpu_frequency_khz > 0) {
        (void)std::snprintf(text.data(), text.size(), "CPU %.1f GHz",
                            static_cast<double>(conditions.cpu_frequency_khz) / KHZ_PER_GHZ);
        add_part(line, text.data());
    }
    // Marked in capitals and signs, so that it is seen on a terminal without colour.
    if (conditions.under_voltage) {
        add_part(line, "");
        line.attribute = style_attribute(terminal, cell_style::warning);
        add_ascii(line, "!! UNDER-VOLTAGE !!");
    }
    show_line(y, line);
}
