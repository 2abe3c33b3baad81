// Every queue, client memory and the whole GPU in the CSV stream with -a and
// in JSON Lines; the count and interval options; and a stop that comes while
// a write is blocked on a pipe nobody reads.
#include <gtest/gtest.h>

#include <cctype>
#include <ctime>

#include <signal.h>

#include <array>
#include <map>
#include <thread>

#include "end_to_end/program_run.hpp"

namespace {

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";

// A gpu_stats text: every row has the one timestamp, then jobs and runtime.
std::string stats_text(std::int64_t timestamp, const std::array<std::pair<std::int64_t, std::int64_t>, 6> &rows)
{
    const std::array<const char *, 6> queues = {"bin", "render", "tfu", "csd", "cache_clean", "cpu"};
    std::string text = "queue\ttimestamp\tjobs\truntime\n";
    for (std::size_t index = 0; index < queues.size(); ++index) {
        text += std::string(queues[index]) + "\t" + std::to_string(timestamp) + "\t" +
                std::to_string(rows[index].first) + "\t" + std::to_string(rows[index].second) + "\n";
    }
    return text;
}

// A v3d fdinfo text with the first `listed` of the six queues in the
// kernel's order, as an older kernel lists fewer, and the memory lines given.
std::string fdinfo_text(const std::string &client_id, const std::array<std::int64_t, 6> &busy, const std::string &memory,
                        const std::array<std::int64_t, 6> &jobs = {1, 1, 1, 1, 1, 1}, std::size_t listed = 6)
{
    const std::array<const char *, 6> queues = {"bin", "render", "tfu", "csd", "cache_clean", "cpu"};
    std::string text = "pos:\t0\nflags:\t02400002\nmnt_id:\t25\nino:\t521\ndrm-driver:\tv3d\ndrm-client-id:\t" +
                       client_id + "\n";
    for (std::size_t index = 0; index < listed; ++index) {
        text += std::string("drm-engine-") + queues[index] + ": \t" + std::to_string(busy[index]) + " ns\nv3d-jobs-" +
                queues[index] + ": \t" + std::to_string(jobs[index]) + " jobs\n";
    }
    return text + memory;
}

const std::string GAME_MEMORY = "drm-total-memory:\t15168 KiB\ndrm-shared-memory:\t9336 KiB\ndrm-resident-memory:\t15168 KiB\n";
const std::string COMPUTE_MEMORY = "drm-total-memory:\t8 MiB\ndrm-shared-memory:\t0\ndrm-resident-memory:\t512\n"
                                   "drm-active-memory:\t0\n";
const std::string BIG_ID = "1099511627776"; // 2^40: ids are 64-bit counters

// Over 0.1 s of GPU time: a game on render and bin, a compute-only client
// with a client id past 32 bits, and a client of a kernel without memory keys
// or the last two queues.
void build_tree(const kernel_tree &tree, std::size_t sample)
{
    if (sample == 0) {
        tree.add_process(100, "game", 50, 10);
        tree.add_process(200, "compute", 7, 0);
        tree.add_process(300, "oldkern", 3, 3);
        tree.add_fdinfo(100, 5, fdinfo_text("81", {2'000'000, 10'000'000, 0, 0, 0, 0}, GAME_MEMORY));
        tree.add_fdinfo(200, 4, fdinfo_text(BIG_ID, {0, 0, 0, 10'000'000, 0, 0}, COMPUTE_MEMORY));
        tree.add_fdinfo(300, 6, fdinfo_text("83", {0, 1'000'000, 0, 0, 0, 0}, "", {0, 0, 0, 0, 0, 0}, 4));
    } else if (sample == 1) {
        tree.add_fdinfo(100, 5, fdinfo_text("81", {4'500'000, 60'000'000, 0, 0, 0, 0}, GAME_MEMORY, {3, 26, 1, 1, 1, 1}));
        tree.add_fdinfo(200, 4, fdinfo_text(BIG_ID, {0, 0, 0, 40'000'000, 0, 100'000}, COMPUTE_MEMORY));
        tree.add_fdinfo(300, 6, fdinfo_text("83", {0, 11'000'000, 0, 0, 0, 0}, "", {0, 5, 0, 0, 0, 0}, 4));
    }
}

const std::vector<std::string> STATS_TEXTS = {
    stats_text(1'000'000'000, {{{10, 1'000'000}, {10, 5'000'000}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}}),
    stats_text(1'100'000'000,
               {{{20, 11'000'000}, {15, 55'000'000}, {1, 2'500'000}, {4, 30'000'000}, {0, 0}, {2, 100'000}}}),
};

// Runs one frame of v3dwatch with `arguments` over the kernel above; gives its output.
std::vector<std::string> one_frame(const kernel_tree &tree, std::vector<std::string> arguments)
{
    const fifo_server stats(tree.path(GPU_STATS), STATS_TEXTS, [&tree](std::size_t sample) { build_tree(tree, sample); });
    arguments.insert(arguments.end(), {"-n", "1", "-d", "0.1", "--census", "0.1"});
    program_run run(tree, arguments);
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0) << "-n 1 ends after one frame, in order";
    EXPECT_EQ(run.read_errors(std::chrono::seconds(1)), "");
    return lines;
}

TEST(whole_picture_end_to_end, csv_with_every_queue_and_memory)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const std::vector<std::string> lines = one_frame(tree, {"--csv", "-a"});
    ASSERT_EQ(lines.size(), 4U);
    EXPECT_EQ(lines[0], "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%,csd%,cache_clean%,cpu_job%,"
                        "mem_total_kib,mem_resident_kib");
    std::map<std::string, std::string> rows;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::size_t comma = lines[index].find(',');
        rows[lines[index].substr(comma + 1, lines[index].find(',', comma + 1) - comma - 1)] =
            lines[index].substr(comma);
    }
    EXPECT_EQ(rows["81"], ",81,100,game,50.0,0.0,2.5,0.0,0.0,0.0,0.0,15168,15168");
    EXPECT_EQ(rows[BIG_ID], "," + BIG_ID + ",200,compute,0.0,0.0,0.0,0.0,30.0,0.0,0.1,8192,0");
    EXPECT_EQ(rows["83"], ",83,300,oldkern,10.0,0.0,0.0,0.0,0.0,,,,") << "empty for the queues its kernel does not list";
}

TEST(whole_picture_end_to_end, json_lines_with_the_whole_gpu)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const std::vector<std::string> lines = one_frame(tree, {"--json"});
    ASSERT_EQ(lines.size(), 1U);
    // Jobs gained over the 0.1 s: the game 2 on bin and 25 on render; the old
    // kernel's client 5 on render, and no rates for the queues it does not list.
    const std::map<int, std::string> clients = {
        {100, R"({"client_id":81,"pid":100,"process":"game",)"
              R"("busy":{"bin":2.5,"render":50.0,"tfu":0.0,"csd":0.0,"cache_clean":0.0,"cpu":0.0},)"
              R"("jobs_per_second":{"bin":20.0,"render":250.0,"tfu":0.0,"csd":0.0,"cache_clean":0.0,"cpu":0.0},)"
              R"("busy_ns":{"bin":4500000,"render":60000000,"tfu":0,"csd":0,"cache_clean":0,"cpu":0},)"
              R"("busy_ns_gained":{"bin":2500000,"render":50000000,"tfu":0,"csd":0,"cache_clean":0,"cpu":0},)"
              R"("jobs_gained":{"bin":2,"render":25,"tfu":0,"csd":0,"cache_clean":0,"cpu":0},"gained_over_ns":100000000,)"
              R"("process_cpu":0.0,"memory":{"total":15532032,"shared":9560064,"resident":15532032}})"},
        {200, R"({"client_id":1099511627776,"pid":200,"process":"compute",)"
              R"("busy":{"bin":0.0,"render":0.0,"tfu":0.0,"csd":30.0,"cache_clean":0.0,"cpu":0.1},)"
              R"("jobs_per_second":{"bin":0.0,"render":0.0,"tfu":0.0,"csd":0.0,"cache_clean":0.0,"cpu":0.0},)"
              R"("busy_ns":{"bin":0,"render":0,"tfu":0,"csd":40000000,"cache_clean":0,"cpu":100000},)"
              R"("busy_ns_gained":{"bin":0,"render":0,"tfu":0,"csd":30000000,"cache_clean":0,"cpu":100000},)"
              R"("jobs_gained":{"bin":0,"render":0,"tfu":0,"csd":0,"cache_clean":0,"cpu":0},"gained_over_ns":100000000,)"
              R"("process_cpu":0.0,"memory":{"total":8388608,"shared":0,"resident":512,"active":0}})"},
        {300, R"({"client_id":83,"pid":300,"process":"oldkern",)"
              R"("busy":{"bin":0.0,"render":10.0,"tfu":0.0,"csd":0.0},)"
              R"("jobs_per_second":{"bin":0.0,"render":50.0,"tfu":0.0,"csd":0.0},)"
              R"("busy_ns":{"bin":0,"render":11000000,"tfu":0,"csd":0},)"
              R"("busy_ns_gained":{"bin":0,"render":10000000,"tfu":0,"csd":0},)"
              R"("jobs_gained":{"bin":0,"render":5,"tfu":0,"csd":0},"gained_over_ns":100000000,)"
              R"("process_cpu":0.0,"memory":{}})"},
    };
    std::string listed;
    for (const int pid : listing_order(tree.proc())) {
        listed += (listed.empty() ? "" : ",") + clients.at(pid);
    }
    // Job lengths are Δruntime / Δjobs: bin 10 ms in 10 jobs, cache_clean none.
    // Others: bin 10.0 - 2.5, tfu 2.5 - 0, and render 50.0 - (50.0 + 10.0),
    // which is below 0 by more than 5 points.
    // Each queue carries its readings, and the frame those of the sample it
    // was measured against, 0.1 s of the GPU's clock before.
    const std::string expected =
        R"({"timestamp":T,"wall_time":W,"gpu":{"bin":{"busy":10.0,"jobs_per_second":100.0,"average_job_ms":1.0,)"
        R"("timestamp_ns":1100000000,"jobs":20,"runtime_ns":11000000},)"
        R"("render":{"busy":50.0,"jobs_per_second":50.0,"average_job_ms":10.0,)"
        R"("timestamp_ns":1100000000,"jobs":15,"runtime_ns":55000000},)"
        R"("tfu":{"busy":2.5,"jobs_per_second":10.0,"average_job_ms":2.5,)"
        R"("timestamp_ns":1100000000,"jobs":1,"runtime_ns":2500000},)"
        R"("csd":{"busy":30.0,"jobs_per_second":40.0,"average_job_ms":7.5,)"
        R"("timestamp_ns":1100000000,"jobs":4,"runtime_ns":30000000},)"
        R"("cache_clean":{"busy":0.0,"jobs_per_second":0.0,"average_job_ms":null,)"
        R"("timestamp_ns":1100000000,"jobs":0,"runtime_ns":0},)"
        R"("cpu":{"busy":0.1,"jobs_per_second":20.0,"average_job_ms":0.1,)"
        R"("timestamp_ns":1100000000,"jobs":2,"runtime_ns":100000}},"conditions":{},)"
        R"("previous":{"timestamp":PT,"wall_time":PW,"gpu":{)"
        R"("bin":{"timestamp_ns":1000000000,"jobs":10,"runtime_ns":1000000},)"
        R"("render":{"timestamp_ns":1000000000,"jobs":10,"runtime_ns":5000000},)"
        R"("tfu":{"timestamp_ns":1000000000,"jobs":0,"runtime_ns":0},)"
        R"("csd":{"timestamp_ns":1000000000,"jobs":0,"runtime_ns":0},)"
        R"("cache_clean":{"timestamp_ns":1000000000,"jobs":0,"runtime_ns":0},)"
        R"("cpu":{"timestamp_ns":1000000000,"jobs":0,"runtime_ns":0}},"conditions":{}},)"
        R"("unreadable_processes":0,"clients":[)" +
        listed +
        R"(],"others":{"busy":{"bin":7.5,"render":0.0,"tfu":2.5,"csd":0.0,"cache_clean":0.0,"cpu":0.0},)"
        R"("overcount":["render"]}})";
    // Both times have three decimals, the wall time being Unix time (a clock
    // off by the difference of the two clocks would be decades away); the rest
    // is known to the byte.
    const std::string prefix = R"({"timestamp":)";
    const std::string wall_key = R"(,"wall_time":)";
    ASSERT_EQ(lines[0].rfind(prefix, 0), 0U);
    const std::size_t end = lines[0].find(',');
    const std::size_t wall_end = lines[0].find(',', end + 1);
    const std::string timestamp = lines[0].substr(prefix.size(), end - prefix.size());
    const std::string wall_time = lines[0].substr(end + wall_key.size(), wall_end - end - wall_key.size());
    for (const std::string &time : {timestamp, wall_time}) {
        EXPECT_EQ(time.find_first_not_of("0123456789."), std::string::npos) << time;
        EXPECT_EQ(time.size() - time.find('.'), 4U) << time;
    }
    EXPECT_NEAR(std::stod(wall_time), static_cast<double>(::time(nullptr)), 60.0);
    // The previous sample's times, in the same clocks and decimals, before the frame's.
    std::string rest = lines[0].substr(wall_end);
    const std::string previous_key = R"("previous":{"timestamp":)";
    const std::size_t previous_start = rest.find(previous_key);
    ASSERT_NE(previous_start, std::string::npos) << rest;
    const std::size_t previous_end = rest.find(R"(,"gpu")", previous_start);
    const std::string previous_times = rest.substr(previous_start + previous_key.size(),
                                                   previous_end - previous_start - previous_key.size());
    const std::size_t comma = previous_times.find(',');
    EXPECT_LT(std::stod(previous_times.substr(0, comma)), std::stod(timestamp));
    EXPECT_LT(std::stod(previous_times.substr(previous_times.find(':') + 1)), std::stod(wall_time));
    rest.replace(previous_start, previous_end - previous_start, previous_key + R"(PT,"wall_time":PW)");
    EXPECT_EQ(prefix + "T" + wall_key + "W" + rest, expected);
}

// The whole GPU's render time less the listed clients': over 0.1 s the GPU
// is 70 % busy while the clients are 30 % + 10 %, then 100 % + 30 %.
TEST(whole_picture_end_to_end, json_others_is_what_no_listed_client_accounts_for)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "game", 1, 1);
    tree.add_process(200, "video", 1, 1);
    const std::array<std::int64_t, 3> game = {10'000'000, 40'000'000, 140'000'000};
    const std::array<std::int64_t, 3> video = {10'000'000, 20'000'000, 50'000'000};
    const auto prepare = [&](std::size_t sample) {
        if (sample < game.size()) {
            tree.add_fdinfo(100, 5, fdinfo_text("81", {0, game[sample], 0, 0, 0, 0}, ""));
            tree.add_fdinfo(200, 5, fdinfo_text("82", {0, video[sample], 0, 0, 0, 0}, ""));
        }
    };
    const auto render_only = [](std::int64_t timestamp, std::int64_t runtime) {
        return stats_text(timestamp, {{{0, 0}, {0, runtime}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}});
    };
    const fifo_server stats(tree.path(GPU_STATS),
                            {render_only(1'000'000'000, 0), render_only(1'100'000'000, 70'000'000),
                             render_only(1'200'000'000, 140'000'000)},
                            prepare);
    program_run run(tree, {"--json", "-n", "2", "-d", "0.1", "--census", "0.1"});
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0);
    ASSERT_EQ(lines.size(), 2U);
    const auto others = [](const std::string &line) { return line.substr(line.find(R"("others":)")); };
    EXPECT_EQ(others(lines[0]), R"("others":{"busy":{"bin":0.0,"render":30.0,"tfu":0.0,"csd":0.0,"cache_clean":0.0,)"
                                R"("cpu":0.0},"overcount":[]}})");
    EXPECT_EQ(others(lines[1]), R"("others":{"busy":{"bin":0.0,"render":0.0,"tfu":0.0,"csd":0.0,"cache_clean":0.0,)"
                                R"("cpu":0.0},"overcount":["render"]}})");
}

TEST(whole_picture_end_to_end, count_and_interval_pace_and_end_the_run)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    tree.add_process(100, "still", 1, 1);
    tree.add_v3d_client(100, 5, 81, 10, 0, 0);
    program_run run(tree, {"--csv", "-n", "3", "-d", "0.5", "--census", "0.5"});
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0);
    ASSERT_EQ(lines.size(), 4U) << "the header and three frames";
    for (std::size_t index = 2; index < lines.size(); ++index) {
        const double gap = std::stod(lines[index]) - std::stod(lines[index - 1]);
        // Samples are due an interval apart; each timestamp is read after its census.
        EXPECT_GE(gap, 0.45) << "frames come an interval apart";
        EXPECT_LT(gap, 5.0);
    }
}

// Each sample waits a quarter of a second for gpu_stats. At -d 0.5 the samples
// still come on the half-second grid, not a quarter of a second later each time.
TEST(whole_picture_end_to_end, samples_stay_on_the_grid_when_a_pass_takes_time)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "still", 1, 1);
    tree.add_v3d_client(100, 5, 81, 10, 0, 0);
    const fifo_server stats(tree.path(GPU_STATS), std::vector<std::string>(12, kernel_tree::gpu_stats(1000)),
                            [](std::size_t) { std::this_thread::sleep_for(std::chrono::milliseconds(250)); });
    program_run run(tree, {"--csv", "-n", "8", "-d", "0.5"});
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0);
    ASSERT_EQ(lines.size(), 9U) << "the header and eight frames";
    // Seven intervals take 3.5 s on the grid and 5.25 s when each pass adds its
    // time; the bound leaves room for one skipped due time on a busy machine.
    EXPECT_LT(std::stod(lines[8]) - std::stod(lines[1]), 4.25);
}

// Names of sixty bytes make frames of about 25 KiB in CSV and 70 KiB in JSON:
// a JSON frame alone fills a 64 KiB pipe, so the write that blocks is in the
// middle of a line.
void add_many_clients(const kernel_tree &tree)
{
    tree.set_gpu_stats(1000);
    for (int client = 0; client < 256; ++client) {
        tree.add_process(1000 + client, std::string(56, 'c') + std::to_string(1000 + client), 1, 1);
        tree.add_v3d_client(1000 + client, 5, 81 + client, 10, 0, 0);
    }
}

// The pipe fills while nobody reads it; a stop signal then ends the blocked
// write, and the run in order, whichever text output it is.
TEST(whole_picture_end_to_end, stop_while_a_write_blocks_is_orderly)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    add_many_clients(tree);
    for (const char *mode : {"--csv", "--json"}) {
        SCOPED_TRACE(mode);
        program_run run(tree, {mode, "-d", "0.1", "--census", "0.1"});
        std::this_thread::sleep_for(std::chrono::seconds(3)); // a few frames fill a 64 KiB pipe
        run.signal(SIGTERM);
        EXPECT_EQ(run.wait(std::chrono::seconds(5)), 0);
        EXPECT_EQ(run.read_errors(std::chrono::seconds(1)), "");
    }
}

// A slow reader: the pipe is full when the stop comes, and the reader
// then takes everything. The line the blocked write had begun is finished, so
// every record is whole; a pipe that another process made non-blocking is
// waited for, not taken for a failure.
TEST(whole_picture_end_to_end, stop_finishes_the_line_a_slow_reader_was_given)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    add_many_clients(tree);
    for (const auto &[mode, non_blocking] : {std::pair{"--csv", false}, {"--json", false}, {"--json", true}}) {
        SCOPED_TRACE(std::string(mode) + (non_blocking ? " non-blocking" : ""));
        program_run run(tree, {mode, "-d", "0.1"}, "", false, {.output_non_blocking = non_blocking});
        std::this_thread::sleep_for(std::chrono::seconds(2));
        run.signal(SIGTERM);
        // The stop must find the write still blocked; the reader then takes
        // everything well within the second that the line may take.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const std::vector<std::string> lines = run.read_all();
        EXPECT_EQ(run.wait(), 0);
        EXPECT_EQ(run.read_errors(std::chrono::seconds(1)), "");
        EXPECT_EQ(run.unfinished_line().size(), 0U) << "the stream ends at a line's end";
        EXPECT_FALSE(lines.empty());
        for (const std::string &line : lines) {
            if (std::string(mode) == "--json") {
                EXPECT_TRUE(line.starts_with("{\"timestamp\":") && line.ends_with("}"));
            } else {
                EXPECT_EQ(split_csv_fields(line).size(), 8U);
            }
        }
    }
}

} // namespace

// --text: the frame as the -a view draws it, every column (the client id's
// widened for the 13 digits of the compute client's), in plain text under a
// line of the local time and the interval, then an empty line. The figures
// are those of the CSV and JSON cases above, sorted by render.
TEST(whole_picture_end_to_end, text_frames_of_the_whole_table)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const std::vector<std::string> lines = one_frame(tree, {"--text", "-a", "--sort", "render"});
    ASSERT_EQ(lines.size(), 13U);
    // "2026-12-09T10:14:23+01:00": digits where the pattern has 'd'.
    const std::string shape = "dddd-dd-ddTdd:dd:dd+dd:dd  interval 0.1 s";
    bool shaped = lines[0].size() == shape.size();
    for (std::size_t index = 0; shaped && index < shape.size(); ++index) {
        const char got = lines[0][index];
        shaped = shape[index] == 'd' ? std::isdigit(static_cast<unsigned char>(got)) != 0
                 : shape[index] == '+' ? got == '+' || got == '-'
                                       : got == shape[index];
    }
    EXPECT_TRUE(shaped) << lines[0];
    const std::vector<std::string> expected = {
        "GPU      render      tfu      bin      csd cache_clean  cpu_job",
        "busy      50.0%     2.5%    10.0%    30.0%        0.0%     0.1%",
        "jobs/s     50.0     10.0    100.0     40.0         0.0     20.0",
        "job ms     10.0      2.5      1.0      7.5           -      0.1",
        "",
        "       Client  PID      Process             *render      tfu      bin      CPU      csd    cache_clean"
        "    cpu_job      total   resident",
        std::string(136, '-'),
        "           81  100      game                  50.0%     0.0%     2.5%     0.0%     0.0%           0.0%"
        "       0.0%   14.8 MiB   14.8 MiB",
        "           83  300      oldkern               10.0%     0.0%     0.0%     0.0%     0.0%              -"
        "          -          -          -",
        "1099511627776  200      compute                0.0%     0.0%     0.0%     0.0%    30.0%           0.0%"
        "       0.1%    8.0 MiB      512 B",
        "                        (others)                  !     2.5%     7.5%              0.0%           0.0%"
        "       0.0%",
        "",
    };
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 1, lines.end()), expected);
}
