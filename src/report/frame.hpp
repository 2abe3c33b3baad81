// One pass of the loop, computed once from two samples and handed whole to
// every output and to the summary: no output computes a figure of its own.
#pragma once

#include <array>

#include "report/report.hpp"
#include "sampling/sampler.hpp"

// The CPU time of the followed processes up to a sample, in seconds: their
// ticks (those that ended included) and what wait4 gave for those reaped.
struct followed_cpu {
    bool known = false; // processes are followed
    double user_seconds = 0.0;
    double system_seconds = 0.0;
};

// The sample a frame is measured against: its time, the whole GPU's readings,
// the power times and the followed processes' CPU time, so that a recording of
// frames holds where each began.
struct frame_base {
    double sample_time = 0.0;
    double wall_time = 0.0;
    const gpu_counters *counters = nullptr;
    gpu_conditions conditions{};
    followed_cpu cpu{};
};

struct frame {
    frame_header header{};
    followed_cpu cpu{}; // at the frame's own sample
    frame_base previous{};
    // Every client of the census, in its order. The census lists every client
    // busy on any queue when a summary counts them; `listed` marks the rows
    // the output lists (render, TFU or bin busy, for the default outputs).
    std::array<utilisation_row, MAX_CLIENTS> rows{};
    std::array<bool, MAX_CLIENTS> listed{};
    int row_count = 0;
    // The whole GPU's busy time that no listed client accounts for.
    others_load others{};
};

// What a frame is computed from besides its two samples.
struct frame_rules {
    bool lists_all = false;       // the output lists clients busy on any queue
    bool wall_clock = false;      // the sample time is Unix time (--wall-clock)
    bool followed_ended = false;  // every followed process has ended
    // The CPU readings of the last census period; null when every sample is
    // a census, and the CPU is measured between the two samples.
    const census_period *cpu_period = nullptr;
    // The followed processes' CPU time at the two samples.
    followed_cpu previous_cpu{};
    followed_cpu current_cpu{};
};

// `current` against `previous`: every row, the whole GPU's queues and the others.
void compute_frame(frame &into, const sample &previous, const sample &current, const frame_rules &rules);
