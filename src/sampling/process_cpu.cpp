#include <array>
#include <cstdio>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

namespace {

// One stat line is read whole up to this many characters.
constexpr std::size_t STAT_LINE_SIZE = 2048;

} // namespace

double read_cpu_seconds_from(int fd)
{
    std::array<char, STAT_LINE_SIZE> line;
    const std::string_view text = read_small_file(fd, line);
    if (text.find(')') == std::string_view::npos || clock_ticks <= 0) {
        return CPU_SECONDS_UNKNOWN;
    }
    return static_cast<double>(parse_stat_cpu_ticks(text)) / static_cast<double>(clock_ticks);
}

double read_process_cpu_seconds_at(int proc_fd, std::int32_t pid)
{
    std::array<char, PID_PATH_SIZE> path;
    if (!format_pid_path(path, "", pid, "/stat")) {
        return CPU_SECONDS_UNKNOWN;
    }
    const file_descriptor file(::openat(proc_fd, path.data(), TEXT_FILE_FLAGS));
    return file.is_open() ? read_cpu_seconds_from(file.fd) : CPU_SECONDS_UNKNOWN;
}

