#include "sampling/held_clients.hpp"

#include <charconv>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>

#include "sampling/fdinfo_text.hpp"

namespace {

// Holds a whole DRM fdinfo file (about 700 bytes) in one read.
constexpr std::size_t FDINFO_BUFFER_SIZE = 4096;

// Appends `value` in decimal, then `suffix`, to the NUL-terminated text in
// `buffer`; false when it does not fit.
bool append_number(std::span<char> buffer, std::int32_t value, std::string_view suffix)
{
    const std::size_t length = std::string_view(buffer.data()).size();
    char *const limit = buffer.data() + buffer.size();
    const auto result = std::to_chars(buffer.data() + length, limit, value);
    if (result.ec != std::errc() || static_cast<std::size_t>(limit - result.ptr) <= suffix.size()) {
        return false;
    }
    std::memcpy(result.ptr, suffix.data(), suffix.size());
    result.ptr[suffix.size()] = '\0';
    return true;
}

// "<pid>/fdinfo/<fd>", or "<pid>/task/<tid>/fdinfo/<fd>", relative to the proc
// folder, as the census found the client; false when it does not fit.
bool format_fdinfo_path(std::span<char> buffer, const held_client &client)
{
    if (client.descriptor_thread == 0) {
        return format_pid_path(buffer, "", client.pid, "/fdinfo/") && append_number(buffer, client.descriptor, "");
    }
    return format_pid_path(buffer, "", client.pid, "/task/") &&
           append_number(buffer, client.descriptor_thread, "/fdinfo/") && append_number(buffer, client.descriptor, "");
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
    record.descriptor_thread = held.descriptor_thread;
    record.name = held.name;
    record.client_name = keys.client_name;
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
    held.stats_file = stats_file;
    // Looked at before it is opened: opening a FIFO would take a writer's text.
    struct stat status {};
    if (::stat(stats_file, &status) == 0 && S_ISREG(status.st_mode)) {
        held.gpu_stats.reset(open_gpu_stats(stats_file));
    }
    const file_descriptor proc(::open(proc_path, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    for (int index = 0; index < census.count; ++index) {
        held_client &client = held.clients[static_cast<std::size_t>(index)];
        const client_sample &found = census.records[static_cast<std::size_t>(index)];
        client.client_id = found.client_id;
        client.pid = found.pid;
        client.descriptor = found.descriptor;
        client.descriptor_thread = found.descriptor_thread;
        client.name = found.name;
        client.cpu_seconds = found.cpu_seconds;
        std::array<char, PID_PATH_SIZE> path;
        if (proc.is_open() && client.descriptor >= 0 && format_fdinfo_path(path, client)) {
            client.fdinfo.reset(::openat(proc.fd, path.data(), TEXT_FILE_FLAGS));
        }
    }
    held.count = census.count;
}

int sample_held_clients(held_clients &held, client_table &table, gpu_counters &counters)
{
    if (held.gpu_stats.is_open()) {
        read_gpu_counters_from(counters, held.gpu_stats.fd);
    } else {
        read_gpu_counters(counters, held.stats_file != nullptr ? held.stats_file : stats_path);
    }
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
