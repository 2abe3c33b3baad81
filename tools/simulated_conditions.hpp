// The simulated GPU's conditions: a V3D clock in debugfs that drops from 960
// to 500 MHz while the SoC is above 80 °C and is off while the GPU is
// runtime-suspended, the runtime power times, a thermal zone whose heat comes
// and goes about every minute, an under-voltage alarm now and then, and the
// CPU's frequency.
#pragma once

#include <cstdint>

struct simulated_conditions {
    double active_ms = 3'600'000.0;
    double suspended_ms = 1'200'000.0;
    double idle_ms = 0.0; // since the GPU's last job
    bool suspended = false;
};

// Makes the folders and the files that never change, below `tree`.
bool lay_out_conditions(const char *tree);

// Moves the conditions on by `step_ms` at `seconds` into the run; `gpu_busy`
// when some job ran in the step. Rewrites the files in place, as a reader holds them.
bool advance_conditions(const char *tree, simulated_conditions &state, double seconds, double step_ms, bool gpu_busy);
