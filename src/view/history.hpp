// What the view remembers of earlier passes: the whole GPU's busy share per
// charted queue, and each client's per engine. Kept from the figures each pass
// already has, in fixed rings: no extra reads of the kernel, no allocation.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "report/report.hpp"

// As many samples as the widest terminal shows in the chart.
inline constexpr std::size_t GPU_HISTORY_SIZE = 512;
// Room for a sparkline and for the passes taken while the screen is frozen.
inline constexpr std::size_t CLIENT_HISTORY_SIZE = 64;

// The last SIZE values of one series; the oldest drops off.
template <std::size_t SIZE>
struct history_ring {
    std::array<float, SIZE> values{};
    std::size_t newest = 0; // the slot of the newest value
    std::size_t count = 0;  // the values held, up to SIZE
};

template <std::size_t SIZE>
void add_sample(history_ring<SIZE> &ring, double value)
{
    ring.newest = ring.count == 0 ? 0 : (ring.newest + 1) % SIZE;
    ring.values[ring.newest] = static_cast<float>(value);
    if (ring.count < SIZE) {
        ++ring.count;
    }
}

// The value `age` samples before the newest (0 the newest), if the ring still holds it.
template <std::size_t SIZE>
bool sample_at(const history_ring<SIZE> &ring, std::size_t age, double &value)
{
    if (age >= ring.count) {
        return false;
    }
    value = ring.values[(ring.newest + SIZE - age) % SIZE];
    return true;
}


struct gpu_history {
    std::array<history_ring<GPU_HISTORY_SIZE>, CHART_ENGINES.size()> queues{};
    // Whether the statistics file has listed the queue: once it has, a read
    // that failed (a signal, a file gone for a moment) hides no band.
    std::array<bool, CHART_ENGINES.size()> listed{};
};

// The figures a client's queue columns show, in the order of the view's key j:
// busy per cent, jobs per second, the average job's length in ms.
inline constexpr std::size_t CLIENT_FIGURE_COUNT = 3;
// A pass in which a queue completed no job has no job length.
inline constexpr float NO_FIGURE = -1.0F;

struct client_history {
    std::uint64_t client_id = 0;
    bool in_use = false;
    bool seen = false; // in the current pass
    std::array<std::array<history_ring<CLIENT_HISTORY_SIZE>, ENGINE_COUNT>, CLIENT_FIGURE_COUNT> figures{};
};

// Every history the view keeps. All zero until clients come, so its pages
// are only taken by a terminal view.
struct view_history {
    gpu_history gpu{};
    std::array<client_history, MAX_CLIENTS> clients{};
    // Where the next search starts: the census lists clients in the same order
    // pass after pass, so each is usually found at once.
    std::size_t search_start = 0;
};

// Adds the whole GPU's busy share of each charted queue from one pass.
void record_gpu_loads(gpu_history &gpu_loads, const frame_header &frame);
// Adds a client's figures; a client not in the previous pass starts afresh.
void record_client_loads(view_history &history, const utilisation_row &row);
// Lets go of the clients the pass did not list.
void forget_unseen_clients(view_history &history);
// The client's history, or null when none is kept for it.
const client_history *find_client_history(view_history &history, std::uint64_t client_id);
