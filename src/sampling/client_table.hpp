// The sampling subsystem: the census of V3D DRM clients, the CPU time of their
// processes and the GPU reference counter, all read from the kernel's text files.
#pragma once

#include <array>
#include <cstdint>

#include "control/process_state.hpp"

inline constexpr int MAX_CLIENTS = 256;

inline constexpr int ENGINE_RENDER = 0;
inline constexpr int ENGINE_TFU = 1;
inline constexpr int ENGINE_BIN = 2;
inline constexpr int ENGINE_COUNT = 3;

// The fdinfo key suffixes, the terminal headings and (with a '%') the CSV columns.
inline constexpr std::array<const char *, ENGINE_COUNT> ENGINE_NAMES = {"render", "tfu", "bin"};

inline constexpr int NAME_SIZE = 64;

// One V3D client as seen by one census.
struct client_sample {
    std::int32_t client_id = -1;
    std::int32_t pid = 0;
    std::array<char, NAME_SIZE> name{};
    std::array<std::int64_t, ENGINE_COUNT> engine{};
    double cpu_seconds = 0.0;
};

// The first `count` records are valid, in discovery order, with distinct client ids.
struct client_table {
    std::array<client_sample, MAX_CLIENTS> records{};
    int count = 0;
};

inline constexpr const char *DEFAULT_PROC_PATH = "/proc";

// Fills `table` from the beginning with the V3D clients found under `proc_path`
// and returns the new count; anything unreadable is skipped.
int scan_clients(client_table &table, const char *proc_path = DEFAULT_PROC_PATH);

// User plus system CPU seconds of `pid`, divided by `clock_ticks`; 0.0 when unreadable.
double read_process_cpu_seconds(std::int32_t pid, const char *proc_path = DEFAULT_PROC_PATH);

// The first number of the "bin" row of the driver's statistics file; 0 when unreadable.
std::int64_t read_reference_counter(const char *path = stats_path);
