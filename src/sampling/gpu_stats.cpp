#include <array>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

namespace {

void read_stats_rows(stats_row_search &search, const char *path)
{
    // Opened blocking, unlike the census's files: this is the one file chosen
    // at start-up, and whatever stands in for the driver's file is waited for.
    const file_descriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
        return;
    }
    std::array<char, 1024> buffer;
    read_line_pieces(file.fd, buffer, search);
}

} // namespace

void read_gpu_counters(gpu_counters &counters, const char *path)
{
    counters = gpu_counters{};
    stats_row_search search;
    search.counters = &counters;
    read_stats_rows(search, path);
    counters.reference = search.found ? search.reading : 0;
}

std::int64_t read_reference_counter(const char *path)
{
    stats_row_search search;
    read_stats_rows(search, path);
    return search.found ? search.reading : 0;
}
