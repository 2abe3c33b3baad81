// The metrics file of the real binary: the kernel's counters exactly, escaped
// labels, failures that leave nothing behind, and readers that never see half
// a file.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

#include "end_to_end/program_run.hpp"

namespace {

namespace fs = std::filesystem;

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<std::string> split_lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// Every entry of a folder, dot files included.
std::set<std::string> folder_entries(const std::string &folder)
{
    std::set<std::string> names;
    for (const fs::directory_entry &entry : fs::directory_iterator(folder)) {
        names.insert(entry.path().filename().string());
    }
    return names;
}

// The families in their order, each with its samples in any order: the
// census's order is the folder listing's, which the test does not choose.
struct family {
    std::string header;
    std::multiset<std::string> samples;
};

std::vector<family> group_families(const std::vector<std::string> &lines)
{
    std::vector<family> families;
    for (const std::string &line : lines) {
        if (line.starts_with("# HELP ")) {
            families.push_back({line, {}});
        } else if (line.starts_with("# TYPE ")) {
            families.back().header += "\n" + line;
        } else if (!families.empty()) {
            families.back().samples.insert(line);
        } else {
            families.push_back({"", {line}});
        }
    }
    return families;
}

const std::string GPU_STATS_HEADER = "queue\ttimestamp\tjobs\truntime\n";

TEST(prometheus_end_to_end, writes_the_kernel_counters_exactly_with_labels_escaped)
{
    REQUIRE_NAMESPACES();
    ASSERT_EQ(sysconf(_SC_CLK_TCK), 100) << "the CPU seconds below are worked out for 100 ticks a second";
    kernel_tree tree;
    // A card directory and a process name with every character a label must escape.
    tree.write("sys/class/drm/card\"\\\n1/device/gpu_stats",
               GPU_STATS_HEADER + "bin\t5000\t12\t1500000000\nrender\t5000\t7\t9223372036854775807\n"
                                  "tfu\t5000\t0\t0\ncsd\t5000\t-1\t-25\ncache_clean\t5000\t3\t999999999\n"
                                  "cpu\t5000\t2\t1000000001\n");
    tree.add_process(100, "game", 500, 134);
    tree.add_v3d_client(100, 3, 81, 2'000'000'000, 0, 1);
    tree.add_v3d_client(100, 4, 82, 0, 123'456'789, 0);
    // Invalid UTF-8 around a valid 'é'; the name reader keeps these bytes.
    tree.add_process(200, "q\"\\\xC3(\xC3\xA9\xFF", 7, 0);
    tree.add_fdinfo(200, 5,
                    "pos:\t0\nflags:\t02400002\ndrm-driver:\tv3d\ndrm-client-id:\t4294967296\n"
                    "drm-engine-bin: \t0 ns\ndrm-engine-render: \t0 ns\ndrm-engine-tfu: \t0 ns\n"
                    "drm-engine-csd: \t3000000000 ns\ndrm-engine-cache_clean: \t-7 ns\ndrm-engine-cpu: \t40 ns\n"
                    "drm-total-memory:\t8 MiB\n");
    // Never busy on any queue, so not listed: no series, not counted.
    tree.add_process(300, "quiet", 9, 9);
    tree.add_v3d_client(300, 3, 90, 0, 0, 0);

    const std::string folder = tree.path("metrics");
    fs::create_directories(folder);
    const std::string file = folder + "/v3dwatch.prom";
    program_run run(tree, {"--prometheus", file, "-n", "1"});
    EXPECT_TRUE(run.read_all().empty()) << "nothing on standard output";
    EXPECT_EQ(run.read_errors(), "");
    ASSERT_EQ(run.wait(), 0);
    EXPECT_EQ(folder_entries(folder), std::set<std::string>{"v3dwatch.prom"});
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644U);

    const std::string text = read_file(file);
    const std::string card = R"(card="card\"\\\n1")";
    const std::string game = card + R"(,client_id="81",pid="100",process="game")";
    const std::string game2 = card + R"(,client_id="82",pid="100",process="game")";
    const std::string odd_name = "q\\\"\\\\\xEF\xBF\xBD(\xC3\xA9\xEF\xBF\xBD";
    const std::string odd = card + ",client_id=\"4294967296\",pid=\"200\",process=\"" + odd_name + "\"";
    // Negative readings are left out; seconds carry all nine decimals.
    const std::vector<family> expected = {
        {"# HELP v3d_gpu_busy_seconds_total Time each queue of the GPU has been busy, from the v3d driver's "
         "gpu_stats.\n# TYPE v3d_gpu_busy_seconds_total counter",
         {"v3d_gpu_busy_seconds_total{" + card + ",queue=\"bin\"} 1.500000000",
          "v3d_gpu_busy_seconds_total{" + card + ",queue=\"render\"} 9223372036.854775807",
          "v3d_gpu_busy_seconds_total{" + card + ",queue=\"tfu\"} 0.000000000",
          "v3d_gpu_busy_seconds_total{" + card + ",queue=\"cache_clean\"} 0.999999999",
          "v3d_gpu_busy_seconds_total{" + card + ",queue=\"cpu\"} 1.000000001"}},
        {"# HELP v3d_gpu_jobs_total Jobs each queue of the GPU has completed, from the v3d driver's gpu_stats.\n"
         "# TYPE v3d_gpu_jobs_total counter",
         {"v3d_gpu_jobs_total{" + card + ",queue=\"bin\"} 12", "v3d_gpu_jobs_total{" + card + ",queue=\"render\"} 7",
          "v3d_gpu_jobs_total{" + card + ",queue=\"tfu\"} 0",
          "v3d_gpu_jobs_total{" + card + ",queue=\"cache_clean\"} 3",
          "v3d_gpu_jobs_total{" + card + ",queue=\"cpu\"} 2"}},
        {"# HELP v3d_clients V3D clients found by the last census.\n# TYPE v3d_clients gauge",
         {"v3d_clients{" + card + "} 3"}},
        {"# HELP v3d_client_busy_seconds_total Time each queue of the GPU has been busy with the client's jobs "
         "(drm-engine-<queue>).\n# TYPE v3d_client_busy_seconds_total counter",
         {"v3d_client_busy_seconds_total{" + game + ",queue=\"bin\"} 0.000000001",
          "v3d_client_busy_seconds_total{" + game + ",queue=\"render\"} 2.000000000",
          "v3d_client_busy_seconds_total{" + game + ",queue=\"tfu\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game + ",queue=\"csd\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game + ",queue=\"cache_clean\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game + ",queue=\"cpu\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"bin\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"render\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"tfu\"} 0.123456789",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"csd\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"cache_clean\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + game2 + ",queue=\"cpu\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + odd + ",queue=\"bin\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + odd + ",queue=\"render\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + odd + ",queue=\"tfu\"} 0.000000000",
          "v3d_client_busy_seconds_total{" + odd + ",queue=\"csd\"} 3.000000000",
          "v3d_client_busy_seconds_total{" + odd + ",queue=\"cpu\"} 0.000000040"}},
        // The test tree's clients completed one job on each queue; the odd
        // client's kernel lists only the queues' time, so its counts read 0.
        {"# HELP v3d_client_jobs_total Jobs each queue of the GPU has completed for the client "
         "(v3d-jobs-<queue>).\n# TYPE v3d_client_jobs_total counter",
         {"v3d_client_jobs_total{" + game + ",queue=\"bin\"} 1", "v3d_client_jobs_total{" + game + ",queue=\"render\"} 1",
          "v3d_client_jobs_total{" + game + ",queue=\"tfu\"} 1", "v3d_client_jobs_total{" + game + ",queue=\"csd\"} 1",
          "v3d_client_jobs_total{" + game + ",queue=\"cache_clean\"} 1",
          "v3d_client_jobs_total{" + game + ",queue=\"cpu\"} 1",
          "v3d_client_jobs_total{" + game2 + ",queue=\"bin\"} 1",
          "v3d_client_jobs_total{" + game2 + ",queue=\"render\"} 1",
          "v3d_client_jobs_total{" + game2 + ",queue=\"tfu\"} 1", "v3d_client_jobs_total{" + game2 + ",queue=\"csd\"} 1",
          "v3d_client_jobs_total{" + game2 + ",queue=\"cache_clean\"} 1",
          "v3d_client_jobs_total{" + game2 + ",queue=\"cpu\"} 1",
          "v3d_client_jobs_total{" + odd + ",queue=\"bin\"} 0", "v3d_client_jobs_total{" + odd + ",queue=\"render\"} 0",
          "v3d_client_jobs_total{" + odd + ",queue=\"tfu\"} 0", "v3d_client_jobs_total{" + odd + ",queue=\"csd\"} 0",
          "v3d_client_jobs_total{" + odd + ",queue=\"cache_clean\"} 0",
          "v3d_client_jobs_total{" + odd + ",queue=\"cpu\"} 0"}},
        {"# HELP v3d_client_memory_bytes Memory of the client's buffers by kind, as the kernel gives it "
         "(drm-<kind>-memory).\n# TYPE v3d_client_memory_bytes gauge",
         {"v3d_client_memory_bytes{" + game + ",kind=\"total\"} 15532032",
          "v3d_client_memory_bytes{" + game + ",kind=\"shared\"} 9560064",
          "v3d_client_memory_bytes{" + game + ",kind=\"resident\"} 15532032",
          "v3d_client_memory_bytes{" + game2 + ",kind=\"total\"} 15532032",
          "v3d_client_memory_bytes{" + game2 + ",kind=\"shared\"} 9560064",
          "v3d_client_memory_bytes{" + game2 + ",kind=\"resident\"} 15532032",
          "v3d_client_memory_bytes{" + odd + ",kind=\"total\"} 8388608"}},
        // One series per process, however many clients it holds.
        {"# HELP v3d_process_cpu_seconds_total User plus system CPU time of each process that holds a listed "
         "client.\n# TYPE v3d_process_cpu_seconds_total counter",
         {R"(v3d_process_cpu_seconds_total{pid="100",process="game"} 6.34)",
          "v3d_process_cpu_seconds_total{pid=\"200\",process=\"" + odd_name + "\"} 0.07"}},
    };
    const std::vector<family> written = group_families(split_lines(text));
    ASSERT_EQ(written.size(), expected.size()) << text;
    for (std::size_t index = 0; index < expected.size(); ++index) {
        EXPECT_EQ(written[index].header, expected[index].header);
        EXPECT_EQ(written[index].samples, expected[index].samples) << expected[index].header;
    }
}

TEST(prometheus_end_to_end, fails_at_once_and_leaves_no_file_behind)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    for (int pid = 100; pid < 140; ++pid) {
        tree.add_process(pid, "client" + std::to_string(pid));
        tree.add_v3d_client(pid, 3, pid, pid, 0, 0);
    }
    const std::string folder = tree.path("metrics");
    fs::create_directories(folder + "/taken.prom");
    tree.write("metrics/plain", "");
    // A node like /dev/full, made here: never the real one.
    REQUIRE_HERE(::mknod((folder + "/full").c_str(), S_IFCHR | 0666, ::makedev(1, 7)) == 0,
                 "no device node can be made here (needs root)");
    ASSERT_EQ(::mkfifo((folder + "/fifo").c_str(), 0666), 0);
    fs::create_symlink("full", folder + "/link-to-full");
    const std::set<std::string> before = folder_entries(folder);
    struct failing_case {
        std::string file;
        std::string reason;
        rlim_t size_limit;
    };
    const std::vector<failing_case> cases = {
        {folder + "/missing/v3dwatch.prom", "No such file or directory", RLIM_INFINITY},
        {folder + "/plain/v3dwatch.prom", "Not a directory", RLIM_INFINITY},
        // What a rename would replace, a folder, a device, a FIFO, or a link
        // to one, is refused at once.
        {folder + "/taken.prom", "not a regular file", RLIM_INFINITY},
        {folder + "/full", "not a regular file", RLIM_INFINITY},
        {folder + "/fifo", "not a regular file", RLIM_INFINITY},
        {folder + "/link-to-full", "not a regular file", RLIM_INFINITY},
        // The file-size limit is reached halfway through the file.
        {folder + "/v3dwatch.prom", "File too large", 4096},
    };
    for (const failing_case &failing : cases) {
        SCOPED_TRACE(failing.file);
        // SIGXFSZ at its default action, as a shell leaves it.
        program_run run(tree, {"--prometheus", failing.file, "-d", "3600"}, "", false,
                        {.file_size_limit = failing.size_limit});

        EXPECT_EQ(run.read_errors(), "Error: cannot write metrics file " + failing.file + ": " + failing.reason + "\n");
        EXPECT_EQ(run.wait(), 1);
        EXPECT_TRUE(run.read_all().empty());
        EXPECT_EQ(folder_entries(folder), before);
        EXPECT_TRUE(fs::is_character_file(folder + "/full") && fs::is_fifo(folder + "/fifo"));
    }
}

// A link is written through: the new file is made beside the link's final
// target and replaces it, and the link stays a link.
TEST(prometheus_end_to_end, writes_through_a_symbolic_link)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    fs::create_directories(tree.path("links"));
    fs::create_directories(tree.path("data"));
    fs::create_symlink("../data/v3dwatch.prom", tree.path("links/second"));
    fs::create_symlink("second", tree.path("links/v3dwatch.prom"));
    program_run run(tree, {"--prometheus", tree.path("links/v3dwatch.prom"), "-n", "1"});
    EXPECT_EQ(run.wait(), 0) << run.read_errors();
    EXPECT_TRUE(fs::is_symlink(tree.path("links/v3dwatch.prom")) && fs::is_symlink(tree.path("links/second")));
    EXPECT_EQ(folder_entries(tree.path("links")), (std::set<std::string>{"second", "v3dwatch.prom"}));
    EXPECT_EQ(folder_entries(tree.path("data")), (std::set<std::string>{"v3dwatch.prom"}));
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(tree.path("data/v3dwatch.prom"))));
    const std::string text = read_file(tree.path("data/v3dwatch.prom"));
    EXPECT_NE(text.find("v3d_gpu_busy_seconds_total{card=\"card0\",queue=\"render\"} 0.000001000\n"),
              std::string::npos)
        << text;
}

TEST(prometheus_end_to_end, readers_never_see_part_of_a_file_and_a_stop_keeps_the_last)
{
    REQUIRE_NAMESPACES();
    constexpr int CLIENTS = 40;
    constexpr std::size_t WRITES_TO_SEE = 25;
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    for (int pid = 100; pid < 100 + CLIENTS; ++pid) {
        tree.add_process(pid, "client" + std::to_string(pid), pid, pid);
        tree.add_v3d_client(pid, 3, pid, pid * 1'000'003, pid, pid);
    }
    const std::string folder = tree.path("metrics");
    fs::create_directories(folder);
    const std::string file = folder + "/v3dwatch.prom";
    // Six queue rows twice, one client count, six queues' time and jobs and
    // three memory kinds per client, one process each, and fourteen header
    // lines: some 55 KB.
    const std::size_t line_count = 14 + 12 + 1 + CLIENTS * (6 + 6 + 3 + 1);
    program_run run(tree, {"--prometheus", file, "-d", "0.1", "--census", "0.1"});

    std::set<std::tuple<ino_t, time_t, long>> writes_seen;
    std::size_t reads = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (writes_seen.size() < WRITES_TO_SEE && std::chrono::steady_clock::now() < deadline) {
        struct stat status {};
        if (::stat(file.c_str(), &status) != 0) {
            continue; // not written yet
        }
        // Each write is a new file; a freed inode may come back, its time does not.
        writes_seen.insert({status.st_ino, status.st_mtim.tv_sec, status.st_mtim.tv_nsec});
        const std::string text = read_file(file);
        ++reads;
        ASSERT_TRUE(text.ends_with("\n"));
        ASSERT_EQ(split_lines(text).size(), line_count) << "read " << reads;
    }
    EXPECT_EQ(writes_seen.size(), WRITES_TO_SEE);

    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.read_errors(), "");
    EXPECT_EQ(split_lines(read_file(file)).size(), line_count);
    EXPECT_EQ(folder_entries(folder), std::set<std::string>{"v3dwatch.prom"});
}

} // namespace
