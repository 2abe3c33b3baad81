// The real program in CSV mode over a fake kernel full of hostile text: huge
// files, huge lines, NUL bytes, a name of 0xFF bytes, 40-digit numbers, a
// statistics file without its last newline, an overlong stat line. It must
// keep running pass after pass, within bounded memory, and list only the
// valid clients.
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "end_to_end/program_run.hpp"
#include "support/kernel_tree.hpp"

namespace {

// Sanitizers map shadow memory and keep their own tables, so a bound for them
// says less; the growth check below holds in both builds.
#ifdef V3DWATCH_SANITIZED
constexpr long MEMORY_BOUND_KIB = 256 * 1024;
#else
constexpr long MEMORY_BOUND_KIB = 16 * 1024;
#endif
constexpr long MEMORY_GROWTH_BOUND_KIB = 2 * 1024;
// A guard against a hang only, far beyond the second that a pass takes.
constexpr auto OUTPUT_LIMIT = std::chrono::seconds(60);
constexpr std::size_t FRAMES_TO_SEE = 5;

const std::string FORTY_DIGITS = "1234567890123456789012345678901234567890";

struct expected_client {
    int pid;
    std::string name;
};

std::map<int, expected_client> build_hostile_kernel(const kernel_tree &tree)
{
    std::map<int, expected_client> expected;

    // A plain client beside the hostile ones.
    tree.write("proc/100/fdinfo/3", kernel_tree::v3d_fdinfo(1, 1000, 0, 0));
    tree.write("proc/100/comm", "plain\n");
    tree.write("proc/100/stat", kernel_tree::stat_line(100, "plain", 10, 10));
    expected[1] = {100, "plain"};

    // A 1 MiB fdinfo file, its DRM keys only at the end.
    {
        std::string text = "pos:\t0\nflags:\t02\nmnt_id:\t15\nino:\t1057\n";
        while (text.size() < 1024 * 1024) {
            text += "tfd:       12 events:       19 data:                c  pos:0 ino:2f1 sdev:f\n";
        }
        text += kernel_tree::v3d_fdinfo(2, 5, 5, 5);
        tree.write("proc/101/fdinfo/3", text);
        tree.write("proc/101/comm", "huge_fdinfo\n");
        expected[2] = {101, "huge_fdinfo"};
    }

    // Lines of 10,000 characters around the keys; a client id whose line is
    // 10,000 digits long is no valid id.
    {
        const std::string junk(10000, 'x');
        const std::string spaces(10000, ' ');
        tree.write("proc/102/fdinfo/3", junk + "\n" + kernel_tree::v3d_fdinfo(3, 7, 0, 0) + spaces + "\n" + junk);
        tree.write("proc/102/fdinfo/4", kernel_tree::v3d_fdinfo(30, 7, 0, 0) + "drm-client-id:\t" + std::string(9985, '9') + "\n");
        tree.write("proc/102/comm", "long_lines\n");
        tree.write("proc/102/stat", kernel_tree::stat_line(102, junk, 1, 1));
        expected[3] = {102, "long_lines"};
    }

    // NUL bytes in the middle of the files: a line ends for the reader at its NUL.
    {
        using namespace std::string_literals;
        tree.write("proc/103/fdinfo/3",
                        "pos:\t0\ndrm-driver:\tv3d\ndrm-client-id:\t4\0\0 77\ndrm-engine-render: \t50\0 ns\n"s);
        tree.write("proc/103/fdinfo/4",
                        "pos:\t0\ndrm-dri\0ver:\tv3d\ndrm-client-id:\t40\ndrm-engine-render: \t50 ns\n"s);
        tree.write("proc/103/comm", "nul\0name\n"s);
        tree.write("proc/103/stat", "103 (nul\0name) S 1 1 1 0 -1 0 0 0 0 0 1\0 1 0\n"s);
        expected[4] = {103, "nul"};
    }

    // A name of 63 bytes of 0xFF, none part of a UTF-8 character: the
    // longest name the CSV can be given, each byte written as U+FFFD.
    {
        const std::string name(63, '\xFF');
        tree.write("proc/104/fdinfo/3", kernel_tree::v3d_fdinfo(5, 1, 2, 3));
        tree.write("proc/104/comm", name + "\n");
        tree.write("proc/104/stat", kernel_tree::stat_line(104, name, 1, 1));
        std::string replaced;
        for (int count = 0; count < 63; ++count) {
            replaced += "\xEF\xBF\xBD";
        }
        expected[5] = {104, replaced};
    }

    // Numbers of 40 digits: an id beyond 32 bits is no id, engine and CPU
    // values saturate, a pid beyond 32 bits is no process.
    {
        std::string id_text = kernel_tree::v3d_fdinfo(12345, 1, 1, 1);
        id_text.replace(id_text.find("12345"), 5, FORTY_DIGITS);
        tree.write("proc/105/fdinfo/3", id_text);
        tree.write("proc/105/fdinfo/4",
                        "drm-driver:\tv3d\ndrm-client-id:\t6\ndrm-engine-render: \t" + FORTY_DIGITS +
                            " ns\ndrm-engine-tfu: \t-" + FORTY_DIGITS + " ns\n");
        tree.write("proc/105/comm", "forty_digits\n");
        tree.write("proc/105/stat",
                        "105 (forty_digits) S 1 1 1 0 -1 0 0 0 0 0 " + FORTY_DIGITS + " " + FORTY_DIGITS + "\n");
        tree.write("proc/" + FORTY_DIGITS + "/fdinfo/3", kernel_tree::v3d_fdinfo(7, 1, 1, 1));
        expected[6] = {105, "forty_digits"};
    }

    // A stat line and a name of 5,000 characters: the line is cut before its ')'.
    {
        const std::string name(5000, 'c');
        tree.write("proc/106/fdinfo/3", kernel_tree::v3d_fdinfo(8, 9, 9, 9));
        tree.write("proc/106/comm", name + "\n");
        tree.write("proc/106/stat", kernel_tree::stat_line(106, name, 100, 100));
        expected[8] = {106, std::string(63, 'c')};
    }

    // The real rows, without the newline at the end of the file.
    tree.write("sys/class/drm/card0/device/gpu_stats",
                    "queue\ttimestamp\tjobs\truntime\nbin\t143762001928\t98\t4916187\n"
                    "render\t143762001928\t98\t154563573\ntfu\t143762001928\t1\t10574\n"
                    "csd\t143762001928\t0\t0\ncache_clean\t143762001928\t0\t0\ncpu\t143762001928\t0\t0");
    return expected;
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

// The distinct timestamps of the data lines, in order.
std::vector<std::string> frame_timestamps(const std::vector<std::string> &lines)
{
    std::vector<std::string> timestamps;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::vector<std::string> fields = split_csv_fields(lines[index]);
        if (!fields.empty() && (timestamps.empty() || timestamps.back() != fields[0])) {
            timestamps.push_back(fields[0]);
        }
    }
    return timestamps;
}

TEST(hostile_input, csv_mode_keeps_running_with_bounded_memory_and_only_valid_clients)
{
    REQUIRE_NAMESPACES();
    const kernel_tree tree;
    const std::map<int, expected_client> expected = build_hostile_kernel(tree);
    program_run run(tree, {"--csv"});

    // Reads until FRAMES_TO_SEE + 1 frames have begun, so that FRAMES_TO_SEE are whole.
    const auto deadline = std::chrono::steady_clock::now() + OUTPUT_LIMIT;
    long rss_early = -1;
    std::vector<std::string> lines;
    std::size_t frames_begun = 0;
    while (frames_begun <= FRAMES_TO_SEE && !run.output_ended() && std::chrono::steady_clock::now() < deadline) {
        lines = run.read_lines(lines.size() + 1, std::chrono::seconds(5));
        frames_begun = frame_timestamps(lines).size();
        if (frames_begun == 2 && rss_early < 0) {
            rss_early = status_kib(run.pid(), "VmRSS");
        }
    }
    const long high_water = status_kib(run.pid(), "VmHWM");
    const long rss_late = status_kib(run.pid(), "VmRSS");
    run.signal(SIGTERM);
    const int status = run.wait();
    const std::string errors = run.read_errors(std::chrono::seconds(1));

    ASSERT_GT(frames_begun, FRAMES_TO_SEE) << "the program stopped or stalled; standard error:\n" << errors;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status << " after SIGTERM";
    EXPECT_EQ(errors, "");

    EXPECT_EQ(lines[0], "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%");
    const std::vector<std::string> timestamps = frame_timestamps(lines);
    std::map<std::string, std::map<int, std::vector<std::string>>> frames;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::vector<std::string> fields = split_csv_fields(lines[index]);
        ASSERT_EQ(fields.size(), 8U) << "not a CSV row: " << lines[index];
        const int client_id = std::stoi(fields[1]);
        EXPECT_TRUE(frames[fields[0]].emplace(client_id, fields).second) << "client " << client_id << " twice in a frame";
    }
    for (std::size_t frame = 0; frame < FRAMES_TO_SEE; ++frame) {
        std::set<int> seen;
        for (const auto &[client_id, fields] : frames[timestamps[frame]]) {
            seen.insert(client_id);
            const auto wanted = expected.find(client_id);
            if (wanted == expected.end()) {
                ADD_FAILURE() << "frame " << frame << " lists client " << client_id << " of pid " << fields[2];
                continue;
            }
            EXPECT_EQ(fields[2], std::to_string(wanted->second.pid)) << "client " << client_id;
            EXPECT_EQ(fields[3], wanted->second.name) << "client " << client_id;
            // Saturated counters must still give plain, finite percentages.
            for (std::size_t column = 4; column < fields.size(); ++column) {
                char *end = nullptr;
                const double value = std::strtod(fields[column].c_str(), &end);
                EXPECT_TRUE(!fields[column].empty() && *end == '\0' && std::isfinite(value) && value >= 0.0)
                    << "client " << client_id << " column " << column << ": " << fields[column];
            }
        }
        EXPECT_EQ(seen.size(), expected.size()) << "frame " << frame;
    }

    EXPECT_GT(high_water, 0);
    EXPECT_LT(high_water, MEMORY_BOUND_KIB) << "peak resident memory in KiB";
    EXPECT_GT(rss_early, 0);
    EXPECT_LT(rss_late - rss_early, MEMORY_GROWTH_BOUND_KIB)
        << "resident memory grew from pass 2 to pass " << frames_begun << ", in KiB";
}

} // namespace
