// The clients a census found, with their fdinfo files and the statistics file
// held open, so that a sample between censuses reads each with one pread.
#pragma once

#include <array>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

// One client of the last census and its /proc/<pid>/fdinfo/<fd>, open while
// the client stays the one the census found there.
// Only what a sample does not read again: the census's identity of the client.
struct held_client {
    std::uint64_t client_id = 0;
    std::int32_t pid = 0;
    std::int32_t descriptor = -1;
    std::int32_t descriptor_thread = 0;
    std::array<char, NAME_SIZE> name{};
    double cpu_seconds = 0.0;
    file_descriptor fdinfo{-1};
};

// At most MAX_CLIENTS + 1 descriptors, all closed at the next census and when
// the holder goes.
struct held_clients {
    std::array<held_client, MAX_CLIENTS> clients{};
    int count = 0;
    file_descriptor gpu_stats{-1};
    // The statistics file, read by its name at each sample where it is not a
    // regular file (a FIFO standing in for it cannot be read again at offset 0).
    const char *stats_file = nullptr;
};

// Closes every held file.
void release_clients(held_clients &held);

// Closes what was held, then opens the fdinfo file of each client of `census`
// (found under `proc_path`) and the statistics file `stats_file`. A file that
// does not open leaves its client out of every sample until the next census.
void hold_clients(held_clients &held, const client_table &census, const char *proc_path = DEFAULT_PROC_PATH,
                  const char *stats_file = stats_path);

// One sample: the statistics file into `counters`, then each held client into
// `table`, in the census's order, each file read again from offset 0. The
// process's name, pid and CPU time stay the census's. A file that cannot be
// read, is no longer a V3D client's or shows another client id (its descriptor
// closed and the number reused) is closed, and its client is left out until
// the next census. Returns the table's count.
int sample_held_clients(held_clients &held, client_table &table, gpu_counters &counters);
