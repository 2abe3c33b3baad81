// The GPU's conditions over a followed run: the clock while on, the powered
// share, the highest temperature and CPU frequency, and any under-voltage.
#pragma once

#include <cstdint>

#include "report/report.hpp"

// Zero by default, like the whole summary, so that it takes no page until used.
struct summary_conditions {
    gpu_conditions first{}; // at the run's first sample
    gpu_conditions last{};
    double clock_hz_total = 0.0;
    int clock_frames = 0;
    std::int64_t clock_min_hz = 0;
    bool temperature_known = false;
    std::int64_t temperature_max_millicelsius = 0;
    std::int64_t cpu_frequency_max_khz = 0;
    bool under_voltage_known = false;
    bool under_voltage_seen = false;
};

// Adds one frame's conditions.
void add_summary_conditions(summary_conditions &summary, const frame_header &frame);

// Each writes only the figures known: a line "GPU conditions: ..." (nothing
// when none is), and the members of a JSON object "conditions".
void write_conditions_text(output_buffer &output, const summary_conditions &summary);
void write_conditions_json(output_buffer &output, const summary_conditions &summary);
