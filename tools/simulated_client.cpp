// A V3D client of its own pid in the simulated GPU, to try `v3dwatch --
// COMMAND` without a V3D: run as v3dwatch's command over the simulated tree
// (inside fake_kernel_run, where /proc is the tree's), it lays out its own
// /proc/<pid>/comm, stat (its real parent as ppid) and a DRM fdinfo file, and
// keeps a known load for the seconds it is given: render 40 % in 100 jobs a
// second, bin 10 %. It registers in /proc/.simulated-clients/<pid>, where the
// simulator finds it and counts the same load in gpu_stats. At the end it
// removes its entries and exits 0.
//
//   simulated_client [SECONDS]   (default 5)
#include <array>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t TEXT_SIZE = 2048;
constexpr std::int64_t STEP_NS = 10'000'000;
constexpr double RENDER_SHARE = 0.40;
constexpr double BIN_SHARE = 0.10;
constexpr double RENDER_JOBS_PER_SECOND = 100.0;
constexpr double BIN_JOBS_PER_SECOND = 100.0;
constexpr int DRM_FD = 5;
constexpr int CLIENT_ID = 900;
constexpr const char *NAME = "sim-client";

// The simulator's clock: the kernel's stands apart from CLOCK_MONOTONIC.
std::int64_t clock_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_RAW, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// One write at offset 0 and the length cut to the text's, as the kernel's
// files change under a reader that holds them.
bool write_in_place(const char *path, const char *text, int length)
{
    const int fd = ::open(path, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0 || length < 0) {
        return false;
    }
    const bool written = ::pwrite(fd, text, static_cast<std::size_t>(length), 0) == length &&
                         ::ftruncate(fd, length) == 0;
    return ::close(fd) == 0 && written;
}

struct client_paths {
    std::array<char, 64> folder{};
    std::array<char, 64> fdinfo_folder{};
    std::array<char, 64> comm{};
    std::array<char, 64> stat{};
    std::array<char, 64> fdinfo{};
    std::array<char, 64> registration{};
};

bool make_paths(client_paths &paths, int pid)
{
    return std::snprintf(paths.folder.data(), paths.folder.size(), "/proc/%d", pid) > 0 &&
           std::snprintf(paths.fdinfo_folder.data(), paths.fdinfo_folder.size(), "/proc/%d/fdinfo", pid) > 0 &&
           std::snprintf(paths.comm.data(), paths.comm.size(), "/proc/%d/comm", pid) > 0 &&
           std::snprintf(paths.stat.data(), paths.stat.size(), "/proc/%d/stat", pid) > 0 &&
           std::snprintf(paths.fdinfo.data(), paths.fdinfo.size(), "/proc/%d/fdinfo/%d", pid, DRM_FD) > 0 &&
           std::snprintf(paths.registration.data(), paths.registration.size(), "/proc/.simulated-clients/%d",
                         pid) > 0;
}

// Its stat line: its real parent, and its own CPU time in clock ticks.
bool write_stat(const client_paths &paths, int pid, int parent)
{
    rusage usage{};
    (void)::getrusage(RUSAGE_SELF, &usage);
    const long ticks_per_second = ::sysconf(_SC_CLK_TCK) > 0 ? ::sysconf(_SC_CLK_TCK) : 100;
    const auto ticks = [ticks_per_second](const timeval &time) {
        return static_cast<long long>(time.tv_sec) * ticks_per_second +
               static_cast<long long>(time.tv_usec) * ticks_per_second / 1'000'000;
    };
    std::array<char, TEXT_SIZE> text{};
    const int length = std::snprintf(text.data(), text.size(),
                                     "%d (%s) S %d %d %d 0 -1 4194560 100 0 0 0 %lld %lld 0 0 20 0 1 0 5000 "
                                     "10000000 300 18446744073709551615 1 1 0 0 0 0 0 0 0 0 0 0 17 1 0 0 0 0 0\n",
                                     pid, NAME, parent, pid, parent, ticks(usage.ru_utime), ticks(usage.ru_stime));
    return write_in_place(paths.stat.data(), text.data(), length);
}

// Its DRM file after `elapsed_ns` of its load.
bool write_fdinfo(const client_paths &paths, std::int64_t elapsed_ns)
{
    const double seconds = static_cast<double>(elapsed_ns) / 1e9;
    const auto render_ns = static_cast<long long>(static_cast<double>(elapsed_ns) * RENDER_SHARE);
    const auto bin_ns = static_cast<long long>(static_cast<double>(elapsed_ns) * BIN_SHARE);
    std::array<char, TEXT_SIZE> text{};
    const int length =
        std::snprintf(text.data(), text.size(),
                      "pos:\t0\nflags:\t02100002\nmnt_id:\t25\nino:\t900\ndrm-driver:\tv3d\ndrm-client-id:\t%d\n"
                      "drm-engine-bin: \t%lld ns\nv3d-jobs-bin: \t%lld jobs\n"
                      "drm-engine-render: \t%lld ns\nv3d-jobs-render: \t%lld jobs\n"
                      "drm-engine-tfu: \t0 ns\nv3d-jobs-tfu: \t0 jobs\ndrm-engine-csd: \t0 ns\nv3d-jobs-csd: \t0 jobs\n"
                      "drm-engine-cache_clean: \t0 ns\nv3d-jobs-cache_clean: \t0 jobs\n"
                      "drm-engine-cpu: \t0 ns\nv3d-jobs-cpu: \t0 jobs\n"
                      "drm-total-memory:\t8192 KiB\ndrm-shared-memory:\t0 KiB\ndrm-resident-memory:\t8192 KiB\n",
                      CLIENT_ID, bin_ns, static_cast<long long>(seconds * BIN_JOBS_PER_SECOND), render_ns,
                      static_cast<long long>(seconds * RENDER_JOBS_PER_SECOND));
    return write_in_place(paths.fdinfo.data(), text.data(), length);
}

void remove_entries(const client_paths &paths)
{
    (void)::unlink(paths.registration.data());
    (void)write_in_place(paths.fdinfo.data(), "", 0); // a held descriptor reads nothing more
    (void)::unlink(paths.fdinfo.data());
    (void)::unlink(paths.comm.data());
    (void)::unlink(paths.stat.data());
    (void)::rmdir(paths.fdinfo_folder.data());
    (void)::rmdir(paths.folder.data());
}

} // namespace

int main(int argc, char **argv)
{
    char *unparsed = nullptr;
    const double seconds = argc > 1 ? std::strtod(argv[1], &unparsed) : 5.0;
    if (argc > 2 || (argc > 1 && *unparsed != '\0') || !(seconds > 0.0)) {
        (void)std::fprintf(stderr, "usage: %s [SECONDS]\n", argv[0]);
        return 2;
    }
    const int pid = ::getpid();
    const int parent = ::getppid();
    client_paths paths;
    const std::array<char, 16> comm = {'s', 'i', 'm', '-', 'c', 'l', 'i', 'e', 'n', 't', '\n'};
    const bool laid_out = make_paths(paths, pid) && (::mkdir("/proc/.simulated-clients", 0755) == 0 || errno == EEXIST) &&
                          ::mkdir(paths.folder.data(), 0755) == 0 && ::mkdir(paths.fdinfo_folder.data(), 0755) == 0 &&
                          write_in_place(paths.comm.data(), comm.data(), static_cast<int>(std::strlen(comm.data()))) &&
                          write_stat(paths, pid, parent) && write_fdinfo(paths, 0);
    if (!laid_out) {
        (void)std::fprintf(stderr, "simulated_client: cannot lay out /proc/%d (is this the simulated GPU's /proc?): %s\n",
                           pid, std::strerror(errno));
        remove_entries(paths);
        return 1;
    }
    // Registered last, so that the simulator counts only a client that is there.
    (void)write_in_place(paths.registration.data(), "", 0);
    const std::int64_t start = clock_ns();
    const auto end = start + static_cast<std::int64_t>(seconds * 1e9);
    for (std::int64_t now = start; now < end; now = clock_ns()) {
        const timespec pause{0, STEP_NS};
        (void)::nanosleep(&pause, nullptr);
        (void)write_fdinfo(paths, std::min(clock_ns(), end) - start);
        (void)write_stat(paths, pid, parent);
    }
    remove_entries(paths);
    return 0;
}
