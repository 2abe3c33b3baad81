// The sampling subsystem: the census of V3D DRM clients, the CPU time of their
// processes and the driver's statistics rows, all read from the kernel's text files.
#pragma once

#include <array>
#include <cstdint>

#include "control/process_state.hpp"
#include "sampling/queue_table.hpp"

inline constexpr int MAX_CLIENTS = 256;

// The DRM memory keys (drm-<name>-memory), in bytes once read.
inline constexpr int MEMORY_TOTAL = 0;
inline constexpr int MEMORY_SHARED = 1;
inline constexpr int MEMORY_RESIDENT = 2;
inline constexpr int MEMORY_ACTIVE = 3;
inline constexpr int MEMORY_KIND_COUNT = 4;
inline constexpr std::array<const char *, MEMORY_KIND_COUNT> MEMORY_NAMES = {"total", "shared", "resident",
                                                                             "active"};
// A memory key the kernel did not write is unknown, which is not zero.
inline constexpr std::int64_t MEMORY_UNKNOWN = -1;
using memory_values = std::array<std::int64_t, MEMORY_KIND_COUNT>;
inline constexpr memory_values NO_MEMORY_VALUES = {MEMORY_UNKNOWN, MEMORY_UNKNOWN, MEMORY_UNKNOWN, MEMORY_UNKNOWN};

inline constexpr int NAME_SIZE = 64;
// The name an application gave its DRM client (drm-client-name, at most 64
// characters), NUL-terminated; empty when it gave none.
inline constexpr int CLIENT_NAME_SIZE = 65;
using client_name_text = std::array<char, CLIENT_NAME_SIZE>;

// The CPU time of a process whose stat could not be read (it has ended, or is
// another user's): unknown, which is not zero. Any negative time reads so.
inline constexpr double CPU_SECONDS_UNKNOWN = -1.0;

// One flag per queue, indexed like the engine values.
using engine_flags = std::array<bool, ENGINE_COUNT>;

// One V3D client as seen by one census, which sets every field. Zero by
// default, so that the tables of them start all zero and take no page of the
// program file.
struct client_sample {
    std::uint64_t client_id = 0;
    std::int32_t pid = 0;
    // The descriptor of `pid` whose fdinfo file the census read the client from.
    std::int32_t descriptor = 0;
    // 0, or the thread whose /proc/<pid>/task/<tid>/fdinfo showed it, where the
    // main thread has exited and the process's own fdinfo/ lists nothing.
    std::int32_t descriptor_thread = 0;
    std::array<char, NAME_SIZE> name{};
    client_name_text client_name{};
    std::array<std::int64_t, ENGINE_COUNT> engine{};
    std::array<std::int64_t, ENGINE_COUNT> jobs{}; // jobs completed, cumulative
    // The queues the client's fdinfo lists: older kernels lack the later ones.
    engine_flags engine_listed{};
    memory_values memory{}; // each value in bytes, or MEMORY_UNKNOWN
    double cpu_seconds = 0.0; // or CPU_SECONDS_UNKNOWN
};

// The first `count` records are valid, in discovery order, with distinct client ids.
struct client_table {
    std::array<client_sample, MAX_CLIENTS> records{};
    int count = 0;
    // Processes whose fdinfo/ the census may not read (EACCES: another
    // user's, to an ordinary user), whose clients it cannot see.
    int unreadable_processes = 0;
};

// Which V3D clients a census lists: those busy on render, TFU or bin at some
// time (the default outputs), or those busy on any queue at some time.
enum class client_listing { default_queues, all_queues };

// Whether a client with these engine readings is one the default outputs list.
inline bool busy_on_default_queues(const std::array<std::int64_t, ENGINE_COUNT> &engine)
{
    for (int index = 0; index < DEFAULT_ENGINE_COUNT; ++index) {
        if (engine[static_cast<std::size_t>(index)] != 0) {
            return true;
        }
    }
    return false;
}

inline constexpr const char *DEFAULT_PROC_PATH = "/proc";

// What the census needs of a process's /proc/<pid>/stat.
struct process_status {
    std::int32_t pid = 0;
    std::int32_t parent = 0;
    std::int64_t start_time = 0; // clock ticks after boot: with the pid, names the process
    // The process's own time plus that of the children it has waited for.
    std::int64_t user_ticks = 0;
    std::int64_t system_ticks = 0;
};

// Reads /proc/<pid>/stat below `proc_path`; false when the process is gone.
bool read_process_status(std::int32_t pid, process_status &status, const char *proc_path = DEFAULT_PROC_PATH);

// The processes a run follows: those it starts from and all their descendants.
// A process belongs when its parent belongs, judged at each census, and stays
// while it lives, so that an orphan stays in the tree.
inline constexpr int MAX_TREE_PROCESSES = 1024;
using process_list = std::array<process_status, MAX_TREE_PROCESSES>;
// The processes one census can judge; those listed after them are not followed.
inline constexpr int MAX_CENSUS_PROCESSES = 4096;
struct process_tree {
    // Every process of the census, in the order /proc lists them, and which belong.
    std::array<process_status, MAX_CENSUS_PROCESSES> candidates{};
    std::array<bool, MAX_CENSUS_PROCESSES> admitted{};
    int candidate_count = 0;
    // A process whose children belong (v3dwatch itself, while it runs a command
    // and adopts the orphans below it); 0 for none.
    std::int32_t adopting_parent = 0;
    // The members of the last census and of the one before it.
    std::array<process_list, 2> generations{};
    std::array<int, 2> counts{};
    int current = 0;
    // The last time read of members that ended with no member or adopting
    // parent to collect it: their own and their children's.
    std::int64_t ended_user_ticks = 0;
    std::int64_t ended_system_ticks = 0;
};

// Starts a tree at the processes `pids` as they are now; false, with `missing`
// set, when one of them does not exist.
bool start_process_tree(process_tree &tree, const std::int32_t *pids, int count, std::int32_t &missing,
                        const char *proc_path = DEFAULT_PROC_PATH);

// Takes a process that its adopting parent has reaped out of the tree.
void forget_tree_process(process_tree &tree, std::int32_t pid);

// The members found by the latest census.
int tree_member_count(const process_tree &tree);

// User and system ticks of the members now, plus those that ended.
void tree_cpu_ticks(const process_tree &tree, std::int64_t &user, std::int64_t &system);

// Fills `table` from the beginning with the V3D clients found under `proc_path`
// and returns the new count; anything unreadable is skipped. With a `tree`,
// only the tree's processes are read, and the census brings the tree up to date.
int scan_clients(client_table &table, const char *proc_path = DEFAULT_PROC_PATH,
                 client_listing listing = client_listing::default_queues, process_tree *tree = nullptr);

// The rows of the driver's statistics file: one per queue.
inline constexpr int MAX_QUEUE_ROWS = 16;
inline constexpr int QUEUE_NAME_SIZE = 32;

struct queue_counters {
    std::array<char, QUEUE_NAME_SIZE> name{};
    std::int64_t timestamp = 0;
    std::int64_t jobs = 0;
    std::int64_t runtime = 0;
};

struct gpu_counters {
    // The first number of the "bin" row: the GPU's own time base for the
    // clients' engine time; 0 when the file has no such row.
    std::int64_t reference = 0;
    std::array<queue_counters, MAX_QUEUE_ROWS> queues{};
    int queue_count = 0;
    // The row of `queues` that each queue of the queue table has, mapped once
    // as the file is read (the first of its name); valid where `queue_listed`.
    std::array<int, ENGINE_COUNT> queue_rows{};
    engine_flags queue_listed{};
};

// Maps the row `index` of `counters` to its queue in the queue table, if it
// names one that no earlier row has named.
void map_queue_row(gpu_counters &counters, int index);

// Reads every row of the statistics file in one read; all zero when unreadable.
void read_gpu_counters(gpu_counters &counters, const char *path = stats_path);

// Opens the statistics file as read_gpu_counters does, to be held; -1 on failure.
int open_gpu_stats(const char *path = stats_path);

// The same as read_gpu_counters from a held descriptor of the statistics file,
// read again from offset 0; all zero when unreadable.
void read_gpu_counters_from(gpu_counters &counters, int fd);

