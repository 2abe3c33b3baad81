#include "sampling/client_record.hpp"

#include "sampling/kernel_text.hpp"

namespace {

void copy_client(client_sample &record, const fdinfo_keys &keys, client_origin origin,
                 const std::array<char, NAME_SIZE> &name, int proc_fd)
{
    const std::int32_t pid = origin.pid;
    record.client_id = keys.client_id;
    record.pid = pid;
    record.descriptor = origin.descriptor;
    record.descriptor_thread = origin.thread;
    record.name = name;
    record.client_name = keys.client_name;
    record.engine = keys.engine;
    record.jobs = keys.jobs;
    record.engine_listed = keys.engine_listed;
    record.memory = keys.memory;
    record.cpu_seconds = read_process_cpu_seconds_at(proc_fd, pid);
}

} // namespace

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

// One record per client id, owned by the lowest pid that holds it. A record
// that changes owner takes the new owner's CPU time too, so that a row never
// pairs one process's pid with another's CPU time.
void record_client(client_table &table, const fdinfo_keys &keys, client_origin origin,
                   const std::array<char, NAME_SIZE> &name, int proc_fd)
{
    for (int index = 0; index < table.count; ++index) {
        client_sample &record = table.records[static_cast<std::size_t>(index)];
        if (record.client_id == keys.client_id) {
            if (record.pid > origin.pid) {
                copy_client(record, keys, origin, name, proc_fd);
            }
            return;
        }
    }
    if (table.count < MAX_CLIENTS) {
        copy_client(table.records[static_cast<std::size_t>(table.count)], keys, origin, name, proc_fd);
        ++table.count;
    }
}
