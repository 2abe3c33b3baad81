// The driver's queues, one row each: the one table that the fdinfo keys, the
// gpu_stats rows, the CSV columns, the JSON and metrics keys, the view's
// columns and the chart's bands come from.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

// A queue's index is its row: the first three are the default outputs'.
inline constexpr int ENGINE_RENDER = 0;
inline constexpr int ENGINE_TFU = 1;
inline constexpr int ENGINE_BIN = 2;
inline constexpr int ENGINE_CSD = 3;
inline constexpr int ENGINE_CACHE_CLEAN = 4;
inline constexpr int ENGINE_CPU = 5;
inline constexpr int ENGINE_COUNT = 6;

struct queue_description {
    // The kernel's name: drm-engine-<name> and v3d-jobs-<name> in fdinfo, a
    // row of gpu_stats, the JSON keys and the metrics' queue label.
    const char *name;
    // Where the kernel writes it (Documentation/gpu/v3d.rst), which the JSON,
    // the metrics and the summary follow.
    int kernel_position;
    // The view's column heading; with '%' after it, the CSV's.
    const char *heading;
    // Shown by the default view and CSV, which list the clients busy on these.
    bool in_default_outputs;
    // The chart's band, from the top; -1 for a queue whose jobs are too short
    // and rare to chart, which stays in the table.
    int chart_position;
};

inline constexpr std::array<queue_description, ENGINE_COUNT> QUEUE_TABLE = {{
    {"render", 1, "render", true, 0},
    {"tfu", 2, "tfu", true, 1},
    {"bin", 0, "bin", true, 2},
    {"csd", 3, "csd", false, 3},
    {"cache_clean", 4, "cache_clean", false, -1},
    // The driver's cpu queue: jobs the kernel runs for the GPU, not the process's CPU time.
    {"cpu", 5, "cpu_job", false, -1},
}};

namespace queue_table_rules {

constexpr int default_count()
{
    int count = 0;
    while (count < ENGINE_COUNT && QUEUE_TABLE[static_cast<std::size_t>(count)].in_default_outputs) {
        ++count;
    }
    return count;
}

constexpr std::array<const char *, ENGINE_COUNT> names()
{
    std::array<const char *, ENGINE_COUNT> names{};
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        names[engine] = QUEUE_TABLE[engine].name;
    }
    return names;
}

constexpr std::array<int, ENGINE_COUNT> kernel_order()
{
    std::array<int, ENGINE_COUNT> order{};
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        order[static_cast<std::size_t>(QUEUE_TABLE[engine].kernel_position)] = static_cast<int>(engine);
    }
    return order;
}

constexpr int chart_count()
{
    return static_cast<int>(std::count_if(QUEUE_TABLE.begin(), QUEUE_TABLE.end(),
                                          [](const queue_description &queue) { return queue.chart_position >= 0; }));
}

template <std::size_t BANDS>
constexpr std::array<int, BANDS> chart_bands()
{
    std::array<int, BANDS> bands{};
    for (std::size_t engine = 0; engine < QUEUE_TABLE.size(); ++engine) {
        if (QUEUE_TABLE[engine].chart_position >= 0) {
            bands[static_cast<std::size_t>(QUEUE_TABLE[engine].chart_position)] = static_cast<int>(engine);
        }
    }
    return bands;
}

} // namespace queue_table_rules

// The queues the default outputs show: the table's first rows.
inline constexpr int DEFAULT_ENGINE_COUNT = queue_table_rules::default_count();
inline constexpr std::array<const char *, ENGINE_COUNT> ENGINE_NAMES = queue_table_rules::names();
// The queues' indices in the order the kernel writes them.
inline constexpr std::array<int, ENGINE_COUNT> KERNEL_ENGINE_ORDER = queue_table_rules::kernel_order();
inline constexpr int CHART_QUEUE_COUNT = queue_table_rules::chart_count();
// The charted queues' indices, top to bottom.
inline constexpr std::array<int, CHART_QUEUE_COUNT> CHART_ENGINES =
    queue_table_rules::chart_bands<CHART_QUEUE_COUNT>();
