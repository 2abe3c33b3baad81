// Whole-text and one-shot forms of the program's readers, which the program
// itself only calls piece by piece or through held descriptors.
#pragma once

#include <cstdint>
#include <string_view>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/fdinfo_text.hpp"
#include "sampling/kernel_text.hpp"

inline fdinfo_keys parse_fdinfo_text(std::string_view text)
{
    fdinfo_keys keys;
    split_line_pieces(text, true, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); });
    return keys;
}

// The reference reading of a whole gpu_stats text; the header line is skipped.
inline std::int64_t parse_stats_text(std::string_view text)
{
    stats_row_search search;
    split_line_pieces(text, true, search);
    return search.found ? search.reading : 0;
}

inline std::int64_t read_reference_counter(const char *path)
{
    gpu_counters counters;
    read_gpu_counters(counters, path);
    return counters.reference;
}

inline double read_process_cpu_seconds(std::int32_t pid, const char *proc_path)
{
    const file_descriptor proc(::open(proc_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return proc.is_open() ? read_process_cpu_seconds_at(proc.fd, pid) : CPU_SECONDS_UNKNOWN;
}
