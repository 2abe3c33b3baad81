#include "sampling/held_clients.hpp"

#include <charconv>

#include <fcntl.h>

namespace {

// Holds a whole DRM fdinfo file (about 700 bytes) in one read.
constexpr std::size_t FDINFO_BUFFER_SIZE = 4096;

// "<pid>/fdinfo/<fd>", relative to the proc folder; false when it does not fit.
bool format_fdinfo_path(std::span<char> buffer, std::int32_t pid, std::int32_t descriptor)
{
    if (!format_pid_path(buffer, "", pid, "/fdinfo/")) {
        return false;
    }
    const std::size_t length = std::string_view(buffer.data()).size();
    char *const limit = buffer.data() + buffer.size() - 1;
    const auto result = std::to_chars(buffer.data() + length, limit, descriptor);
    if (result.ec != std::errc()) {
        return false;
    }
    *result.ptr = '\0';
    return true;
}

// Reads the held file into `record`; false when it no longer shows the client
// the census found in it.
bool read_held_client(const held_client &held, std::span<char> buffer, client_sample &record)
{
    fdinfo_keys keys;
    read_line_pieces(
        held.fdinfo.fd, buffer, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); },
        read_start::file_start);
    if (!keys.is_v3d || !keys.has_client_id || keys.client_id != held.client_id) {
        return false;
    }
    record.client_id = held.client_id;
    record.pid = held.pid;
    record.descriptor = held.descriptor;
    record.name = held.name;
    record.cpu_seconds = held.cpu_seconds;
    record.engine = keys.engine;
    record.jobs = keys.jobs;
    record.engine_listed = keys.engine_listed;
    record.memory = keys.memory;
    return true;
}

} // namespace

void release_clients(held_clients &held)
{
    for (int index = 0; index < held.count; ++index) {
        held.clients[static_cast<std::size_t>(index)].fdinfo.reset();
    }
    held.count = 0;
    held.gpu_stats.reset();
}

void hold_clients(held_clients &held, const client_table &census, const char *proc_path, const char *stats_file)
{
    release_clients(held);
    held.gpu_stats.reset(open_gpu_stats(stats_file));
    const file_descriptor proc(::open(proc_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int index = 0; index < census.count; ++index) {
        held_client &client = held.clients[static_cast<std::size_t>(index)];
        const client_sample &found = census.records[static_cast<std::size_t>(index)];
        client.client_id = found.client_id;
        client.pid = found.pid;
        client.descriptor = found.descriptor;
        client.name = found.name;
        client.cpu_seconds = found.cpu_seconds;
        std::array<char, PID_PATH_SIZE> path;
        if (proc.is_open() && client.descriptor >= 0 && format_fdinfo_path(path, client.pid, client.descriptor)) {
            client.fdinfo.reset(::openat(proc.fd, path.data(), TEXT_FILE_FLAGS));
        }
    }
    held.count = census.count;
}

int sample_held_clients(held_clients &held, client_table &table, gpu_counters &counters)
{
    read_gpu_counters_from(counters, held.gpu_stats.fd);
    std::array<char, FDINFO_BUFFER_SIZE> buffer;
    table.count = 0;
    for (int index = 0; index < held.count; ++index) {
        held_client &client = held.clients[static_cast<std::size_t>(index)];
        if (!client.fdinfo.is_open()) {
            continue;
        }
        if (!read_held_client(client, buffer, table.records[static_cast<std::size_t>(table.count)])) {
            client.fdinfo.reset();
            continue;
        }
        ++table.count;
    }
    return table.count;
}
