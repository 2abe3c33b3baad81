// Measures the CPU cost of one census against two floors, each the least
// that a method must do to find the same clients:
//   - read all: list each fdinfo folder and read every file in it (list, open,
//     one read, close), as a monitor that reads every fdinfo file does;
//   - filter: list each fd folder, one fstatat through every link, and read the
//     fdinfo file only of a character device of the DRM major, as a monitor
//     that filters by stat does.
// Both read comm and stat for each accepted client, and gpu_stats. Two
// workloads: a fake kernel tree on tmpfs with 256 V3D clients (with fd/ links
// to device nodes when run as root), and the real /proc loaded with sleeping
// children that hold open descriptors.
// Beside the census, one sample between censuses: 8 held clients and gpu_stats,
// each read again with one pread at offset 0. On tmpfs it is the program's own
// sample of 8 of the tree's clients; the real /proc has no V3D client, so there
// 8 held fdinfo files of the children are read and parsed the same way.
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
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "sampling/client_table.hpp"
#include "sampling/fdinfo_text.hpp"
#include "sampling/gpu_conditions.hpp"
#include "sampling/held_clients.hpp"

namespace {

constexpr int TREE_PROCESSES = 300;
constexpr int TREE_DESCRIPTORS = 20;
constexpr int TREE_CLIENTS = 256;
constexpr int TREE_FIRST_PID = 1000;
constexpr int CHILD_PROCESSES = 400;
constexpr int CHILD_DESCRIPTORS = 30;
constexpr int SAMPLE_CLIENTS = 8;

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

// The major number of the DRM character devices.
constexpr unsigned DRM_MAJOR_NUMBER = 226;

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

// One process as a floor reads it.
struct floor_process_state {
    int proc_fd = -1;
    const char *pid_name = nullptr;
    std::size_t pid_length = 0;
    bool name_read = false;
    std::array<char, PATH_SIZE> path;
    std::array<char, FILE_BUFFER_SIZE> text;
};

// Reads the fdinfo file `name` under `directory_fd`; for a V3D client also
// comm (once per process) and stat.
void floor_read_fdinfo(floor_process_state &process, int directory_fd, const char *name, floor_tally &tally)
{
    const int fd = ::openat(directory_fd, name, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return;
    }
    ++tally.files;
    std::array<char, FILE_BUFFER_SIZE> &text = process.text;
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
    if (!process.name_read) {
        std::array<char, COMM_BUFFER_SIZE> comm;
        pid_path(process.path, process.pid_name, process.pid_length, "/comm");
        read_once(process.proc_fd, process.path.data(), comm.data(), comm.size());
        process.name_read = true;
    }
    std::array<char, STAT_BUFFER_SIZE> stat;
    pid_path(process.path, process.pid_name, process.pid_length, "/stat");
    read_once(process.proc_fd, process.path.data(), stat.data(), stat.size());
    if (tally.client_count < tally.clients.size()) {
        floor_client &client = tally.clients[tally.client_count++];
        client.client_id = std::atoi(id_line + sizeof CLIENT_ID_KEY - 1);
        client.pid = std::atoi(process.pid_name);
    }
}

// The read-all floor: every file of <pid>/fdinfo.
void floor_read_all(floor_process_state &process, floor_tally &tally)
{
    pid_path(process.path, process.pid_name, process.pid_length, "/fdinfo");
    const int fdinfo_fd = ::openat(process.proc_fd, process.path.data(), DIRECTORY_FLAGS);
    if (fdinfo_fd < 0) {
        return;
    }
    alignas(8) std::array<char, LISTING_SIZE> listing;
    for_each_entry(fdinfo_fd, listing, [&](const char *name) {
        if (name[0] != '.') {
            floor_read_fdinfo(process, fdinfo_fd, name, tally);
        }
    });
    ::close(fdinfo_fd);
}

// The filter floor: one fstatat through each link of <pid>/fd, and
// <pid>/fdinfo/<n> read only for a character device of the DRM major (or
// where the stat fails but for a closed descriptor). Without fd/ (the tmpfs
// tree when not root) it reads every file.
void floor_filter(floor_process_state &process, floor_tally &tally)
{
    pid_path(process.path, process.pid_name, process.pid_length, "/fd");
    const int fd_fd = ::openat(process.proc_fd, process.path.data(), DIRECTORY_FLAGS);
    if (fd_fd < 0) {
        floor_read_all(process, tally);
        return;
    }
    alignas(8) std::array<char, LISTING_SIZE> listing;
    for_each_entry(fd_fd, listing, [&](const char *name) {
        if (name[0] == '.') {
            return;
        }
        struct stat status {};
        if (::fstatat(fd_fd, name, &status, 0) == 0
                ? S_ISCHR(status.st_mode) && major(status.st_rdev) == DRM_MAJOR_NUMBER
                : errno != ENOENT) {
            std::array<char, PATH_SIZE> fdinfo_path;
            pid_path(fdinfo_path, process.pid_name, process.pid_length, "/fdinfo/");
            std::strncat(fdinfo_path.data(), name, PATH_SIZE - std::strlen(fdinfo_path.data()) - 1);
            floor_read_fdinfo(process, process.proc_fd, fdinfo_path.data(), tally);
        }
    });
    ::close(fd_fd);
}

enum class floor_kind { read_all, filter };

void floor_process(int proc_fd, const char *pid_name, floor_kind kind, floor_tally &tally)
{
    floor_process_state process;
    process.proc_fd = proc_fd;
    process.pid_name = pid_name;
    process.pid_length = std::strlen(pid_name);
    if (process.pid_length + 16 > PATH_SIZE) {
        return;
    }
    if (kind == floor_kind::filter) {
        floor_filter(process, tally);
    } else {
        floor_read_all(process, tally);
    }
}

void floor_pass(const char *proc_path, const char *stats_file, floor_kind kind, floor_tally &tally)
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
            floor_process(proc_fd, name, kind, tally);
        }
    });
    ::close(proc_fd);
}

// A census as the sampling loop takes it: the statistics rows, then the clients.
int census_pass(const char *proc_path, const char *stats_file, client_table &table)
{
    gpu_counters counters;
    read_gpu_counters(counters, stats_file);
    benchmark::DoNotOptimize(counters);
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

// What the fd/ links of the tree lead to: a DRM render node, a regular file,
// a FIFO and a socket; false where the node cannot be made (not root).
bool make_link_targets(const std::filesystem::path &root)
{
    namespace fs = std::filesystem;
    fs::create_directories(root / "dev/dri");
    if (::mknod((root / "dev/dri/renderD128").c_str(), S_IFCHR | 0666, makedev(DRM_MAJOR_NUMBER, 128)) != 0) {
        return false;
    }
    write_file(root / "dev/regular", "text\n");
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socket_path = (root / "dev/socket").string();
    const int socket_fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    bool made = socket_path.size() < sizeof address.sun_path && socket_fd >= 0 &&
                ::mkfifo((root / "dev/fifo").c_str(), 0600) == 0;
    if (made) {
        std::memcpy(address.sun_path, socket_path.c_str(), socket_path.size() + 1);
        made = ::bind(socket_fd, reinterpret_cast<const sockaddr *>(&address), sizeof address) == 0;
    }
    if (socket_fd >= 0) {
        ::close(socket_fd);
    }
    if (!made) {
        std::fprintf(stderr, "cannot make the fd/ link targets under %s: %s\n", root.c_str(), std::strerror(errno));
        std::exit(1);
    }
    return true;
}

// Where an fd/ link of a descriptor leads, by the same kinds as other_fdinfo;
// eventfds and epolls lead nowhere a fake tree can show.
std::filesystem::path link_target(const std::filesystem::path &root, bool gpu, int descriptor)
{
    if (gpu) {
        return root / "dev/dri/renderD128";
    }
    switch (descriptor % 5) {
    case 0:
        return root / "dev/regular";
    case 1:
        return root / "dev/fifo";
    case 2:
        return root / "dev/socket";
    case 3:
        return "anon_inode:[eventfd]";
    default:
        return "anon_inode:[eventpoll]";
    }
}

// proc/<pid>/{comm,stat,fdinfo/<fd>} and sys/class/drm/card0/device/gpu_stats,
// and proc/<pid>/fd/<fd> links where device nodes can be made. The root must
// be an absolute path, which the links name.
void build_tree(const std::filesystem::path &root, int clients = TREE_CLIENTS)
{
    namespace fs = std::filesystem;
    fs::create_directories(root / "proc");
    const bool links = make_link_targets(root);
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
            const bool gpu = descriptor >= 3 && descriptor < 5 && client < clients;
            const std::string text = gpu ? v3d_fdinfo(81 + client, client) : other_fdinfo(descriptor, ++inode);
            client += gpu ? 1 : 0;
            write_file(directory / "fdinfo" / std::to_string(descriptor), text);
            if (links) {
                fs::create_directories(directory / "fd");
                fs::create_symlink(link_target(root, gpu, descriptor), directory / "fd" / std::to_string(descriptor));
            }
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

std::vector<client_key> sorted_clients(const floor_tally &tally)
{
    std::vector<client_key> clients;
    for (std::size_t index = 0; index < tally.client_count; ++index) {
        clients.emplace_back(tally.clients[index].client_id, tally.clients[index].pid);
    }
    std::sort(clients.begin(), clients.end());
    return clients;
}

// The census and both floors must find the same clients, or a floor measures
// something else. Returns the fdinfo files of the workload, or -1.
long count_files_if_agreed(const char *workload, const char *proc_path, const char *stats_file)
{
    static client_table table;
    static floor_tally tally;
    const int count = census_pass(proc_path, stats_file, table);
    std::vector<client_key> census;
    for (int index = 0; index < count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        census.emplace_back(record.client_id, record.pid);
    }
    std::sort(census.begin(), census.end());
    floor_pass(proc_path, stats_file, floor_kind::filter, tally);
    const std::vector<client_key> filter = sorted_clients(tally);
    const long filtered_files = tally.files;
    floor_pass(proc_path, stats_file, floor_kind::read_all, tally);
    const std::vector<client_key> read_all = sorted_clients(tally);
    std::fprintf(stderr, "%s: %ld fdinfo files, %ld of them read by the filter, %d clients\n", workload, tally.files,
                 filtered_files, count);
    if (census != read_all || census != filter) {
        std::fprintf(stderr, "%s: the census found %zu clients, the read-all floor %zu, the filter floor %zu\n",
                     workload, census.size(), read_all.size(), filter.size());
        return -1;
    }
    return tally.files;
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

// Per file is per fdinfo file of the workload, read or not.
void run_floor(benchmark::State &state, floor_kind kind, const std::string &proc_path, const std::string &stats_file,
               long files)
{
    static floor_tally tally;
    for (auto _ : state) {
        floor_pass(proc_path.c_str(), stats_file.c_str(), kind, tally);
        benchmark::DoNotOptimize(tally.files);
    }
    set_file_counters(state, files);
}

// One sample of 8 of the tree's clients, held after a census; its files are the 8 held.
void run_sample(benchmark::State &state, const std::string &proc_path, const std::string &stats_file)
{
    static client_table census;
    static client_table table;
    static gpu_counters counters;
    static held_clients held;
    scan_clients(census, proc_path.c_str());
    census.count = std::min(census.count, SAMPLE_CLIENTS);
    hold_clients(held, census, proc_path.c_str(), stats_file.c_str());
    for (auto _ : state) {
        benchmark::DoNotOptimize(sample_held_clients(held, table, counters));
    }
    if (table.count != SAMPLE_CLIENTS) {
        state.SkipWithError("the sample lost held clients");
    }
    set_file_counters(state, SAMPLE_CLIENTS);
    release_clients(held);
}

// The same reads on the real /proc: 8 fdinfo files of the children held open,
// each read again from offset 0 and parsed with the program's key table.
void run_sample_floor(benchmark::State &state, const std::vector<pid_t> &children, const std::string &stats_file)
{
    std::array<int, SAMPLE_CLIENTS> held{};
    for (std::size_t index = 0; index < held.size(); ++index) {
        const std::string path =
            "/proc/" + std::to_string(children.at(index * children.size() / held.size())) + "/fdinfo/3";
        held[index] = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    }
    const int stats = open_gpu_stats(stats_file.c_str());
    std::array<char, FILE_BUFFER_SIZE> buffer;
    static gpu_counters counters;
    for (auto _ : state) {
        read_gpu_counters_from(counters, stats);
        for (const int fd : held) {
            fdinfo_keys keys;
            read_line_pieces(
                fd, buffer, [&keys](std::string_view piece) { apply_fdinfo_line(piece, keys); },
                read_start::file_start);
            benchmark::DoNotOptimize(keys);
        }
    }
    bool all_open = stats >= 0;
    for (const int fd : held) {
        all_open = all_open && fd >= 0;
        ::close(fd);
    }
    ::close(stats);
    if (!all_open) {
        state.SkipWithError("cannot hold the children's fdinfo files");
    }
    set_file_counters(state, SAMPLE_CLIENTS);
}

// A board's condition files, as the simulated GPU lays them out: the V3D clock
// (on), runtime power beside gpu_stats, a thermal zone, a voltage monitor and
// four CPU policies.
constexpr int CONDITION_FILES = 10; // those read at each reading
void write_condition_tree(const std::filesystem::path &root, const std::string &stats_file)
{
    const auto write_below = [](const std::filesystem::path &path, const std::string &text) {
        std::filesystem::create_directories(path.parent_path());
        write_file(path, text);
    };
    const std::filesystem::path clock = root / "debug/clk/fw-clk-v3d";
    write_below(clock / "clk_enable_count", "1\n");
    write_below(clock / "clk_rate", "960000000\n");
    write_below(clock / "clk_max_rate", "960000000\n");
    const std::filesystem::path power = std::filesystem::path(stats_file).parent_path() / "power";
    write_below(power / "runtime_status", "active\n");
    write_below(power / "runtime_active_time", "3600000\n");
    write_below(power / "runtime_suspended_time", "1200000\n");
    write_below(root / "thermal/thermal_zone0/type", "cpu-thermal\n");
    write_below(root / "thermal/thermal_zone0/temp", "61500\n");
    write_below(root / "hwmon/hwmon0/in0_lcrit_alarm", "0\n");
    for (int policy = 0; policy < 4; ++policy) {
        write_below(root / ("cpufreq/policy" + std::to_string(policy)) / "scaling_cur_freq", "2400000\n");
    }
}

// One reading of the conditions, as a census takes it, from the files held open.
void run_conditions(benchmark::State &state, const std::string &root, const std::string &stats_file)
{
    const std::string clock_root = root + "/debug/clk";
    const std::string thermal_root = root + "/thermal";
    const std::string hwmon_root = root + "/hwmon";
    const std::string cpufreq_root = root + "/cpufreq";
    const condition_paths paths{clock_root.c_str(), thermal_root.c_str(), hwmon_root.c_str(), cpufreq_root.c_str()};
    static condition_files files;
    static gpu_conditions conditions;
    open_condition_files(files, paths, stats_file.c_str());
    for (auto _ : state) {
        read_conditions(files, conditions);
        benchmark::DoNotOptimize(conditions);
    }
    if (conditions.clock_hz == 0 || !conditions.temperature_known || conditions.cpu_frequency_khz == 0) {
        state.SkipWithError("the conditions were not read");
    }
    close_condition_files(files);
    set_file_counters(state, CONDITION_FILES);
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

// "--write-tree=DIR [CLIENTS]" only writes the tmpfs workload's tree into DIR,
// with its 256 clients or the first CLIENTS of them, and exits, for running
// the real program on it.
constexpr std::string_view WRITE_TREE_OPTION = "--write-tree=";

int main(int argc, char **argv)
{
    if ((argc == 2 || argc == 3) && std::string_view(argv[1]).starts_with(WRITE_TREE_OPTION)) {
        const int clients = argc == 3 ? std::clamp(std::atoi(argv[2]), 0, TREE_CLIENTS) : TREE_CLIENTS;
        build_tree(std::filesystem::absolute(std::string(std::string_view(argv[1]).substr(WRITE_TREE_OPTION.size()))),
                   clients);
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
    write_condition_tree(root / "conditions", stats_file);

    const long tree_files = count_files_if_agreed("tmpfs", tree_proc.c_str(), stats_file.c_str());
    const long proc_files = count_files_if_agreed("proc", real_proc.c_str(), stats_file.c_str());

    int status = 1;
    if (tree_files >= 0 && proc_files >= 0) {
        benchmark::RegisterBenchmark("census/tmpfs", run_census, tree_proc, stats_file, tree_files);
        benchmark::RegisterBenchmark("filter/tmpfs", run_floor, floor_kind::filter, tree_proc, stats_file, tree_files);
        benchmark::RegisterBenchmark("read_all/tmpfs", run_floor, floor_kind::read_all, tree_proc, stats_file,
                                     tree_files);
        benchmark::RegisterBenchmark("sample/tmpfs", run_sample, tree_proc, stats_file);
        benchmark::RegisterBenchmark("conditions/tmpfs", run_conditions, (root / "conditions").string(), stats_file);
        benchmark::RegisterBenchmark("census/proc", run_census, real_proc, stats_file, proc_files);
        benchmark::RegisterBenchmark("sample/proc", run_sample_floor, children, stats_file);
        benchmark::RegisterBenchmark("filter/proc", run_floor, floor_kind::filter, real_proc, stats_file, proc_files);
        benchmark::RegisterBenchmark("read_all/proc", run_floor, floor_kind::read_all, real_proc, stats_file,
                                     proc_files);
        benchmark::RunSpecifiedBenchmarks();
        status = 0;
    }
    benchmark::Shutdown();
    stop_children(children);
    std::error_code error;
    std::filesystem::remove_all(root, error);
    return status;
}
