// Recordings: a run recorded with --json and replayed must give the lines and
// the summary the live run gave; a cut or broken recording must say where;
// the view must play, pause and step; --compare must work out the changes.
#include <gtest/gtest.h>

#include <fstream>

#include "end_to_end/program_run.hpp"
#include "end_to_end/tmux_session.hpp"

namespace {

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";

// Six frames 0.1 s of GPU time apart, over a fake kernel of its own: a game
// busy on render and bin, a compute client busy on csd alone, which only -a
// lists, and a client busy on tfu from the third sample. `summary` takes the
// --summary-json. With `cpu_grows`, the game uses 10 ticks of user time a sample.
std::vector<std::string> run_recorded_kernel(std::vector<std::string> arguments, std::string *summary = nullptr,
                                             bool cpu_grows = false)
{
    const kernel_tree tree;
    tree.add_process(100, "game", 1, 1);
    tree.add_process(200, "compute", 1, 1);
    std::vector<std::string> texts;
    for (std::int64_t sample = 0; sample < 7; ++sample) {
        texts.push_back(kernel_tree::gpu_stats(1'000'000'000 + 100'000'000 * sample));
    }
    const auto prepare = [&tree, cpu_grows](std::size_t sample) {
        const auto step = static_cast<std::int64_t>(sample);
        if (cpu_grows) {
            tree.add_process(100, "game", 1 + 10 * step, 1);
        }
        tree.add_v3d_client(100, 5, 81, 10'000'000 * step, 0, 3'000'000 * step);
        std::string compute = kernel_tree::v3d_fdinfo(82, 0, 0, 0);
        const std::string csd = "drm-engine-csd: \t0 ns";
        compute.replace(compute.find(csd), csd.size(), "drm-engine-csd: \t" + std::to_string(5'000'000 * step) + " ns");
        tree.add_fdinfo(200, 5, compute);
        if (sample >= 3) {
            tree.add_process(300, "late", 1, 1);
            tree.add_v3d_client(300, 4, 83, 0, 25'000'000 * (step - 2), 0);
        }
    };
    const fifo_server stats(tree.path(GPU_STATS), texts, prepare);
    arguments.insert(arguments.end(), {"-n", "6", "-d", "0.1", "--census", "0.1"});
    if (summary != nullptr) {
        arguments.insert(arguments.end(), {"--summary-json", tree.path("summary.json")});
    }
    program_run run(tree, arguments);
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0) << run.read_errors();
    if (summary != nullptr) {
        std::ifstream in(tree.path("summary.json"));
        summary->assign(std::istreambuf_iterator<char>(in), {});
    }
    return lines;
}

struct replayed {
    std::vector<std::string> lines;
    std::string errors;
    int status = -1;
};

replayed replay(const kernel_tree &tree, std::vector<std::string> arguments)
{
    program_run run(tree, arguments);
    replayed result;
    result.lines = run.read_all();
    result.errors = run.read_errors();
    result.status = run.wait();
    return result;
}

std::string joined(const std::vector<std::string> &lines, std::size_t count)
{
    std::string text;
    for (std::size_t index = 0; index < count && index < lines.size(); ++index) {
        text += lines[index] + "\n";
    }
    return text;
}

// CSV lines with their timestamps cut off, the header kept.
std::vector<std::string> without_timestamps(const std::vector<std::string> &lines)
{
    std::vector<std::string> rows;
    for (const std::string &line : lines) {
        rows.push_back(rows.empty() ? line : line.substr(line.find(',')));
    }
    return rows;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The summary's figures: all but its times, which a replay takes from the
// recorded frames and a live run from the clock after its last one, and the
// CPU's mean per cent, which is worked out over that time.
std::string summary_figures(std::string summary)
{
    for (const std::string key : {"\"wall_seconds\":", "\"start\":", "\"end\":", "\"mean_percent\":"}) {
        const std::size_t start = summary.find(key);
        if (start != std::string::npos) {
            summary.erase(start, summary.find_first_of(",}", start) - start);
        }
    }
    return summary;
}

class recording_end_to_end : public ::testing::Test {
protected:
    kernel_tree tree;
    std::string recording = tree.path("run.json");

    void record(const std::vector<std::string> &arguments = {"--json"}, std::string *live_summary = nullptr,
                bool cpu_grows = false)
    {
        const std::vector<std::string> lines = run_recorded_kernel(arguments, live_summary, cpu_grows);
        ASSERT_EQ(lines.size(), 6U);
        tree.write("run.json", joined(lines, lines.size()));
    }
};

TEST_F(recording_end_to_end, a_replay_gives_the_live_runs_csv_lines_and_summary)
{
    REQUIRE_NAMESPACES();
    record();
    for (const std::vector<std::string> &mode : {std::vector<std::string>{"--csv", "-a"}, {"--csv"}}) {
        SCOPED_TRACE(mode.size() == 2 ? "--csv -a" : "--csv");
        const std::vector<std::string> live = run_recorded_kernel(mode);
        std::vector<std::string> arguments = {"--replay", recording};
        arguments.insert(arguments.end(), mode.begin(), mode.end());
        const replayed again = replay(tree, arguments);
        EXPECT_EQ(again.status, 0) << again.errors;
        // The header, then the game's 6 rows, the late client's 4 and, with
        // -a only, the compute client's 6.
        EXPECT_EQ(live.size(), mode.size() == 2 ? 1U + 6 + 4 + 6 : 1U + 6 + 4);
        EXPECT_EQ(without_timestamps(again.lines), without_timestamps(live));
    }
    // A run that follows the game, whose CPU time the recording carries: 60
    // ticks of user time over the 6 frames.
    std::string live_summary;
    record({"--json", "-p", "100"}, &live_summary, true);
    const replayed summary = replay(tree, {"--replay", recording, "--summary-json", tree.path("summary.json")});
    EXPECT_EQ(summary.status, 0) << summary.errors;
    EXPECT_NE(live_summary.find(R"("render":{"busy_mean_percent":10.0,)"), std::string::npos) << live_summary;
    EXPECT_NE(live_summary.find(R"("cpu":{"user_seconds":0.60,"system_seconds":0.00,)"), std::string::npos)
        << live_summary;
    EXPECT_EQ(summary_figures(read_file(tree.path("summary.json"))), summary_figures(live_summary));
}

TEST_F(recording_end_to_end, a_cut_last_line_is_ignored_and_a_broken_line_named)
{
    REQUIRE_NAMESPACES();
    record();
    const std::vector<std::string> full = replay(tree, {"--replay", recording, "--csv"}).lines;
    ASSERT_EQ(full.size(), 11U);
    // A run killed while writing its last line.
    std::string text = read_file(recording);
    tree.write("cut.json", text.substr(0, text.size() - 40));
    const replayed cut = replay(tree, {"--replay", tree.path("cut.json"), "--csv"});
    EXPECT_EQ(cut.status, 0);
    EXPECT_EQ(cut.errors, "Warning: " + tree.path("cut.json") + ":6: the last line is cut short; ignored\n");
    // The last frame's two rows (the game's and the late client's) are gone.
    EXPECT_EQ(cut.lines, std::vector<std::string>(full.begin(), full.end() - 2));

    const std::size_t third = text.find('\n', text.find('\n') + 1) + 1;
    text.replace(third, text.find('\n', third) - third, R"({"timestamp":1.5})");
    tree.write("broken.json", text);
    const replayed broken = replay(tree, {"--replay", tree.path("broken.json"), "--csv"});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(broken.errors, "Error: " + tree.path("broken.json") + ":3: no member \"wall_time\"\n");
}

// A frame of the client "stepper", `busy` per cent busy on render, ten
// seconds after the one before.
std::string stepped_frame(int frame, int busy)
{
    const std::string time = std::to_string(100 + 10 * frame) + ".000";
    const std::string before = std::to_string(90 + 10 * frame) + ".000";
    return R"({"timestamp":)" + time + R"(,"wall_time":1700000)" + time +
           R"(,"gpu":{"render":{"timestamp_ns":1,"jobs":0,"runtime_ns":0}},"conditions":{},)"
           R"("previous":{"timestamp":)" + before + R"(,"wall_time":1700000)" + before +
           R"(,"gpu":{"render":{"timestamp_ns":0,"jobs":0,"runtime_ns":0}},"conditions":{}},)"
           R"("unreadable_processes":0,"clients":[{"client_id":7,"pid":70,"process":"stepper",)"
           R"("busy":{"render":0.0},"jobs_per_second":{"render":0.0},"busy_ns":{"render":1},)"
           R"("busy_ns_gained":{"render":)" + std::to_string(busy) + R"(000000},"jobs_gained":{"render":0},)"
           R"("gained_over_ns":100000000,"process_cpu":null,"memory":{}}],"others":{"busy":{},"overcount":[]}})"
           "\n";
}

TEST_F(recording_end_to_end, the_view_plays_pauses_steps_and_holds_the_end)
{
    tree.write("steps.json", stepped_frame(1, 10) + stepped_frame(2, 20) + stepped_frame(3, 30) + stepped_frame(4, 40));
    tree.write("run", std::string(V3DWATCH_BINARY) + " --replay " + tree.path("steps.json") + "; echo $? > " +
                          tree.path("status") + "; exec sleep 600\n");
    const tmux_session session("sh " + tree.path("run"), 80, 24);
    const auto row = [](const char *render) {
        return std::string("     7  70       stepper             ") + render + "%     0.0%     0.0%     0.0%";
    };
    ASSERT_TRUE(session.wait_for_line(4, row("10.0"))) << ::testing::PrintToString(session.screen());
    EXPECT_EQ(session.screen()[0], "GPU Utilisation - replay 1x 2023-11-14T22:15:10.000Z");
    session.send_keys("Space");
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation - replay 1x 2023-11-14T22:15:10.000Z, paused"));
    session.send_keys(".");
    ASSERT_TRUE(session.wait_for_line(4, row("20.0"))) << ::testing::PrintToString(session.screen());
    EXPECT_EQ(session.screen()[0], "GPU Utilisation - replay 1x 2023-11-14T22:15:20.000Z, paused");
    // Sixteen times as fast, two frames of 10 s come in 1.25 s; the last stays.
    session.send_keys("+ + + + Space");
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation - end of recording 2023-11-14T22:15:40.000Z"))
        << ::testing::PrintToString(session.screen());
    EXPECT_EQ(session.screen()[4], row("40.0"));
    session.send_keys("q");
    for (int attempt = 0; attempt < 50 && read_file(tree.path("status")).empty(); ++attempt) {
        ::usleep(100'000);
    }
    EXPECT_EQ(read_file(tree.path("status")), "0\n");
}

TEST_F(recording_end_to_end, compare_works_out_and_marks_the_changes)
{
    REQUIRE_NAMESPACES();
    const auto summary = [](const std::string &render_mean, const std::string &max, const std::string &jobs,
                            const std::string &client) {
        return R"({"wall_seconds":10.000,"samples":10,"start":"x","end":"y","queues":{"render":{"busy_mean_percent":)" +
               render_mean + R"(,"busy_p95_percent":50.0,"busy_max_percent":)" + max +
               R"(,"busy_seconds":3.000,"jobs":)" + jobs + R"(,)"
               R"("average_job_ms":30.000,"gpu_busy_mean_percent":40.0}},"clients":[{"client_id":1,"pid":2,)"
               R"("process":")" + client + R"(","peak_total_bytes":1048576}],"unreadable_processes":0,"conditions":{}})";
    };
    tree.write("a.json", summary("30.0", "50.0", "100", "game"));
    tree.write("b.json", summary("45.0", "50.4", "110", "other"));
    const replayed text = replay(tree, {"--compare", tree.path("a.json"), tree.path("b.json")});
    EXPECT_EQ(text.status, 0) << text.errors;
    const auto line_of = [&text](const std::string &start) {
        for (const std::string &line : text.lines) {
            if (line.rfind(start, 0) == 0) {
                return line;
            }
        }
        return std::string();
    };
    EXPECT_EQ(line_of("render mean %").substr(40), "         30.0         45.0        +15.0     +50.0% *");
    // 10 more jobs are 10 %, and more than 0.5; 0.4 points more is 0.8 %, but
    // less than 0.5 points. A client in one run only has no change.
    EXPECT_EQ(line_of("render jobs").substr(40), "          100          110          +10     +10.0% *");
    EXPECT_EQ(line_of("render max %").substr(40), "         50.0         50.4         +0.4      +0.8%");
    EXPECT_EQ(line_of("game peak total KiB").substr(40), "         1024            -            -          -");
    EXPECT_EQ(line_of("other peak total KiB").substr(40), "            -         1024            -          -");
    const replayed json = replay(tree, {"--compare", tree.path("a.json"), tree.path("b.json"), "--json"});
    ASSERT_EQ(json.lines.size(), 1U);
    EXPECT_NE(json.lines[0].find(R"("busy_mean_percent":{"a":30.0,"b":45.0,"change":15.0,"change_percent":50.0,)"
                                 R"("marked":true})"),
              std::string::npos)
        << json.lines[0];
    const replayed refused = replay(tree, {"--compare", tree.path("a.json"), recording});
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.errors.rfind("Error: " + recording + ": ", 0), 0U) << refused.errors;
}

} // namespace
