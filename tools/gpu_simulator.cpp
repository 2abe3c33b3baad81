// A simulated V3D GPU for machines that have none. Lays out a fake kernel tree
// (proc/<pid>/{comm,stat,fdinfo/<fd>} and sys/class/drm/card0/device/gpu_stats,
// in the kernel's own formats) in a fresh directory on tmpfs, prints that
// directory's path on one line, and then rewrites the changing files about ten
// times a second until SIGINT, SIGTERM, SIGHUP or SIGQUIT, when it removes the tree.
//
//   gpu_simulator
//
// The tree goes under $TMPDIR when that is a tmpfs, else under /dev/shm or
// /run/user/<uid> when they are, else under $TMPDIR or /tmp. The DRM fdinfo
// files and gpu_stats change in place, with one write each, as the kernel's
// change under a descriptor that a reader holds open between censuses; a
// closed client's file is emptied before it goes, as a held descriptor of a
// closed file reads nothing. Every other file is replaced whole (written beside
// the tree, then renamed over the old one). Run a program over the tree with
// fake_kernel_run.
//
// Run as root, it also gives every process an fd/ folder of links, as the
// kernel shows open files: the DRM descriptors lead to character device nodes
// of the DRM major (226:128 for the V3D render node, 226:1 for the vc4 card)
// made with mknod in the tree, the standard ones to /dev/null and the eventfd
// to nothing, so that a reader that stats fd/ entries takes its fast path.
// Where nodes cannot be made there is no fd/ at all, and a reader must read
// every fdinfo file.
//
// The clients and their configured loads, in per cent of one engine's time
// (load = mean + swing * wave, the wave going between -1 and 1 over the period;
// "wakes" clients are at the mean for the active seconds of every period and
// idle otherwise; "comes and goes" clients exist for the active seconds of every
// period, each time under a new client id whose counters start from zero):
//
//   pid        name           fd      client  behaviour       render    bin      tfu     csd     period active
//   812        labwc          9       1       steady           4 +-2     1 +-0.5 25 +-10  0       7 s
//   1317       supertuxkart   11, 14  2       steady, stutters 35 +-10   15 +-5    2 +-1   0       5 s
//   1402       clock-applet   6       3       wakes           15         4        0       0       6 s   0.5 s
//   1455       Web Content    21      4, 101, comes and goes   8 +-2     3 +-1    0       0       7 s   4 s
//   1520       gst-launch-1.0 5       5       steady           6 +-2     2 +-1    0       0       9 s
//   1520       gst-launch-1.0 6       6       steady           0         0       10 +-4   0       4 s
//   1600, 1601 renderd        8       100     steady          10 +-3     5 +-2    0       0      11 s
//   1700       clpeak         4       7, ...  comes and goes   0         0        0      60 +-25 12 s   5 s
//
// supertuxkart stutters: every 4 s its render load jumps to 70 % for 0.4 s, in
// jobs of 40 ms (a frame that takes too long). clpeak computes in bursts of
// 5 s every 12 s, on the csd queue alone, each burst under a new client id.
//
// Each client's jobs on a queue last the queue's typical job length times the
// client's job scale (labwc's compositing jobs are short, renderd's offline
// frames long), and the kernel's job counts grow by the busy time over that.
//
// Work that no listed client accounts for (another user's process, whose
// fdinfo cannot be read): every 10 s, 2 s of 15 % render, in gpu_stats only.
//
// A queue runs one job at a time: when the loads on it add up to more than
// 100 %, each is cut to its share of the queue.
//
// labwc also holds a vc4 DRM file (another driver, not counted). supertuxkart
// has its client open twice (a duplicated descriptor). gst-launch-1.0 holds two
// clients. renderd (1600) shares its client with its forked worker (1601).
// Web Content's client is 4 the first time and clpeak's 7; each new opening
// after that takes the next of 101, 102 and so on.
//
// CPU load of each process, in per cent of one CPU: base + factor * (the sum of
// the queue loads of the clients it drives; renderd's shared client is driven
// by the worker, 1601, while v3dwatch shows it under 1600):
//
//   pid   base  factor      pid   base  factor
//   812   3     0.2         1455  5     0.5
//   1317  20    0.5         1520  4     0.3
//   1402  0.5   0.5         1600  1     0
//   1700  1     0.1         1601  2     0.6
//
// From 86 s into every 90 s, every client is idle and the GPU runtime-suspends
// (its clock off). The game's application names its client (drm-client-name).
// The GPU's conditions (clock, power, temperature, under-voltage, CPU
// frequency) are simulated_conditions.cpp's. A client that tools/simulated_client
// adds (render 40 %, bin 10 %) counts in gpu_stats while it runs.
#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <linux/magic.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "simulated_conditions.hpp"

namespace {

constexpr std::size_t PATH_SIZE = 4096;
constexpr std::size_t TEXT_SIZE = 4096;
constexpr long UPDATE_INTERVAL_NS = 5'000'000;
constexpr double PI = 3.14159265358979323846;

// The kernel's queues, in the order of gpu_stats and of the fdinfo lines.
constexpr int QUEUE_COUNT = 6;
constexpr std::array<const char *, QUEUE_COUNT> QUEUE_NAMES = {"bin", "render", "tfu", "csd", "cache_clean", "cpu"};
constexpr int QUEUE_BIN = 0;
constexpr int QUEUE_RENDER = 1;
constexpr int QUEUE_TFU = 2;
constexpr int QUEUE_CSD = 3;
// Typical job lengths, so that job counts grow believably with busy time.
constexpr std::array<std::int64_t, QUEUE_COUNT> JOB_NS = {900'000, 3'500'000, 400'000, 1'000'000, 50'000, 1'000'000};

enum class behaviour { steady, wakes, comes_and_goes };

struct engine_load {
    double mean = 0.0;  // per cent
    double swing = 0.0; // per cent
};

struct process_config {
    int pid;
    int parent_pid;
    const char *name;
    double cpu_base;   // per cent of one CPU
    double cpu_factor; // CPU per cent per GPU per cent of the clients it drives
    double cpu_seconds_at_start;
};

// A render load that takes over for `seconds` of every `period_seconds`, in
// jobs of `job_ns`: a stutter, or work in bursts.
struct burst {
    double period_seconds = 0.0; // 0 for none
    double seconds = 0.0;
    double render = 0.0; // per cent
    std::int64_t job_ns = 0;
};

struct client_config {
    int process;        // index of the owning process
    int sharing_process; // index of a second holder, or -1
    std::array<int, 2> fds; // a second descriptor on the same file, or 0
    int first_client_id;
    behaviour kind;
    engine_load render;
    engine_load bin;
    engine_load tfu;
    engine_load csd;
    double period_seconds;
    double active_seconds;
    // Busy time before the simulation starts, so that idle clients are listed.
    std::int64_t history_ns;
    double job_scale; // of JOB_NS
    burst stutter;
};

constexpr burst NO_BURST{};
constexpr burst GAME_STUTTER{4.0, 0.4, 70.0, 40'000'000};
// Another user's work, on render only.
constexpr burst UNSEEN_WORK{10.0, 2.0, 15.0, 5'000'000};
// Every client idle for the last seconds of each period (the screen blanked),
// so that the GPU runtime-suspends; not in the first 80 s, which the checks read.
constexpr double QUIET_PERIOD_SECONDS = 90.0;
constexpr double QUIET_FROM_SECONDS = 86.0;
// The client whose application named it (drm-client-name): the game's.
constexpr int NAMED_CLIENT = 1;
constexpr const char *CLIENT_NAME = "stk-game";

constexpr int PROCESS_COUNT = 8;
constexpr std::array<process_config, PROCESS_COUNT> PROCESSES = {{
    {812, 1, "labwc", 3.0, 0.2, 412.35},
    {1317, 1, "supertuxkart", 20.0, 0.5, 96.71},
    {1402, 1, "clock-applet", 0.5, 0.5, 2.13},
    {1455, 1, "Web Content", 5.0, 0.5, 37.90},
    {1520, 1, "gst-launch-1.0", 4.0, 0.3, 18.42},
    {1600, 1, "renderd", 1.0, 0.0, 5.02},
    {1601, 1600, "renderd", 2.0, 0.6, 61.77},
    {1700, 1, "clpeak", 1.0, 0.1, 3.40},
}};

constexpr int CLIENT_COUNT = 8;
constexpr std::array<client_config, CLIENT_COUNT> CLIENTS = {{
    {0, -1, {9, 0}, 1, behaviour::steady, {4, 2}, {1, 0.5}, {25, 10}, {}, 7.0, 0.0, 40'000'000'000, 0.3, NO_BURST},
    {1, -1, {11, 14}, 2, behaviour::steady, {35, 10}, {15, 5}, {2, 1}, {}, 5.0, 0.0, 21'000'000'000, 1.0,
     GAME_STUTTER},
    {2, -1, {6, 0}, 3, behaviour::wakes, {15, 0}, {4, 0}, {0, 0}, {}, 6.0, 0.5, 310'000'000, 0.5, NO_BURST},
    {3, -1, {21, 0}, 4, behaviour::comes_and_goes, {8, 2}, {3, 1}, {0, 0}, {}, 7.0, 4.0, 0, 0.8, NO_BURST},
    {4, -1, {5, 0}, 5, behaviour::steady, {6, 2}, {2, 1}, {0, 0}, {}, 9.0, 0.0, 2'500'000'000, 0.6, NO_BURST},
    {4, -1, {6, 0}, 6, behaviour::steady, {0, 0}, {0, 0}, {10, 4}, {}, 4.0, 0.0, 3'100'000'000, 2.0, NO_BURST},
    {5, 6, {8, 0}, 100, behaviour::steady, {10, 3}, {5, 2}, {0, 0}, {}, 11.0, 0.0, 9'000'000'000, 4.0, NO_BURST},
    {7, -1, {4, 0}, 7, behaviour::comes_and_goes, {}, {}, {}, {60, 25}, 12.0, 5.0, 0, 20.0, NO_BURST},
}};

// The running state of one client.
struct client_state {
    bool open = false;
    int openings = 0;
    int client_id = 0;
    std::array<std::int64_t, QUEUE_COUNT> busy_ns{};
    std::array<double, QUEUE_COUNT> jobs{}; // completed, with the part of the next
};

struct simulation {
    std::array<char, PATH_SIZE> tree{};
    bool descriptor_links = false; // fd/ folders of links to device nodes
    std::array<client_state, CLIENT_COUNT> clients{};
    std::array<double, PROCESS_COUNT> cpu_seconds{};
    // The queues' totals also keep the time of clients that have gone.
    std::array<std::int64_t, QUEUE_COUNT> queue_busy_ns{};
    std::array<double, QUEUE_COUNT> queue_jobs{};
    int next_client_id = 0;
    std::int64_t start_ns = 0;
    std::int64_t last_ns = 0;
    long clock_ticks = 100;
    simulated_conditions conditions{};
};

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void on_stop_signal(int)
{
    stop_requested = 1;
}

// The kernel's local clock advances in real nanoseconds but is not
// CLOCK_MONOTONIC; the raw monotonic clock stands in for it.
std::int64_t clock_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// Between -1 and 1, over the period; the phase keeps clients out of step.
double wave(double seconds, double period_seconds, int phase)
{
    const double angle = 2.0 * PI * seconds / period_seconds + phase;
    return 0.7 * std::sin(angle) + 0.3 * std::sin(2.3 * angle + 1.0);
}

bool is_active(const client_config &client, double seconds)
{
    return std::fmod(seconds, client.period_seconds) < client.active_seconds;
}

bool in_burst(const burst &work, double seconds)
{
    return work.period_seconds > 0.0 && std::fmod(seconds, work.period_seconds) < work.seconds;
}

// Per cent of the engine's time that the client keeps it busy at this moment.
double current_load(const client_config &client, const engine_load &load, double seconds, int phase)
{
    switch (client.kind) {
    case behaviour::wakes:
        return is_active(client, seconds) ? load.mean : 0.0;
    case behaviour::comes_and_goes:
    case behaviour::steady:
        break;
    }
    return std::max(0.0, load.mean + load.swing * wave(seconds, client.period_seconds, phase));
}

bool format_path(std::array<char, PATH_SIZE> &path, const char *tree, const char *format, int first, int second = 0)
{
    const int prefix = std::snprintf(path.data(), path.size(), "%s/", tree);
    if (prefix < 0 || static_cast<std::size_t>(prefix) >= path.size()) {
        return false;
    }
    const std::size_t room = path.size() - static_cast<std::size_t>(prefix);
    // cppcheck-suppress wrongPrintfScanfArgNum ; a format with one %d leaves `second` unused, which C allows
    const int length = std::snprintf(path.data() + prefix, room, format, first, second);
    return length >= 0 && static_cast<std::size_t>(length) < room;
}

// The path of a file in the tree; false when it does not fit.
bool tree_path(std::array<char, PATH_SIZE> &path, const simulation &state, const char *relative_path)
{
    const int length = std::snprintf(path.data(), path.size(), "%s/%s", state.tree.data(), relative_path);
    return length >= 0 && static_cast<std::size_t>(length) < path.size();
}

// Writes the text beside the tree, then renames it over the file, so that the
// file is replaced whole.
bool replace_file(const simulation &state, const char *relative_path, const char *text, std::size_t length)
{
    std::array<char, PATH_SIZE> staged{};
    std::array<char, PATH_SIZE> target{};
    if (!tree_path(staged, state, "staging/next") || !tree_path(target, state, relative_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = ::open(staged.data(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return false;
    }
    const bool written = ::write(fd, text, length) == static_cast<ssize_t>(length);
    const bool closed = ::close(fd) == 0;
    return written && closed && std::rename(staged.data(), target.data()) == 0;
}

// Writes the text over a file that a reader may hold open, in place: one write
// at offset 0, then the length cut to the text's. A file not there yet is made
// as replace_file makes it.
bool rewrite_file(const simulation &state, const char *relative_path, const char *text, std::size_t length)
{
    std::array<char, PATH_SIZE> target{};
    if (!tree_path(target, state, relative_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = ::open(target.data(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return errno == ENOENT && replace_file(state, relative_path, text, length);
    }
    const bool written = ::pwrite(fd, text, length, 0) == static_cast<ssize_t>(length) &&
                         ::ftruncate(fd, static_cast<off_t>(length)) == 0;
    const bool closed = ::close(fd) == 0;
    return written && closed;
}

// Empties a file that a reader may hold open, if it is there.
bool empty_file(const simulation &state, const char *relative_path)
{
    std::array<char, PATH_SIZE> target{};
    if (!tree_path(target, state, relative_path)) {
        errno = ENAMETOOLONG;
        return false;
    }
    const int fd = ::open(target.data(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    return fd >= 0 ? ::close(fd) == 0 : errno == ENOENT;
}

// Appends formatted text; the fixed buffer is large enough for every file here.
template <typename... values>
void append(std::array<char, TEXT_SIZE> &text, std::size_t &length, const char *format, values... arguments)
{
    if (length >= text.size()) {
        return;
    }
    const int added = std::snprintf(text.data() + length, text.size() - length, format, arguments...);
    if (added > 0) {
        length = std::min(text.size(), length + static_cast<std::size_t>(added));
    }
}

bool write_v3d_fdinfo(const simulation &state, int client_index, int process_index, int fd)
{
    const client_state &client = state.clients[static_cast<std::size_t>(client_index)];
    std::array<char, TEXT_SIZE> text{};
    std::size_t length = 0;
    append(text, length, "pos:\t0\nflags:\t02100002\nmnt_id:\t25\nino:\t%d\n", 521 + client_index);
    append(text, length, "drm-driver:\tv3d\ndrm-client-id:\t%d\n", client.client_id);
    if (client_index == NAMED_CLIENT) {
        append(text, length, "drm-client-name:\t%s\n", CLIENT_NAME);
    }
    for (int queue = 0; queue < QUEUE_COUNT; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        append(text, length, "drm-engine-%s: \t%lld ns\n", QUEUE_NAMES[index],
               static_cast<long long>(client.busy_ns[index]));
        append(text, length, "v3d-jobs-%s: \t%lld jobs\n", QUEUE_NAMES[index],
               static_cast<long long>(client.jobs[index]));
    }
    append(text, length, "drm-total-memory:\t%d KiB\ndrm-shared-memory:\t%d KiB\ndrm-resident-memory:\t%d KiB\n",
           15168 + 512 * client_index, 9336, 15168 + 512 * client_index);
    std::array<char, PATH_SIZE> path{};
    return format_path(path, "proc", "%d/fdinfo/%d", PROCESSES[static_cast<std::size_t>(process_index)].pid, fd) &&
           rewrite_file(state, path.data(), text.data(), length);
}

bool write_stat(const simulation &state, int process_index)
{
    const process_config &process = PROCESSES[static_cast<std::size_t>(process_index)];
    const double ticks = state.cpu_seconds[static_cast<std::size_t>(process_index)] * static_cast<double>(state.clock_ticks);
    const auto user_ticks = static_cast<long long>(ticks * 0.8);
    const auto system_ticks = static_cast<long long>(ticks) - user_ticks;
    std::array<char, TEXT_SIZE> text{};
    std::size_t length = 0;
    append(text, length, "%d (%s) S %d %d %d 0 -1 4194560 51234 0 12 0 %lld %lld 0 0 20 0 6 0 4211 ", process.pid,
           process.name, process.parent_pid, process.pid, process.parent_pid, user_ticks, system_ticks);
    append(text, length, "%s", "912347136 24501 18446744073709551615 1 1 0 0 0 0 0 4096 17663 0 0 0 17 2 0 0 0 0 0 "
                               "0 0 0 0 0 0 0\n");
    std::array<char, PATH_SIZE> path{};
    return format_path(path, "proc", "%d/stat", process.pid) && replace_file(state, path.data(), text.data(), length);
}

bool write_gpu_stats(const simulation &state)
{
    std::array<char, TEXT_SIZE> text{};
    std::size_t length = 0;
    append(text, length, "%s", "queue\ttimestamp\tjobs\truntime\n");
    for (int queue = 0; queue < QUEUE_COUNT; ++queue) {
        const auto index = static_cast<std::size_t>(queue);
        append(text, length, "%s\t%lld\t%lld\t%lld\n", QUEUE_NAMES[index], static_cast<long long>(state.last_ns),
               static_cast<long long>(state.queue_jobs[index]),
               static_cast<long long>(state.queue_busy_ns[index]));
    }
    return rewrite_file(state, "sys/class/drm/card0/device/gpu_stats", text.data(), length);
}

bool remove_file(const simulation &state, const char *relative_path)
{
    std::array<char, PATH_SIZE> path{};
    return tree_path(path, state, relative_path) && (::unlink(path.data()) == 0 || errno == ENOENT);
}

constexpr const char *RENDER_NODE = "dev/dri/renderD128";
constexpr const char *VC4_NODE = "dev/dri/card1";

// proc/<pid>/fd/<fd> as a link to `target` (a path in the tree when
// `in_tree`), when the tree has fd/ folders.
bool link_descriptor(const simulation &state, int pid, int fd, const char *target, bool in_tree)
{
    if (!state.descriptor_links) {
        return true;
    }
    std::array<char, PATH_SIZE> link{};
    std::array<char, PATH_SIZE> absolute{};
    if (!format_path(link, state.tree.data(), "proc/%d/fd/%d", pid, fd) ||
        (in_tree && !tree_path(absolute, state, target))) {
        errno = ENAMETOOLONG;
        return false;
    }
    return ::symlink(in_tree ? absolute.data() : target, link.data()) == 0 || errno == EEXIST;
}

bool unlink_descriptor(const simulation &state, int pid, int fd)
{
    std::array<char, PATH_SIZE> path{};
    return !state.descriptor_links || (format_path(path, "proc", "%d/fd/%d", pid, fd) && remove_file(state, path.data()));
}

// The device nodes the fd/ links lead to, on the tree's tmpfs; false where
// they cannot be made (not root), and the tree then has no fd/ folders.
bool make_device_nodes(const simulation &state)
{
    constexpr unsigned DRM_MAJOR = 226;
    std::array<char, PATH_SIZE> render{};
    std::array<char, PATH_SIZE> vc4{};
    return tree_path(render, state, RENDER_NODE) && tree_path(vc4, state, VC4_NODE) &&
           ::mknod(render.data(), S_IFCHR | 0666, makedev(DRM_MAJOR, 128)) == 0 &&
           ::mknod(vc4.data(), S_IFCHR | 0666, makedev(DRM_MAJOR, 1)) == 0;
}

// Writes (or, for a closed client, removes) every descriptor of the client.
bool write_client(const simulation &state, int client_index)
{
    const client_config &config = CLIENTS[static_cast<std::size_t>(client_index)];
    const bool open = state.clients[static_cast<std::size_t>(client_index)].open;
    bool written = true;
    for (const int process : {config.process, config.sharing_process}) {
        if (process < 0) {
            continue;
        }
        for (const int fd : config.fds) {
            if (fd == 0) {
                continue;
            }
            const int pid = PROCESSES[static_cast<std::size_t>(process)].pid;
            if (open) {
                written = write_v3d_fdinfo(state, client_index, process, fd) &&
                          link_descriptor(state, pid, fd, RENDER_NODE, true) && written;
            } else {
                std::array<char, PATH_SIZE> path{};
                written = unlink_descriptor(state, pid, fd) && format_path(path, "proc", "%d/fdinfo/%d", pid, fd) &&
                          empty_file(state, path.data()) && remove_file(state, path.data()) && written;
            }
        }
    }
    return written;
}

bool make_directory(const simulation &state, const char *relative_path)
{
    std::array<char, PATH_SIZE> path{};
    return tree_path(path, state, relative_path) && (::mkdir(path.data(), 0755) == 0 || errno == EEXIST);
}

// The files that never change: the names, the standard descriptors, the vc4 file.
bool lay_out_tree(simulation &state)
{
    bool made = make_directory(state, "staging") && make_directory(state, "proc") && make_directory(state, "sys") &&
                make_directory(state, "dev") && make_directory(state, "dev/dri") &&
                make_directory(state, "sys/class") && make_directory(state, "sys/class/drm") &&
                make_directory(state, "sys/class/drm/card0") && make_directory(state, "sys/class/drm/card0/device") &&
                make_directory(state, "sys/class/drm/card1") && make_directory(state, "sys/class/drm/card1/device");
    state.descriptor_links = made && make_device_nodes(state);
    constexpr const char *STANDARD_FDINFO = "pos:\t0\nflags:\t02\nmnt_id:\t26\nino:\t5\n";
    constexpr const char *EVENTFD_FDINFO = "pos:\t0\nflags:\t02004002\nmnt_id:\t16\nino:\t1057\neventfd-count:  "
                                           "0\neventfd-id: 12\n";
    for (int index = 0; index < PROCESS_COUNT && made; ++index) {
        const process_config &process = PROCESSES[static_cast<std::size_t>(index)];
        std::array<char, PATH_SIZE> path{};
        made = format_path(path, "proc", "%d", process.pid) && make_directory(state, path.data()) &&
               format_path(path, "proc", "%d/fdinfo", process.pid) && make_directory(state, path.data());
        std::array<char, TEXT_SIZE> name{};
        const int name_length = std::snprintf(name.data(), name.size(), "%s\n", process.name);
        made = made && format_path(path, "proc", "%d/comm", process.pid) &&
               replace_file(state, path.data(), name.data(), static_cast<std::size_t>(name_length));
        if (state.descriptor_links) {
            made = made && format_path(path, "proc", "%d/fd", process.pid) && make_directory(state, path.data());
        }
        for (int fd = 0; fd < 3 && made; ++fd) {
            made = format_path(path, "proc", "%d/fdinfo/%d", process.pid, fd) &&
                   replace_file(state, path.data(), STANDARD_FDINFO, std::strlen(STANDARD_FDINFO)) &&
                   link_descriptor(state, process.pid, fd, "/dev/null", false);
        }
        made = made && format_path(path, "proc", "%d/fdinfo/%d", process.pid, 3) &&
               replace_file(state, path.data(), EVENTFD_FDINFO, std::strlen(EVENTFD_FDINFO)) &&
               link_descriptor(state, process.pid, 3, "anon_inode:[eventfd]", false);
    }
    // The compositor's display file belongs to another DRM driver.
    constexpr const char *VC4_FDINFO = "pos:\t0\nflags:\t02100002\nmnt_id:\t25\nino:\t498\ndrm-driver:\tvc4\n"
                                       "drm-client-id:\t90\ndrm-total-memory:\t20480 KiB\n"
                                       "drm-shared-memory:\t16384 KiB\ndrm-resident-memory:\t20480 KiB\n";
    return made && replace_file(state, "proc/812/fdinfo/7", VC4_FDINFO, std::strlen(VC4_FDINFO)) &&
           link_descriptor(state, 812, 7, VC4_NODE, true);
}

// What a client asks of each queue at one moment: per cent and job length.
struct queue_demand {
    std::array<double, QUEUE_COUNT> percent{};
    std::array<double, QUEUE_COUNT> job_ns{};
};

queue_demand client_demand(const client_config &config, int index, double seconds)
{
    queue_demand demand;
    const std::array<std::pair<int, const engine_load *>, 4> engines = {
        {{QUEUE_RENDER, &config.render}, {QUEUE_BIN, &config.bin}, {QUEUE_TFU, &config.tfu}, {QUEUE_CSD, &config.csd}}};
    const bool stuttering = in_burst(config.stutter, seconds);
    for (const auto &[queue, load] : engines) {
        const auto slot = static_cast<std::size_t>(queue);
        demand.percent[slot] = current_load(config, *load, seconds, index * 3 + queue);
        demand.job_ns[slot] = static_cast<double>(JOB_NS[slot]) * config.job_scale;
        if (stuttering && queue == QUEUE_RENDER) {
            demand.percent[slot] = config.stutter.render;
            demand.job_ns[slot] = static_cast<double>(config.stutter.job_ns);
        }
    }
    return demand;
}

// The clients that tools/simulated_client runs, registered in the tree's
// proc/.simulated-clients/: each keeps render 40 % busy in jobs of 4 ms and
// bin 10 % in jobs of 1 ms, which gpu_stats counts too.
constexpr double ADDED_RENDER = 40.0;
constexpr double ADDED_BIN = 10.0;
constexpr std::array<double, QUEUE_COUNT> ADDED_JOB_NS = {1'000'000, 4'000'000, 1, 1, 1, 1};

int added_clients(const simulation &state)
{
    std::array<char, PATH_SIZE> path{};
    if (!tree_path(path, state, "proc/.simulated-clients")) {
        return 0;
    }
    DIR *const folder = ::opendir(path.data());
    int count = 0;
    for (const dirent *entry = folder != nullptr ? ::readdir(folder) : nullptr; entry != nullptr;
         entry = ::readdir(folder)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
    }
    if (folder != nullptr) {
        ::closedir(folder);
    }
    return count;
}

// Moves the simulation on to `now_ns` and rewrites what changed.
bool advance(simulation &state, std::int64_t now_ns)
{
    const double seconds = static_cast<double>(now_ns - state.start_ns) / 1e9;
    const double step_ns = static_cast<double>(now_ns - state.last_ns);
    state.last_ns = now_ns;
    std::array<queue_demand, CLIENT_COUNT> demands{};
    std::array<bool, CLIENT_COUNT> was_open{};
    // A queue runs one job at a time: when the clients ask for more than all
    // of it, each gets its share of it.
    std::array<double, QUEUE_COUNT> asked{};
    const bool quiet = std::fmod(seconds, QUIET_PERIOD_SECONDS) >= QUIET_FROM_SECONDS;
    const bool unseen = !quiet && in_burst(UNSEEN_WORK, seconds);
    const int added = added_clients(state);
    asked[QUEUE_RENDER] = (unseen ? UNSEEN_WORK.render : 0.0) + ADDED_RENDER * added;
    asked[QUEUE_BIN] = ADDED_BIN * added;
    for (int index = 0; index < CLIENT_COUNT; ++index) {
        const auto slot = static_cast<std::size_t>(index);
        const client_config &config = CLIENTS[slot];
        client_state &client = state.clients[slot];
        const bool open = config.kind != behaviour::comes_and_goes || is_active(config, seconds);
        if (open && !client.open) {
            // A newly opened DRM file gets a new id and starts from nothing.
            const int openings = client.openings + 1;
            client = client_state{};
            client.openings = openings;
            client.client_id = openings == 1 ? config.first_client_id : state.next_client_id++;
        }
        was_open[slot] = client.open;
        client.open = open;
        if (open && !quiet) {
            demands[slot] = client_demand(config, index, seconds);
            for (std::size_t queue = 0; queue < asked.size(); ++queue) {
                asked[queue] += demands[slot].percent[queue];
            }
        }
    }
    std::array<double, QUEUE_COUNT> share{};
    for (std::size_t queue = 0; queue < share.size(); ++queue) {
        share[queue] = asked[queue] > 100.0 ? 100.0 / asked[queue] : 1.0;
    }

    const auto run = [&state, step_ns, &share](std::size_t queue, double percent, double job_ns, client_state *client) {
        const auto busy = static_cast<std::int64_t>(std::llround(percent * share[queue] / 100.0 * step_ns));
        const double jobs = static_cast<double>(busy) / job_ns;
        state.queue_busy_ns[queue] += busy;
        state.queue_jobs[queue] += jobs;
        if (client != nullptr) {
            client->busy_ns[queue] += busy;
            client->jobs[queue] += jobs;
        }
        return percent * share[queue];
    };
    std::array<double, PROCESS_COUNT> gpu_load{};
    bool written = true;
    for (int index = 0; index < CLIENT_COUNT; ++index) {
        const auto slot = static_cast<std::size_t>(index);
        const client_config &config = CLIENTS[slot];
        client_state &client = state.clients[slot];
        // A shared client's work is driven by the process it was passed to.
        const int driver = config.sharing_process >= 0 ? config.sharing_process : config.process;
        for (std::size_t queue = 0; client.open && queue < share.size(); ++queue) {
            if (demands[slot].percent[queue] > 0.0) {
                gpu_load[static_cast<std::size_t>(driver)] +=
                    run(queue, demands[slot].percent[queue], demands[slot].job_ns[queue], &client);
            }
        }
        if (client.open || was_open[slot]) {
            written = write_client(state, index) && written;
        }
    }
    if (unseen) {
        run(QUEUE_RENDER, UNSEEN_WORK.render, static_cast<double>(UNSEEN_WORK.job_ns), nullptr);
    }
    for (int client = 0; client < added; ++client) {
        run(QUEUE_RENDER, ADDED_RENDER, ADDED_JOB_NS[QUEUE_RENDER], nullptr);
        run(QUEUE_BIN, ADDED_BIN, ADDED_JOB_NS[QUEUE_BIN], nullptr);
    }
    for (int index = 0; index < PROCESS_COUNT; ++index) {
        const auto slot = static_cast<std::size_t>(index);
        const double percent = PROCESSES[slot].cpu_base + PROCESSES[slot].cpu_factor * gpu_load[slot];
        state.cpu_seconds[slot] += percent / 100.0 * step_ns / 1e9;
        written = write_stat(state, index) && written;
    }
    const bool gpu_busy = std::any_of(asked.begin(), asked.end(), [](double percent) { return percent > 0.0; });
    return advance_conditions(state.tree.data(), state.conditions, seconds, step_ns / 1e6, gpu_busy) &&
           write_gpu_stats(state) && written;
}

bool is_usable_tmpfs(const char *directory)
{
    struct statfs file_system {};
    return directory != nullptr && directory[0] != '\0' && ::statfs(directory, &file_system) == 0 &&
           file_system.f_type == TMPFS_MAGIC && ::access(directory, W_OK | X_OK) == 0;
}

// Makes the tree's directory: on tmpfs where there is one, since the files
// are rewritten two hundred times a second.
bool make_tree_directory(simulation &state)
{
    const char *temporary = std::getenv("TMPDIR");
    std::array<char, PATH_SIZE> user_runtime{};
    if (std::snprintf(user_runtime.data(), user_runtime.size(), "/run/user/%u", static_cast<unsigned>(::getuid())) < 0) {
        user_runtime[0] = '\0';
    }
    const char *parent = "/tmp";
    // NOLINTNEXTLINE(bugprone-branch-clone): a list of preferences, so TMPDIR comes twice
    if (is_usable_tmpfs(temporary)) {
        parent = temporary;
    } else if (is_usable_tmpfs("/dev/shm")) {
        parent = "/dev/shm";
    } else if (is_usable_tmpfs(user_runtime.data())) {
        parent = user_runtime.data();
    } else if (temporary != nullptr && temporary[0] != '\0') {
        parent = temporary;
    }
    const int length = std::snprintf(state.tree.data(), state.tree.size(), "%s/v3dwatch-gpu.XXXXXX", parent);
    return length > 0 && static_cast<std::size_t>(length) < state.tree.size() && ::mkdtemp(state.tree.data()) != nullptr;
}

int remove_entry(const char *path, const struct stat *, int, FTW *)
{
    return std::remove(path) == 0 ? 0 : -1;
}

void remove_tree(const simulation &state)
{
    ::nftw(state.tree.data(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

void install_stop_signals()
{
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // no SA_RESTART: a signal cuts the sleep short
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // Ctrl-\ in the terminal it shares must not leave the tree behind either.
    sigaction(SIGQUIT, &action, nullptr);
    // A reader that went away must not kill us before the tree is removed.
    (void)std::signal(SIGPIPE, SIG_IGN); // cannot fail for a valid signal
}

} // namespace

int main(int argc, char **argv)
{
    if (argc > 1) {
        // Messages that cannot be written have nowhere better to go; the exit status tells.
        (void)std::fprintf(stderr, "usage: %s\n", argv[0]);
        return 2;
    }
    install_stop_signals();
    // Whoever started us (a script, a shell) may die without telling us.
    const pid_t starter = ::getppid();
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != starter) {
        return 1;
    }

    static simulation state;
    const long ticks = ::sysconf(_SC_CLK_TCK);
    state.clock_ticks = ticks > 0 ? ticks : 100;
    if (!make_tree_directory(state)) {
        (void)std::fprintf(stderr, "gpu_simulator: cannot make the tree's directory: %s\n", std::strerror(errno));
        return 1;
    }
    for (int index = 0; index < PROCESS_COUNT; ++index) {
        state.cpu_seconds[static_cast<std::size_t>(index)] = PROCESSES[static_cast<std::size_t>(index)].cpu_seconds_at_start;
    }
    for (int index = 0; index < CLIENT_COUNT; ++index) {
        const client_config &config = CLIENTS[static_cast<std::size_t>(index)];
        client_state &client = state.clients[static_cast<std::size_t>(index)];
        client.open = config.kind != behaviour::comes_and_goes;
        client.openings = client.open ? 1 : 0;
        client.client_id = config.first_client_id;
        // The history splits like the mean loads, so that the totals look lived in.
        const double total = config.render.mean + config.bin.mean + config.tfu.mean;
        if (total > 0.0) {
            client.busy_ns[QUEUE_RENDER] = static_cast<std::int64_t>(static_cast<double>(config.history_ns) * config.render.mean / total);
            client.busy_ns[QUEUE_BIN] = static_cast<std::int64_t>(static_cast<double>(config.history_ns) * config.bin.mean / total);
            client.busy_ns[QUEUE_TFU] = static_cast<std::int64_t>(static_cast<double>(config.history_ns) * config.tfu.mean / total);
        }
        for (int queue = 0; queue < QUEUE_COUNT; ++queue) {
            const auto slot = static_cast<std::size_t>(queue);
            client.jobs[slot] = std::floor(static_cast<double>(client.busy_ns[slot]) /
                                           (static_cast<double>(JOB_NS[slot]) * config.job_scale));
            state.queue_busy_ns[slot] += client.busy_ns[slot];
            state.queue_jobs[slot] += client.jobs[slot];
        }
    }
    // Ids that later clients get lie past the fixed ones, as the kernel's grow.
    state.next_client_id = 101;
    state.start_ns = clock_ns();
    state.last_ns = state.start_ns;

    bool healthy = lay_out_tree(state) && lay_out_conditions(state.tree.data()) && advance(state, clock_ns());
    if (healthy) {
        healthy = std::printf("%s\n", state.tree.data()) > 0 && std::fflush(stdout) == 0;
    } else {
        (void)std::fprintf(stderr, "gpu_simulator: cannot write the tree %s: %s\n", state.tree.data(), std::strerror(errno));
    }
    // Updates fall on a fixed grid, so that a reader sampling as often sees
    // the counters move between any two of its samples, not now and then twice.
    timespec due{};
    clock_gettime(CLOCK_MONOTONIC, &due);
    while (healthy && stop_requested == 0) {
        timespec now{};
        clock_gettime(CLOCK_MONOTONIC, &now);
        do {
            due.tv_nsec += UPDATE_INTERVAL_NS;
            if (due.tv_nsec >= 1'000'000'000) {
                due.tv_nsec -= 1'000'000'000;
                ++due.tv_sec;
            }
        } while (due.tv_sec < now.tv_sec || (due.tv_sec == now.tv_sec && due.tv_nsec <= now.tv_nsec));
        ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &due, nullptr);
        if (stop_requested != 0) {
            break;
        }
        if (!advance(state, clock_ns())) {
            (void)std::fprintf(stderr, "gpu_simulator: cannot update the tree %s: %s\n", state.tree.data(),
                               std::strerror(errno));
            healthy = false;
        }
    }
    remove_tree(state);
    return healthy ? 0 : 1;
}
