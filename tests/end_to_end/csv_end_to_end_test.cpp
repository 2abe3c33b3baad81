// The CSV stream of the real binary: header, rows worked out by hand, quoting,
// timestamps, stopping, and failed writes.
#include <gtest/gtest.h>

#include <signal.h>
#include <time.h>

#include <cstdlib>
#include <map>
#include <set>

#include "end_to_end/program_run.hpp"

namespace {

const std::string HEADER = "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%";
const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";

double monotonic_now()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// Rows of one pass: all the lines with one timestamp, in order.
struct pass_rows {
    std::string timestamp;
    std::vector<std::vector<std::string>> rows;
};

std::vector<pass_rows> group_by_pass(const std::vector<std::string> &lines)
{
    std::vector<pass_rows> passes;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        std::vector<std::string> fields = split_csv_fields(lines[index]);
        if (passes.empty() || passes.back().timestamp != fields[0]) {
            passes.push_back({fields[0], {}});
        }
        passes.back().rows.push_back(std::move(fields));
    }
    return passes;
}

// A kernel where nothing moves: `count` clients, one per process.
void add_still_clients(const kernel_tree &tree, int count)
{
    tree.set_gpu_stats(1000);
    for (int client = 0; client < count; ++client) {
        tree.add_process(100 + client, "still" + std::to_string(client), 1, 1);
        tree.add_v3d_client(100 + client, 5, 81 + client, 10, 0, 0);
    }
}

TEST(csv_end_to_end, writes_the_percentages_worked_out_by_hand)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    // Sample 0 is the baseline; the reference counter (ns) grows by 0.1 s per sample.
    const auto prepare = [&tree](std::size_t sample) {
        switch (sample) {
        case 0:
            tree.add_process(100, "game", 500, 100);
            tree.add_v3d_client(100, 5, 81, 10'000'000, 0, 2'000'000);
            tree.add_process(200, "vid,eo \"hd\"", 40, 0);
            tree.add_v3d_client(200, 4, 82, 0, 1'000'000, 0);
            tree.add_fdinfo(200, 1, "pos:\t0\nflags:\t02\n");
            break;
        case 1:
            tree.add_v3d_client(100, 5, 81, 60'000'000, 0, 4'500'000);
            tree.add_v3d_client(200, 4, 82, 0, 26'000'000, 0);
            break;
        case 2:
            tree.remove("proc/200");
            tree.add_process(300, "newcomer", 9000, 0);
            tree.add_v3d_client(300, 9, 83, 7'000'000, 0, 0);
            break;
        default:
            break;
        }
    };
    prepare(0);
    const double started = monotonic_now();
    const fifo_server stats(tree.path(GPU_STATS),
                            {kernel_tree::gpu_stats(1'000'000'000), kernel_tree::gpu_stats(1'100'000'000),
                             kernel_tree::gpu_stats(1'200'000'000), kernel_tree::gpu_stats(1'200'000'000)},
                            prepare);
    program_run run(tree, {"--csv"});
    ASSERT_TRUE(stats.wait_served(4)) << run.read_errors(std::chrono::seconds(1));
    const std::vector<std::string> lines = run.read_lines(1 + 2 + 2 + 2);
    run.signal(SIGINT);
    EXPECT_EQ(run.wait(), 0);
    const double ended = monotonic_now();

    ASSERT_EQ(lines.size(), 7U);
    EXPECT_EQ(lines[0], HEADER);
    const std::vector<pass_rows> passes = group_by_pass(lines);
    ASSERT_EQ(passes.size(), 3U);

    // Pass 1: busy time gained over 0.1 s of reference time.
    std::map<std::string, std::vector<std::string>> first;
    for (const std::vector<std::string> &row : passes[0].rows) {
        ASSERT_EQ(row.size(), 8U) << "quoting keeps every name in its column";
        first[row[1]] = row;
    }
    EXPECT_EQ(first["81"], (std::vector<std::string>{passes[0].timestamp, "81", "100", "game", "50.0", "0.0", "2.5",
                                                     "0.0"}));
    EXPECT_EQ(first["82"], (std::vector<std::string>{passes[0].timestamp, "82", "200", "vid,eo \"hd\"", "0.0", "25.0",
                                                     "0.0", "0.0"}));

    // Pass 2: client 82 has gone, 83 is new and measured from zero, CPU from its next pass on.
    std::map<std::string, std::vector<std::string>> second;
    for (const std::vector<std::string> &row : passes[1].rows) {
        second[row[1]] = row;
    }
    EXPECT_EQ(second.count("82"), 0U);
    EXPECT_EQ(second["81"], (std::vector<std::string>{passes[1].timestamp, "81", "100", "game", "0.0", "0.0", "0.0",
                                                      "0.0"}));
    EXPECT_EQ(second["83"], (std::vector<std::string>{passes[1].timestamp, "83", "300", "newcomer", "7.0", "0.0", "0.0",
                                                      "0.0"}));

    // Rows come in census order (the tree is as it was for the last two
    // passes), and timestamps are seconds since boot, one per pass.
    const std::vector<int> order = listing_order(tree.proc());
    for (const pass_rows &pass : passes) {
        if (&pass == &passes[0]) {
            continue;
        }
        std::size_t next = 0;
        for (const std::vector<std::string> &row : pass.rows) {
            const int pid = std::stoi(row[2]);
            while (next < order.size() && order[next] != pid) {
                ++next;
            }
            EXPECT_LT(next, order.size()) << "pid " << pid << " out of census order";
        }
    }
    for (const pass_rows &pass : passes) {
        ASSERT_EQ(pass.timestamp.size() - pass.timestamp.find('.'), 4U) << "three decimals";
        EXPECT_GE(std::stod(pass.timestamp), started - 0.001);
        EXPECT_LE(std::stod(pass.timestamp), ended + 0.001);
    }
    EXPECT_LT(std::stod(passes[0].timestamp), std::stod(passes[1].timestamp));
    EXPECT_LT(std::stod(passes[1].timestamp), std::stod(passes[2].timestamp));
}

TEST(csv_end_to_end, ends_in_order_on_sigint_and_sigterm)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    add_still_clients(tree, 2);
    for (const int number : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(number);
        program_run run(tree, {"--csv"});
        ASSERT_EQ(run.read_lines(1 + 2 * 2).size(), 5U);
        run.signal(number);
        const std::vector<std::string> &lines = run.read_all();
        EXPECT_EQ(run.wait(), 0);
        EXPECT_TRUE(run.output_ended());
        EXPECT_EQ(run.read_errors(std::chrono::seconds(1)), "");
        // Every pass that was started is flushed whole.
        for (const pass_rows &pass : group_by_pass(lines)) {
            EXPECT_EQ(pass.rows.size(), 2U);
        }
    }
}

// As under nohup (SIGHUP) and in a shell's background job (SIGINT, SIGQUIT).
TEST(csv_end_to_end, keeps_the_stop_signals_its_parent_ignored_and_stops_on_sigterm)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    add_still_clients(tree, 1);
    program_run run(tree, {"--csv", "-d", "0.1"}, "", false, {.ignored_signals = {SIGHUP, SIGINT, SIGQUIT}});
    ASSERT_EQ(run.read_lines(2).size(), 2U);
    for (const int number : {SIGHUP, SIGINT, SIGQUIT}) {
        run.signal(number);
    }
    EXPECT_EQ(run.read_lines(2 + 5).size(), 7U) << "frames keep coming";
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
}

TEST(csv_end_to_end, writes_only_the_header_while_there_are_no_clients)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const fifo_server stats(tree.path(GPU_STATS), {kernel_tree::gpu_stats(1), kernel_tree::gpu_stats(2)});
    tree.add_process(100, "idle");
    tree.add_fdinfo(100, 0, "pos:\t0\n");
    program_run run(tree, {"--csv"});
    EXPECT_EQ(run.read_lines(1), std::vector<std::string>{HEADER});
    ASSERT_TRUE(stats.wait_served(4));
    run.signal(SIGTERM);
    EXPECT_EQ(run.read_all(), std::vector<std::string>{HEADER});
    EXPECT_EQ(run.wait(), 0);
}

TEST(csv_end_to_end, fails_with_the_reason_when_output_cannot_be_written)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    add_still_clients(tree, 1);
    {
        program_run run(tree, {"--csv"}, "/dev/full");
        EXPECT_EQ(run.read_errors(), "Error: cannot write CSV output: No space left on device\n");
        EXPECT_EQ(run.wait(), 1);
    }
    for (const auto &[mode, lead] : {std::pair{"--csv", "CSV"}, std::pair{"--json", "JSON"}}) {
        // A file that reaches the file-size limit in the first frame, with SIGXFSZ at its default action.
        tree.write("out/" + std::string(lead), "");
        program_run run(tree, {mode}, tree.path("out/" + std::string(lead)), false, {.file_size_limit = 64});
        EXPECT_EQ(run.read_errors(), "Error: cannot write " + std::string(lead) + " output: File too large\n");
        EXPECT_EQ(run.wait(), 1);
    }
    {
        // A reader that goes away while SIGPIPE is ignored.
        program_run run(tree, {"--csv"}, "", true);
        ASSERT_EQ(run.read_lines(2).size(), 2U);
        run.close_output();
        EXPECT_EQ(run.read_errors(), "Error: cannot write CSV output: Broken pipe\n");
        EXPECT_EQ(run.wait(), 1);
    }
    {
        // With SIGPIPE at its default action, the system ends the program as usual.
        program_run run(tree, {"--csv"});
        ASSERT_EQ(run.read_lines(2).size(), 2U);
        run.close_output();
        EXPECT_EQ(run.wait(), 128 + SIGPIPE);
    }
}

} // namespace
