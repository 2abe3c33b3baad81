// The real program in CSV mode over a fake kernel full of hostile text: huge
// files, huge lines, NUL bytes, a name of 0xFF bytes, 40-digit numbers, a
// statistics file without its last newline, an overlong stat line. It must
// keep running pass after pass, within bounded memory, and list only the
// valid clients.
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "fake_tree.hpp"

namespace {

constexpr int CANNOT_ISOLATE = 125;
// Sanitizers map shadow memory and keep their own tables, so a bound for them
// says less; the growth check below holds in both builds.
#ifdef V3DWATCH_SANITIZED
constexpr long MEMORY_BOUND_KIB = 256 * 1024;
// Inside the fake kernel the real /proc is hidden, and ASan warns that it
// cannot read its own path for symbols (see sanitizer_defaults.cpp).
constexpr const char *SANITIZER_WITHOUT_PROC = "reading executable name failed";
#else
constexpr long MEMORY_BOUND_KIB = 16 * 1024;
#endif
constexpr long MEMORY_GROWTH_BOUND_KIB = 2 * 1024;
// A guard against a hang only, far beyond the one second a pass takes.
constexpr int OUTPUT_DEADLINE_SECONDS = 60;
constexpr int FRAMES_TO_SEE = 5;

const std::string FORTY_DIGITS = "1234567890123456789012345678901234567890";

struct expected_client {
    int pid;
    std::string name;
};

std::map<int, expected_client> build_hostile_kernel(const fake_tree &tree)
{
    std::map<int, expected_client> expected;

    // A plain client beside the hostile ones.
    tree.write_file("proc/100/fdinfo/3", v3d_fdinfo(1, 1000, 0, 0));
    tree.write_file("proc/100/comm", "plain\n");
    tree.write_file("proc/100/stat", stat_line(100, "plain", 10, 10));
    expected[1] = {100, "plain"};

    // A 1 MiB fdinfo file, its DRM keys only at the end.
    {
        std::string text = "pos:\t0\nflags:\t02\nmnt_id:\t15\nino:\t1057\n";
        while (text.size() < 1024 * 1024) {
            text += "tfd:       12 events:       19 data:                c  pos:0 ino:2f1 sdev:f\n";
        }
        text += v3d_fdinfo(2, 5, 5, 5);
        tree.write_file("proc/101/fdinfo/3", text);
        tree.write_file("proc/101/comm", "huge_fdinfo\n");
        expected[2] = {101, "huge_fdinfo"};
    }

    // Lines of 10,000 characters around the keys; a client id whose line is
    // 10,000 digits long is no valid id.
    {
        const std::string junk(10000, 'x');
        const std::string spaces(10000, ' ');
        tree.write_file("proc/102/fdinfo/3", junk + "\n" + v3d_fdinfo(3, 7, 0, 0) + spaces + "\n" + junk);
        tree.write_file("proc/102/fdinfo/4", v3d_fdinfo(30, 7, 0, 0) + "drm-client-id:\t" + std::string(9985, '9') + "\n");
        tree.write_file("proc/102/comm", "long_lines\n");
        tree.write_file("proc/102/stat", stat_line(102, junk, 1, 1));
        expected[3] = {102, "long_lines"};
    }

    // NUL bytes in the middle of the files: a line ends for the reader at its NUL.
    {
        using namespace std::string_literals;
        tree.write_file("proc/103/fdinfo/3",
                        "pos:\t0\ndrm-driver:\tv3d\ndrm-client-id:\t4\0\0 77\ndrm-engine-render: \t50\0 ns\n"s);
        tree.write_file("proc/103/fdinfo/4",
                        "pos:\t0\ndrm-dri\0ver:\tv3d\ndrm-client-id:\t40\ndrm-engine-render: \t50 ns\n"s);
        tree.write_file("proc/103/comm", "nul\0name\n"s);
        tree.write_file("proc/103/stat", "103 (nul\0name) S 1 1 1 0 -1 0 0 0 0 0 1\0 1 0\n"s);
        expected[4] = {103, "nul"};
    }

    // A name of 63 bytes of 0xFF: not control bytes, so shown as they are.
    {
        const std::string name(63, '\xFF');
        tree.write_file("proc/104/fdinfo/3", v3d_fdinfo(5, 1, 2, 3));
        tree.write_file("proc/104/comm", name + "\n");
        tree.write_file("proc/104/stat", stat_line(104, name, 1, 1));
        expected[5] = {104, name};
    }

    // Numbers of 40 digits: an id beyond 32 bits is no id, engine and CPU
    // values saturate, a pid beyond 32 bits is no process.
    {
        std::string id_text = v3d_fdinfo(12345, 1, 1, 1);
        id_text.replace(id_text.find("12345"), 5, FORTY_DIGITS);
        tree.write_file("proc/105/fdinfo/3", id_text);
        tree.write_file("proc/105/fdinfo/4",
                        "drm-driver:\tv3d\ndrm-client-id:\t6\ndrm-engine-render: \t" + FORTY_DIGITS +
                            " ns\ndrm-engine-tfu: \t-" + FORTY_DIGITS + " ns\n");
        tree.write_file("proc/105/comm", "forty_digits\n");
        tree.write_file("proc/105/stat",
                        "105 (forty_digits) S 1 1 1 0 -1 0 0 0 0 0 " + FORTY_DIGITS + " " + FORTY_DIGITS + "\n");
        tree.write_file("proc/" + FORTY_DIGITS + "/fdinfo/3", v3d_fdinfo(7, 1, 1, 1));
        expected[6] = {105, "forty_digits"};
    }

    // A stat line and a name of 5,000 characters: the line is cut before its ')'.
    {
        const std::string name(5000, 'c');
        tree.write_file("proc/106/fdinfo/3", v3d_fdinfo(8, 9, 9, 9));
        tree.write_file("proc/106/comm", name + "\n");
        tree.write_file("proc/106/stat", stat_line(106, name, 100, 100));
        expected[8] = {106, std::string(63, 'c')};
    }

    // The real rows, without the newline at the end of the file.
    tree.write_file("sys/class/drm/card0/device/gpu_stats",
                    "queue\ttimestamp\tjobs\truntime\nbin\t143762001928\t98\t4916187\n"
                    "render\t143762001928\t98\t154563573\ntfu\t143762001928\t1\t10574\n"
                    "csd\t143762001928\t0\t0\ncache_clean\t143762001928\t0\t0\ncpu\t143762001928\t0\t0");
    return expected;
}

struct csv_row {
    std::string timestamp;
    int client_id = -1;
    int pid = -1;
    std::string name;
};

// Splits a data line; none of the names in this tree needs quoting.
bool parse_row(const std::string &line, csv_row &row)
{
    std::vector<std::string> fields;
    std::stringstream stream(line);
    for (std::string field; std::getline(stream, field, ',');) {
        fields.push_back(field);
    }
    if (fields.size() != 8) {
        return false;
    }
    row.timestamp = fields[0];
    row.client_id = std::atoi(fields[1].c_str());
    row.pid = std::atoi(fields[2].c_str());
    row.name = fields[3];
    return true;
}

long status_kib(pid_t pid, const std::string &key)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return std::atol(line.c_str() + key.size() + 1);
        }
    }
    return -1;
}

double now_seconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Waits for the child to end, killing it if it does not within the deadline.
int finish(pid_t child, int seconds)
{
    int status = 0;
    const double deadline = now_seconds() + seconds;
    while (::waitpid(child, &status, WNOHANG) == 0) {
        if (now_seconds() > deadline) {
            ::kill(child, SIGKILL);
            ::waitpid(child, &status, 0);
            return -1;
        }
        ::usleep(20000);
    }
    return status;
}

TEST(hostile_input, csv_mode_keeps_running_with_bounded_memory_and_only_valid_clients)
{
    const fake_tree tree;
    const std::map<int, expected_client> expected = build_hostile_kernel(tree);
    const std::string error_path = tree.path("stderr");

    int output[2];
    ASSERT_EQ(::pipe2(output, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::dup2(output[1], STDOUT_FILENO);
        const int error = ::open(error_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (error >= 0) {
            ::dup2(error, STDERR_FILENO);
        }
        const std::string root = tree.path();
        ::execl(FAKE_KERNEL_RUN_PROGRAM, FAKE_KERNEL_RUN_PROGRAM, root.c_str(), V3DWATCH_PROGRAM, "--csv",
                static_cast<char *>(nullptr));
        ::_exit(127);
    }
    ::close(output[1]);

    // Reads lines until FRAMES_TO_SEE + 1 distinct timestamps have begun, so
    // that FRAMES_TO_SEE frames are complete.
    std::vector<std::string> lines;
    std::vector<std::string> timestamps;
    std::string pending;
    long rss_early = -1;
    long rss_late = -1;
    bool ended = false;
    const double deadline = now_seconds() + OUTPUT_DEADLINE_SECONDS;
    while (timestamps.size() <= FRAMES_TO_SEE && now_seconds() < deadline) {
        pollfd ready{output[0], POLLIN, 0};
        if (::poll(&ready, 1, 500) <= 0) {
            continue;
        }
        char chunk[4096];
        const ssize_t got = ::read(output[0], chunk, sizeof chunk);
        if (got <= 0) {
            ended = true;
            break;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
            const std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            lines.push_back(line);
            csv_row row;
            if (parse_row(line, row) && lines.size() > 1 &&
                (timestamps.empty() || timestamps.back() != row.timestamp)) {
                timestamps.push_back(row.timestamp);
                if (timestamps.size() == 2) {
                    rss_early = status_kib(child, "VmRSS");
                }
            }
        }
    }
    const long high_water = status_kib(child, "VmHWM");
    rss_late = status_kib(child, "VmRSS");
    ::kill(child, SIGTERM);
    const int status = finish(child, 20);
    ::close(output[0]);

    if (ended && WIFEXITED(status) && WEXITSTATUS(status) == CANNOT_ISOLATE) {
        if (std::getenv("V3DWATCH_REQUIRE_NAMESPACES") != nullptr) {
            FAIL() << "no mount namespace for the fake kernel, and V3DWATCH_REQUIRE_NAMESPACES is set";
        }
        GTEST_SKIP() << "no mount namespace for the fake kernel here";
    }
    std::string errors;
    std::ifstream error_file(error_path);
    for (std::string line; std::getline(error_file, line);) {
#ifdef V3DWATCH_SANITIZED
        if (line.find(SANITIZER_WITHOUT_PROC) != std::string::npos) {
            continue;
        }
#endif
        errors += line + "\n";
    }

    ASSERT_FALSE(ended) << "the program ended early; standard error:\n" << errors;
    ASSERT_GT(timestamps.size(), static_cast<std::size_t>(FRAMES_TO_SEE))
        << "fewer than " << FRAMES_TO_SEE << " passes in " << OUTPUT_DEADLINE_SECONDS << " s";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "status " << status << " after SIGTERM; standard error:\n" << errors;
    EXPECT_EQ(errors, "");

    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%");
    std::map<std::string, std::map<int, csv_row>> frames;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        csv_row row;
        ASSERT_TRUE(parse_row(lines[index], row)) << "not a CSV row: " << lines[index];
        EXPECT_TRUE(frames[row.timestamp].emplace(row.client_id, row).second)
            << "client " << row.client_id << " twice in one frame";
    }
    for (std::size_t frame = 0; frame < FRAMES_TO_SEE; ++frame) {
        const std::map<int, csv_row> &rows = frames[timestamps[frame]];
        std::set<int> seen;
        for (const auto &[client_id, row] : rows) {
            seen.insert(client_id);
            const auto wanted = expected.find(client_id);
            if (wanted == expected.end()) {
                ADD_FAILURE() << "frame " << frame << " lists client " << client_id << " of pid " << row.pid;
                continue;
            }
            EXPECT_EQ(row.pid, wanted->second.pid) << "client " << client_id;
            EXPECT_EQ(row.name, wanted->second.name) << "client " << client_id;
        }
        EXPECT_EQ(seen.size(), expected.size()) << "frame " << frame;
    }

    EXPECT_GT(high_water, 0);
    EXPECT_LT(high_water, MEMORY_BOUND_KIB) << "peak resident memory in KiB";
    EXPECT_GT(rss_early, 0);
    EXPECT_LT(rss_late - rss_early, MEMORY_GROWTH_BOUND_KIB) << "resident memory grew from pass 2 to pass "
                                                              << FRAMES_TO_SEE + 1 << ", in KiB";
}

} // namespace
