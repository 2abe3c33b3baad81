#include <array>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

namespace {

void read_stats_rows(stats_row_search &search, int fd, read_start start)
{
    std::array<char, 1024> buffer;
    read_line_pieces(fd, buffer, search, start);
}

// Opened blocking, unlike the census's files: this is the one file chosen at
// start-up, and whatever stands in for the driver's file is waited for.
int open_stats_file(const char *path)
{
    return ::open(path, O_RDONLY | O_CLOEXEC);
}

void read_counters(gpu_counters &counters, int fd, read_start start)
{
    counters = gpu_counters{};
    stats_row_search search;
    search.counters = &counters;
    if (fd >= 0) {
        read_stats_rows(search, fd, start);
    }
    counters.reference = search.found ? search.reading : 0;
}

} // namespace

void read_gpu_counters(gpu_counters &counters, const char *path)
{
    const file_descriptor file(open_stats_file(path));
    read_counters(counters, file.fd, read_start::current_offset);
}

void read_gpu_counters_from(gpu_counters &counters, int fd)
{
    // A sysfs attribute is generated anew by every read from offset 0.
    read_counters(counters, fd, read_start::file_start);
}

int open_gpu_stats(const char *path)
{
    return open_stats_file(path);
}

