#include <array>
#include <limits>

#include <fcntl.h>

#include "sampling/client_table.hpp"
#include "sampling/kernel_text.hpp"

namespace {

// Holds a whole DRM fdinfo file (about 700 bytes) in one read; larger files
// (an epoll's, say) stream through it.
constexpr std::size_t FDINFO_BUFFER_SIZE = 4096;

constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// The name a process gave itself in /proc/<pid>/comm, or its pid.
void read_process_name(int proc_fd, std::int32_t pid, std::array<char, NAME_SIZE> &name)
{
    // cppcheck-suppress variableScope ; `text` views into it after the inner block ends
    std::array<char, NAME_SIZE> raw;
    std::string_view text;
    std::array<char, PID_PATH_SIZE> path;
    if (format_pid_path(path, "", pid, "/comm")) {
        const file_descriptor file(::openat(proc_fd, path.data(), TEXT_FILE_FLAGS));
        if (file.is_open()) {
            text = read_small_file(file.fd, raw);
        }
    }
    set_process_name(name, text, pid);
}

void copy_client(client_sample &record, const fdinfo_keys &keys, std::int32_t pid,
                 const std::array<char, NAME_SIZE> &name, int proc_fd)
{
    record.client_id = keys.client_id;
    record.pid = pid;
    record.name = name;
    record.engine = keys.engine;
    record.memory = keys.memory;
    record.cpu_seconds = read_process_cpu_seconds_at(proc_fd, pid);
}

// One record per client id, owned by the lowest pid that holds it. A record
// that changes owner takes the new owner's CPU time too, so that a row never
// pairs one process's pid with another's CPU time.
void record_client(client_table &table, const fdinfo_keys &keys, std::int32_t pid,
                   const std::array<char, NAME_SIZE> &name, int proc_fd)
{
    for (int index = 0; index < table.count; ++index) {
        client_sample &record = table.records[static_cast<std::size_t>(index)];
        if (record.client_id == keys.client_id) {
            if (record.pid > pid) {
                copy_client(record, keys, pid, name, proc_fd);
            }
            return;
        }
    }
    if (table.count < MAX_CLIENTS) {
        copy_client(table.records[static_cast<std::size_t>(table.count)], keys, pid, name, proc_fd);
        ++table.count;
    }
}

void scan_process(int proc_fd, std::int32_t pid, client_table &table, client_listing listing)
{
    std::array<char, PID_PATH_SIZE> path;
    if (!format_pid_path(path, "", pid, "/fdinfo")) {
        return;
    }
    const file_descriptor fdinfo(::openat(proc_fd, path.data(), DIRECTORY_FLAGS));
    if (!fdinfo.is_open()) {
        return; // gone, or another user's
    }
    std::array<char, NAME_SIZE> name{};
    bool name_settled = false;
    std::array<char, FDINFO_BUFFER_SIZE> text;
    directory_listing descriptors;
    descriptors.fd = fdinfo.fd;
    std::string_view entry;
    while (next_directory_entry(descriptors, entry)) {
        if (entry.front() == '.') {
            continue;
        }
        fdinfo_keys keys;
        {
            const file_descriptor file(::openat(fdinfo.fd, entry.data(), TEXT_FILE_FLAGS));
            if (!file.is_open()) {
                continue;
            }
            read_line_pieces(file.fd, text, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); });
        }
        if (!is_listed_client(keys, listing)) {
            continue;
        }
        if (!name_settled) {
            read_process_name(proc_fd, pid, name);
            name_settled = true;
        }
        record_client(table, keys, pid, name, proc_fd);
    }
}

} // namespace

int scan_clients(client_table &table, const char *proc_path, client_listing listing)
{
    table.count = 0;
    const file_descriptor proc(::open(proc_path, DIRECTORY_FLAGS));
    if (!proc.is_open()) {
        return 0;
    }
    directory_listing processes;
    processes.fd = proc.fd;
    std::string_view entry;
    while (next_directory_entry(processes, entry)) {
        if (entry.front() < '0' || entry.front() > '9') {
            continue;
        }
        const std::int64_t pid = parse_decimal(entry);
        if (pid > std::numeric_limits<std::int32_t>::max()) {
            continue;
        }
        scan_process(proc.fd, static_cast<std::int32_t>(pid), table, listing);
    }
    return table.count;
}
