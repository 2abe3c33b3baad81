// Measures the CPU cost of one census against the floor: the least that any
// census must do to read the same files (list, open, one read, close; comm and
// stat for each accepted client; gpu_stats). Two workloads: a fake kernel tree
// on tmpfs with 256 V3D clients, and the real /proc loaded with sleeping
// children that hold open descriptors.
#include <algorithm>
#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sampling/client_table.hpp"

namespace {

constexpr int TREE_PROCESSES = 300;
constexpr int TREE_DESCRIPTORS = 20;
constexpr int TREE_CLIENTS = 256;
constexpr int TREE_FIRST_PID = 1000;
constexpr int CHILD_PROCESSES = 400;
constexpr int CHILD_DESCRIPTORS = 30;

constexpr std::size_t LISTING_SIZE = 8192;
constexpr std::size_t FILE_BUFFER_SIZE = 4096;
constexpr std::size_t COMM_BUFFER_SIZE = 64;
constexpr std::size_t STAT_BUFFER_SIZE = 2048;
constexpr std::size_t PATH_SIZE = 128;
constexpr std::size_t MAX_FLOOR_CLIENTS = 1024;
constexpr int DIRECTORY_FLAGS = O_RDONLY | O_DIRECTORY | O_CLOEXEC;

// getdents64(2) record: d_ino (8), d_off (8), d_reclen (2), d_type (1), name.
constexpr std::size_t DIRENT_RECLEN_OFFSET = 16;
constexpr std::size_t DIRENT_NAME_OFFSET = 19;

constexpr char DRIVER_TEXT[] = "drm-driver:\tv3d";
constexpr char CLIENT_ID_KEY[] = "drm-client-id:";

struct floor_client {
    int client_id = -1;
    int pid = 0;
};

// What one floor pass saw; `clients` only for the set-up's comparison.
struct floor_tally {
    long files = 0;
    std::size_t client_count = 0;
    std::array<floor_client, MAX_FLOOR_CLIENTS> clients{};
};

unsigned short record_length(const char *record)
{
    unsigned short length = 0;
    std::memcpy(&length, record + DIRENT_RECLEN_OFFSET, sizeof length);
    return length;
}

// Calls visit with the name of every entry of the open directory `fd`.
template <typename entry_visitor>
void for_each_entry(int fd, std::array<char, LISTING_SIZE> &listing, entry_visitor &&visit)
{
    for (;;) {
        const long size = ::getdents64(fd, listing.data(), listing.size());
        if (size <= 0) {
            return;
        }
        for (long position = 0; position < size;) {
            const char *record = listing.data() + position;
            position += record_length(record);
            visit(record + DIRENT_NAME_OFFSET);
        }
    }
}

// Reads a small file with reads into `buffer` until a short one; returns the
// first read's length (0 on failure).
long read_whole(int fd, char *buffer, std::size_t size)
{
    long first = ::read(fd, buffer, size);
    long got = first;
    while (got == static_cast<long>(size)) {
        got = ::read(fd, buffer, size);
    }
    return first < 0 ? 0 : first;
}

void read_once(int directory_fd, const char *path, char *buffer, std::size_t size)
{
    const int fd = ::openat(directory_fd, path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        benchmark::DoNotOptimize(::read(fd, buffer, size));
        ::close(fd);
    }
}

// "<pid>/<leaf>" from a directory entry's name, for openat on /proc.
void pid_path(std::array<char, PATH_SIZE> &path, const char *pid_name, std::size_t pid_length, const char *leaf)
{
    std::memcpy(path.data(), pid_name, pid_length);
    std::strcpy(path.data() + pid_length, leaf);
}

void floor_process(int proc_fd, const char *pid_name, floor_tally &tally)
{
    const std::size_t pid_length = std::strlen(pid_name);
    if (pid_length + 16 > PATH_SIZE) {
        return;
    }
    std::array<char, PATH_SIZE> path;
    pid_path(path, pid_name, pid_length, "/fdinfo");
    const int fdinfo_fd = ::openat(proc_fd, path.data(), DIRECTORY_FLAGS);
    if (fdinfo_fd < 0) {
        return;
    }
    alignas(8) std::array<char, LISTING_SIZE> listing;
    std::array<char, FILE_BUFFER_SIZE> text;
    bool name_read = false;
    for_each_entry(fdinfo_fd, listing, [&](const char *name) {
        if (name[0] == '.') {
            return;
        }
        const int fd = ::openat(fdinfo_fd, name, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return;
        }
        ++tally.files;
        const long got = read_whole(fd, text.data(), text.size() - 1);
        ::close(fd);
        if (got <= 0) {
            return;
        }
        text[static_cast<std::size_t>(got)] = '\0';
        if (std::strstr(text.data(), DRIVER_TEXT) == nullptr) {
            return;
        }
        const char *id_line = std::strstr(text.data(), CLIENT_ID_KEY);
        if (id_line == nullptr) {
            return;
        }
        if (!name_read) {
            std::array<char, COMM_BUFFER_SIZE> comm;
            pid_path(path, pid_name, pid_length, "/comm");
            read_once(proc_fd, path.data(), comm.data(), comm.size());
            name_read = true;
        }
        std::array<char, STAT_BUFFER_SIZE> stat;
        pid_path(path, pid_name, pid_length, "/stat");
        read_once(proc_fd, path.data(), stat.data(), stat.size());
        if (tally.client_count < tally.clients.size()) {
            floor_client &client = tally.clients[tally.client_count++];
            client.client_id = std::atoi(id_line + sizeof CLIENT_ID_KEY - 1);
            client.pid = std::atoi(pid_name);
        }
    });
    ::close(fdinfo_fd);
}

void floor_pass(const char *proc_path, const char *stats_file, floor_tally &tally)
{
    tally.files = 0;
    tally.client_count = 0;
    std::array<char, 1024> stats;
    read_once(AT_FDCWD, stats_file, stats.data(), stats.size());
    const int proc_fd = ::open(proc_path, DIRECTORY_FLAGS);
    if (proc_fd < 0) {
        return;
    }
    alignas(8) std::array<char, LISTING_SIZE> listing;
    for_each_entry(proc_fd, listing, [&](const char *name) {
        if (name[0] >= '0' && name[0] <= '9') {
            floor_process(proc_fd, name, tally);
        }
    });
    ::close(proc_fd);
}

// A census as the sampling loop takes it: the reference counter, then the clients.
int census_pass(const char *proc_path, const char *stats_file, client_table &table)
{
    benchmark::DoNotOptimize(read_reference_counter(stats_file));
    return scan_clients(table, proc_path);
}

// ---- the tmpfs workload ----

void write_file(const std::filesystem::path &path, const std::string &text)
{
    std::FILE *file = std::fopen(path.c_str(), "w");
    if (file == nullptr || std::fwrite(text.data(), 1, text.size(), file) != text.size() || std::fclose(file) != 0) {
        std::fprintf(stderr, "cannot write %s: %s\n", path.c_str(), std::strerror(errno));
        std::exit(1);
    }
}

std::string generic_lines(const char *flags, int inode)
{
    return std::string("pos:\t0\nflags:\t") + flags + "\nmnt_id:\t15\nino:\t" + std::to_string(inode) + "\n";
}

std::string v3d_fdinfo(int client_id, int seed)
{
    const long base = 1000003L * (seed + 1);
    std::string text = generic_lines("02100002", 521);
    text += "drm-driver:\tv3d\ndrm-client-id:\t" + std::to_string(client_id) + "\n";
    const char *queues[] = {"bin", "render", "tfu", "csd", "cache_clean", "cpu"};
    for (int queue = 0; queue < 6; ++queue) {
        const long busy = queue < 3 ? base * (queue + 3) : 0;
        text += std::string("drm-engine-") + queues[queue] + ": \t" + std::to_string(busy) + " ns\n";
        text += std::string("v3d-jobs-") + queues[queue] + ": \t" + std::to_string(busy / 50000) + " jobs\n";
    }
    text += "drm-total-memory:\t15168 KiB\ndrm-shared-memory:\t9336 KiB\ndrm-resident-memory:\t15168 KiB\n";
    return text;
}

std::string other_fdinfo(int descriptor, int inode)
{
    switch (descriptor % 5) {
    case 0:
        return generic_lines("0100002", inode); // a regular file
    case 1:
        return generic_lines("02000000", inode); // a pipe end
    case 2:
        return generic_lines("02000002", inode); // a socket
    case 3:
        return generic_lines("02004002", inode) + "eventfd-count:                0\neventfd-id: " +
               std::to_string(inode % 97) + "\neventfd-semaphore: 0\n";
    default: {
        std::string text = generic_lines("02000002", inode); // an epoll watching a few
        for (int watched = 3; watched < 11; ++watched) {
            char line[128];
            std::snprintf(line, sizeof line, "tfd: %8d events:       19 data: %16x  pos:0 ino:%x sdev:8\n", watched,
                          watched, inode + watched);
            text += line;
        }
        return text;
    }
    }
}

std::string stat_line(int pid, const std::string &name)
{
    return std::to_string(pid) + " (" + name +
           ") S 1 " + std::to_string(pid) + " " + std::to_string(pid) +
           " 0 -1 4194560 2011 0 12 0 731 215 0 0 20 0 4 0 1502 270909440 4021 18446744073709551615 "
           "94811361280000 94811361423397 140726528612640 0 0 0 0 4096 1260 0 0 0 17 1 0 0 0 0 0 "
           "94811361446512 94811361451184 94811377037312 140726528619387 140726528619409 "
           "140726528619409 140726528622560 0\n";
}

// proc/<pid>/{comm,stat,fdinfo/<fd>} and sys/class/drm/card0/device/gpu_stats.
void build_tree(const std::filesystem::path &root)
{
    namespace fs = std::filesystem;
    fs::create_directories(root / "proc");
    fs::create_directories(root / "sys/class/drm/card0/device");
    write_file(root / "sys/class/drm/card0/device/gpu_stats",
               "queue\ttimestamp\tjobs\truntime\n"
               "bin\t2837462837\t4511\t981273645\nrender\t2837462837\t4511\t9912837461\n"
               "tfu\t2837462837\t12\t873645\ncsd\t2837462837\t0\t0\n"
               "cache_clean\t2837462837\t0\t0\ncpu\t2837462837\t0\t0\n");
    write_file(root / "proc/meminfo", "MemTotal:        8192000 kB\n");
    int client = 0;
    int inode = 4000;
    for (int process = 0; process < TREE_PROCESSES; ++process) {
        const int pid = TREE_FIRST_PID + process * 7;
        const fs::path directory = root / "proc" / std::to_string(pid);
        fs::create_directories(directory / "fdinfo");
        const std::string name = "worker-" + std::to_string(process);
        write_file(directory / "comm", name + "\n");
        write_file(directory / "stat", stat_line(pid, name));
        for (int descriptor = 0; descriptor < TREE_DESCRIPTORS; ++descriptor) {
            const bool gpu = descriptor >= 3 && descriptor < 5 && client < TREE_CLIENTS;
            const std::string text = gpu ? v3d_fdinfo(81 + client, client) : other_fdinfo(descriptor, ++inode);
            client += gpu ? 1 : 0;
            write_file(directory / "fdinfo" / std::to_string(descriptor), text);
        }
    }
}

// ---- the /proc workload ----

[[noreturn]] void child_main(int ready_fd, const std::filesystem::path &scratch, int index)
{
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    int opened = 0;
    while (opened + 2 <= CHILD_DESCRIPTORS) {
        switch (opened % 3) {
        case 0: {
            const std::string path = (scratch / ("file-" + std::to_string(index % 16))).string();
            const int first = ::open(path.c_str(), O_RDONLY);
            const int second = ::open("/dev/null", O_RDONLY);
            if (first < 0 || second < 0) {
                ::_exit(1);
            }
            break;
        }
        case 1: {
            int ends[2];
            if (::pipe(ends) != 0) {
                ::_exit(1);
            }
            break;
        }
        default: {
            int ends[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0) {
                ::_exit(1);
            }
            break;
        }
        }
        opened += 2;
    }
    const char ready = 'r';
    if (::write(ready_fd, &ready, 1) != 1) {
        ::_exit(1);
    }
    ::close(ready_fd);
    for (;;) {
        ::pause();
    }
}

std::vector<pid_t> start_children(const std::filesystem::path &scratch)
{
    std::filesystem::create_directories(scratch);
    for (int file = 0; file < 16; ++file) {
        write_file(scratch / ("file-" + std::to_string(file)), "some text\n");
    }
    int ready[2];
    if (::pipe(ready) != 0) {
        std::perror("pipe");
        std::exit(1);
    }
    std::vector<pid_t> children;
    for (int index = 0; index < CHILD_PROCESSES; ++index) {
        const pid_t child = ::fork();
        if (child < 0) {
            std::perror("fork");
            break;
        }
        if (child == 0) {
            ::close(ready[0]);
            child_main(ready[1], scratch, index);
        }
        children.push_back(child);
    }
    ::close(ready[1]);
    std::size_t arrived = 0;
    char byte = 0;
    while (arrived < children.size() && ::read(ready[0], &byte, 1) == 1) {
        ++arrived;
    }
    ::close(ready[0]);
    if (arrived != children.size() || children.size() != CHILD_PROCESSES) {
        std::fprintf(stderr, "only %zu of %d children are ready\n", arrived, CHILD_PROCESSES);
    }
    return children;
}

void stop_children(const std::vector<pid_t> &children)
{
    for (const pid_t child : children) {
        ::kill(child, SIGKILL);
    }
    for (const pid_t child : children) {
        ::waitpid(child, nullptr, 0);
    }
}

// ---- comparison and the benchmarks ----

using client_key = std::pair<int, int>;

// The census and the floor must find the same clients, or the floor measures something else.
bool same_clients(const char *workload, const char *proc_path, const char *stats_file, floor_tally &tally)
{
    static client_table table;
    const int count = census_pass(proc_path, stats_file, table);
    floor_pass(proc_path, stats_file, tally);
    std::vector<client_key> census;
    for (int index = 0; index < count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        census.emplace_back(record.client_id, record.pid);
    }
    std::vector<client_key> floor;
    for (std::size_t index = 0; index < tally.client_count; ++index) {
        floor.emplace_back(tally.clients[index].client_id, tally.clients[index].pid);
    }
    std::sort(census.begin(), census.end());
    std::sort(floor.begin(), floor.end());
    std::fprintf(stderr, "%s: %ld fdinfo files, %d clients\n", workload, tally.files, count);
    if (census != floor) {
        std::fprintf(stderr, "%s: the census found %zu clients, the floor %zu\n", workload, census.size(),
                     floor.size());
        return false;
    }
    return true;
}

void set_file_counters(benchmark::State &state, long files)
{
    state.counters["files"] = static_cast<double>(files);
    state.counters["per_file"] =
        benchmark::Counter(static_cast<double>(files), benchmark::Counter::kIsIterationInvariantRate |
                                                           benchmark::Counter::kInvert);
}

void run_census(benchmark::State &state, const std::string &proc_path, const std::string &stats_file, long files)
{
    static client_table table;
    for (auto _ : state) {
        benchmark::DoNotOptimize(census_pass(proc_path.c_str(), stats_file.c_str(), table));
    }
    set_file_counters(state, files);
}

void run_floor(benchmark::State &state, const std::string &proc_path, const std::string &stats_file, long files)
{
    static floor_tally tally;
    for (auto _ : state) {
        floor_pass(proc_path.c_str(), stats_file.c_str(), tally);
        benchmark::DoNotOptimize(tally.files);
    }
    set_file_counters(state, files);
}

std::filesystem::path scratch_root()
{
    std::error_code error;
    const std::filesystem::path shm("/dev/shm");
    const std::filesystem::path base = std::filesystem::is_directory(shm, error) ? shm
                                                                                 : std::filesystem::temp_directory_path();
    return base / ("v3dwatch-census-benchmark-" + std::to_string(::getpid()));
}

} // namespace

// "--write-tree=DIR" only writes the tmpfs workload's tree into DIR and exits,
// for running the real program on it.
constexpr std::string_view WRITE_TREE_OPTION = "--write-tree=";

int main(int argc, char **argv)
{
    if (argc == 2 && std::string_view(argv[1]).starts_with(WRITE_TREE_OPTION)) {
        build_tree(std::string(std::string_view(argv[1]).substr(WRITE_TREE_OPTION.size())));
        return 0;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    clock_ticks = ::sysconf(_SC_CLK_TCK);
    const std::filesystem::path root = scratch_root();
    build_tree(root / "tree");
    const std::vector<pid_t> children = start_children(root / "held");

    const std::string tree_proc = (root / "tree/proc").string();
    const std::string stats_file = (root / "tree/sys/class/drm/card0/device/gpu_stats").string();
    const std::string real_proc = "/proc";

    static floor_tally tally;
    bool agreed = same_clients("tmpfs", tree_proc.c_str(), stats_file.c_str(), tally);
    const long tree_files = tally.files;
    agreed = same_clients("proc", real_proc.c_str(), stats_file.c_str(), tally) && agreed;
    const long proc_files = tally.files;

    int status = 1;
    if (agreed) {
        benchmark::RegisterBenchmark("census/tmpfs", run_census, tree_proc, stats_file, tree_files);
        benchmark::RegisterBenchmark("floor/tmpfs", run_floor, tree_proc, stats_file, tree_files);
        benchmark::RegisterBenchmark("census/proc", run_census, real_proc, stats_file, proc_files);
        benchmark::RegisterBenchmark("floor/proc", run_floor, real_proc, stats_file, proc_files);
        benchmark::RunSpecifiedBenchmarks();
        status = 0;
    }
    benchmark::Shutdown();
    stop_children(children);
    std::error_code error;
    std::filesystem::remove_all(root, error);
    return status;
}
