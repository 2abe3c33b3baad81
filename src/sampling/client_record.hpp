// The census's record of one client: the process that holds it, its name
// and CPU time, and its fdinfo keys, one record per client id.
#pragma once

#include <array>
#include <cstdint>

#include "sampling/client_table.hpp"
#include "sampling/fdinfo_text.hpp"

// Where a client was found: its process and the descriptor of its DRM file.
struct client_origin {
    std::int32_t pid = 0;
    std::int32_t descriptor = -1;
    std::int32_t thread = 0; // the thread whose task/<tid>/fdinfo listed it, or 0
};

// The name a process gave itself in /proc/<pid>/comm, or its pid.
void read_process_name(int proc_fd, std::int32_t pid, std::array<char, NAME_SIZE> &name);

// One record per client id, owned by the lowest pid that holds it. A record
// that changes owner takes the new owner's CPU time too, so that a row never
// pairs one process's pid with another's CPU time.
void record_client(client_table &table, const fdinfo_keys &keys, client_origin origin,
                   const std::array<char, NAME_SIZE> &name, int proc_fd);
