// The GPU's conditions beside its load: the V3D clock, runtime power, the
// SoC's temperature, under-voltage and the CPU's frequency, each read from a
// generic Linux file where it exists (a missing one is unknown, not zero).
#pragma once

#include <array>
#include <cstdint>

#include "sampling/text_files.hpp"

// Where the conditions' files are: the kernel's folders by default.
struct condition_paths {
    const char *clock_root = "/sys/kernel/debug/clk";
    const char *thermal_root = "/sys/class/thermal";
    const char *hwmon_root = "/sys/class/hwmon";
    const char *cpufreq_root = "/sys/devices/system/cpu/cpufreq";
};

inline constexpr int POWER_WORD_SIZE = 16;

// One reading of the conditions. Zero by default, so that the samples that
// hold one start all zero; each figure has its own flag of being known.
struct gpu_conditions {
    bool clock_known = false; // clk_enable_count was read
    bool clock_on = false;
    std::int64_t clock_hz = 0;     // read only while the clock is on; 0: unknown
    std::int64_t clock_max_hz = 0; // 0: unknown
    std::array<char, POWER_WORD_SIZE> power_status{}; // runtime_status; empty: unknown
    bool power_times_known = false;
    std::int64_t active_ms = 0; // runtime_active_time
    std::int64_t suspended_ms = 0;
    bool temperature_known = false;
    std::int64_t temperature_millicelsius = 0;
    std::int64_t cpu_frequency_khz = 0; // the highest policy's; 0: unknown
    bool under_voltage_known = false;
    bool under_voltage = false;
};

inline constexpr int MAX_VOLTAGE_ALARMS = 4;
inline constexpr int MAX_CPU_POLICIES = 8;

// The conditions' files, found and opened once at start and read again from
// offset 0 at each reading, as sysfs and debugfs generate them anew.
struct condition_files {
    file_descriptor clock_enable_count{-1};
    file_descriptor clock_rate{-1};
    std::int64_t clock_max_hz = 0;
    file_descriptor power_status{-1};
    file_descriptor active_time{-1};
    file_descriptor suspended_time{-1};
    file_descriptor temperature{-1};
    std::array<file_descriptor, MAX_VOLTAGE_ALARMS> voltage_alarms{};
    std::array<file_descriptor, MAX_CPU_POLICIES> cpu_frequencies{};
};

// Finds and opens the files below `paths`, and the runtime power files in
// power/ beside `stats_file`; closes what `files` held before.
void open_condition_files(condition_files &files, const condition_paths &paths, const char *stats_file);

// Reads every file held: clk_rate only while clk_enable_count says the clock is on.
void read_conditions(const condition_files &files, gpu_conditions &into);

// Closes every file held.
void close_condition_files(condition_files &files);
