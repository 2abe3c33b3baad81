#include <array>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

std::int64_t read_reference_counter(const char *path)
{
    // Opened blocking, unlike the census's files: this is the one file chosen
    // at start-up, and whatever stands in for the driver's file is waited for.
    const file_descriptor file(::open(path, O_RDONLY | O_CLOEXEC));
    if (!file.is_open()) {
        return 0;
    }
    std::array<char, 1024> buffer;
    stats_row_search search;
    read_line_pieces(file.fd, buffer, search);
    return search.found ? search.reading : 0;
}
