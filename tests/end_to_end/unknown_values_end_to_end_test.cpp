// What the kernel does not give is not reported: the queues an older kernel
// does not list, and the CPU time of a process whose stat cannot be read.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "end_to_end/program_run.hpp"

namespace {

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";
constexpr std::array<const char *, 3> OLD_QUEUES = {"bin", "render", "tfu"};

// gpu_stats and fdinfo of a kernel from before the csd, cache_clean and cpu
// queues and the memory keys.
std::string old_stats_text(std::int64_t timestamp, const std::array<std::pair<std::int64_t, std::int64_t>, 3> &rows)
{
    std::string text = "queue\ttimestamp\tjobs\truntime\n";
    for (std::size_t index = 0; index < OLD_QUEUES.size(); ++index) {
        text += std::string(OLD_QUEUES[index]) + "\t" + std::to_string(timestamp) + "\t" +
                std::to_string(rows[index].first) + "\t" + std::to_string(rows[index].second) + "\n";
    }
    return text;
}

std::string old_fdinfo_text(int client_id, const std::array<std::int64_t, 3> &busy)
{
    std::string text = "pos:\t0\nflags:\t02400002\ndrm-driver:\tv3d\ndrm-client-id:\t" + std::to_string(client_id) + "\n";
    for (std::size_t index = 0; index < OLD_QUEUES.size(); ++index) {
        text += std::string("drm-engine-") + OLD_QUEUES[index] + ": \t" + std::to_string(busy[index]) +
                " ns\nv3d-jobs-" + OLD_QUEUES[index] + ": \t1 jobs\n";
    }
    return text;
}

// Over 0.1 s of GPU time: "game" with a steady stat; "ending", whose stat is
// gone at the second sample; "late", whose stat cannot be read at the first
// and then shows 50 s of CPU time, which must not become a spike.
void build_tree(const kernel_tree &tree, std::size_t sample)
{
    if (sample == 0) {
        tree.add_process(100, "game", 50, 10);
        tree.add_process(200, "ending", 3, 3);
        tree.add_process(300, "late");
        tree.remove("proc/300/stat");
        tree.add_fdinfo(100, 5, old_fdinfo_text(81, {2'000'000, 10'000'000, 0}));
        tree.add_fdinfo(200, 4, old_fdinfo_text(82, {0, 1'000'000, 0}));
        tree.add_fdinfo(300, 6, old_fdinfo_text(83, {0, 0, 1}));
    } else if (sample == 1) {
        tree.remove("proc/200/stat");
        tree.write("proc/300/stat", kernel_tree::stat_line(300, "late", 4000, 1000));
        tree.add_fdinfo(100, 5, old_fdinfo_text(81, {4'500'000, 60'000'000, 0}));
        tree.add_fdinfo(200, 4, old_fdinfo_text(82, {0, 11'000'000, 0}));
        tree.add_fdinfo(300, 6, old_fdinfo_text(83, {0, 0, 1'000'001}));
    }
}

const std::vector<std::string> STATS_TEXTS = {
    old_stats_text(1'000'000'000, {{{10, 1'000'000}, {10, 5'000'000}, {0, 0}}}),
    old_stats_text(1'100'000'000, {{{20, 11'000'000}, {15, 55'000'000}, {1, 2'500'000}}}),
};

// The output of v3dwatch run with `arguments` over the kernel above.
std::vector<std::string> run_over_old_kernel(const kernel_tree &tree, std::vector<std::string> arguments)
{
    const fifo_server stats(tree.path(GPU_STATS), STATS_TEXTS, [&tree](std::size_t sample) { build_tree(tree, sample); });
    arguments.insert(arguments.end(), {"-d", "0.1", "--census", "0.1"});
    program_run run(tree, arguments);
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0);
    EXPECT_EQ(run.read_errors(std::chrono::seconds(1)), "");
    return lines;
}

// CSV rows by client id, without the timestamp.
std::map<std::string, std::string> rows_by_client(const std::vector<std::string> &lines)
{
    std::map<std::string, std::string> rows;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::size_t comma = lines[index].find(',');
        rows[lines[index].substr(comma + 1, lines[index].find(',', comma + 1) - comma - 1)] = lines[index].substr(comma);
    }
    return rows;
}

TEST(unknown_values_end_to_end, are_left_out_of_json_and_empty_in_the_csv_with_every_queue)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    std::vector<std::string> lines = run_over_old_kernel(tree, {"--json", "-n", "1"});
    ASSERT_EQ(lines.size(), 1U);
    const std::string no_jobs = R"("jobs_per_second":{"bin":0.0,"render":0.0,"tfu":0.0},)";
    // The counters behind the figures: each client's cumulative busy time,
    // and what it gained over the interval (the late client all of its 1 ms
    // less the 1 ns its first reading held), over the frame's 0.1 s.
    const std::string no_jobs_gained = R"("jobs_gained":{"bin":0,"render":0,"tfu":0},"gained_over_ns":100000000,)";
    const std::map<int, std::string> clients = {
        {100, R"({"client_id":81,"pid":100,"process":"game","busy":{"bin":2.5,"render":50.0,"tfu":0.0},)" + no_jobs +
                  R"("busy_ns":{"bin":4500000,"render":60000000,"tfu":0},)"
                  R"("busy_ns_gained":{"bin":2500000,"render":50000000,"tfu":0},)" +
                  no_jobs_gained + R"("process_cpu":0.0,"memory":{}})"},
        {200, R"({"client_id":82,"pid":200,"process":"ending","busy":{"bin":0.0,"render":10.0,"tfu":0.0},)" +
                  no_jobs + R"("busy_ns":{"bin":0,"render":11000000,"tfu":0},)"
                  R"("busy_ns_gained":{"bin":0,"render":10000000,"tfu":0},)" +
                  no_jobs_gained + R"("process_cpu":null,"memory":{}})"},
        {300, R"({"client_id":83,"pid":300,"process":"late","busy":{"bin":0.0,"render":0.0,"tfu":1.0},)" + no_jobs +
                  R"("busy_ns":{"bin":0,"render":0,"tfu":1000001},"busy_ns_gained":{"bin":0,"render":0,"tfu":1000000},)" +
                  no_jobs_gained + R"("process_cpu":null,"memory":{}})"},
    };
    std::string listed;
    for (const int pid : listing_order(tree.proc())) {
        listed += (listed.empty() ? "" : ",") + clients.at(pid);
    }
    // The clients' list, which holds no '[' or ']' of its own here.
    const std::string list_start = R"("clients":[)";
    const std::size_t start = lines[0].find(list_start);
    ASSERT_NE(start, std::string::npos) << lines[0];
    const std::size_t end = lines[0].find(']', start);
    EXPECT_EQ(lines[0].substr(start + list_start.size(), end - start - list_start.size()), listed);
    // The GPU's bin 10 %, render 50 % and tfu 2.5 % less the clients' 2.5, 60 and 1.0.
    EXPECT_TRUE(lines[0].ends_with(R"(],"others":{"busy":{"bin":7.5,"render":0.0,"tfu":1.5},"overcount":["render"]}})"))
        << lines[0];

    lines = run_over_old_kernel(tree, {"--csv", "-a", "-n", "1"});
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(rows_by_client(lines), (std::map<std::string, std::string>{
                                         {"81", ",81,100,game,50.0,0.0,2.5,0.0,,,,,"},
                                         {"82", ",82,200,ending,10.0,0.0,0.0,,,,,,"},
                                         {"83", ",83,300,late,0.0,1.0,0.0,,,,,,"},
                                     }));

    lines = run_over_old_kernel(tree, {"--csv", "-n", "1"});
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(rows_by_client(lines), (std::map<std::string, std::string>{
                                         {"81", ",81,100,game,50.0,0.0,2.5,0.0"},
                                         {"82", ",82,200,ending,10.0,0.0,0.0,0.0"},
                                         {"83", ",83,300,late,0.0,1.0,0.0,0.0"},
                                     }))
        << "the default stream keeps its columns and numbers";
}

TEST(unknown_values_end_to_end, are_left_out_of_the_metrics_file)
{
    REQUIRE_NAMESPACES();
    ASSERT_EQ(sysconf(_SC_CLK_TCK), 100) << "the CPU seconds below are worked out for 100 ticks a second";
    kernel_tree tree;
    const std::string file = tree.path("v3dwatch.prom");
    EXPECT_TRUE(run_over_old_kernel(tree, {"--prometheus", file, "-n", "2"}).empty());

    // The file of the second sample, when "ending"'s stat is gone.
    std::ifstream in(file);
    std::set<std::string> client_samples;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with("v3d_client_busy_seconds_total{") || line.starts_with("v3d_process_cpu_seconds_total{")) {
            client_samples.insert(line);
        }
    }
    const auto busy = [](const std::string &client, const char *queue, const char *seconds) {
        return R"(v3d_client_busy_seconds_total{card="card0",)" + client + R"(,queue=")" + queue + "\"} " + seconds;
    };
    const std::string game = R"(client_id="81",pid="100",process="game")";
    const std::string ending = R"(client_id="82",pid="200",process="ending")";
    const std::string late = R"(client_id="83",pid="300",process="late")";
    EXPECT_EQ(client_samples, (std::set<std::string>{
                                  busy(game, "bin", "0.004500000"),
                                  busy(game, "render", "0.060000000"),
                                  busy(game, "tfu", "0.000000000"),
                                  busy(ending, "bin", "0.000000000"),
                                  busy(ending, "render", "0.011000000"),
                                  busy(ending, "tfu", "0.000000000"),
                                  busy(late, "bin", "0.000000000"),
                                  busy(late, "render", "0.000000000"),
                                  busy(late, "tfu", "0.001000001"),
                                  R"(v3d_process_cpu_seconds_total{pid="100",process="game"} 0.60)",
                                  R"(v3d_process_cpu_seconds_total{pid="300",process="late"} 50.00)",
                              }));
}

} // namespace
