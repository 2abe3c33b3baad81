// Following a command or a process tree with the real binary. A followed
// command runs in the fake kernel's namespace, where /proc is the fake tree:
// its shells write their real pids there, and the test writes their fake
// entries under those pids, so the census meets the real processes' pids.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>

#include <array>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

#include "end_to_end/program_run.hpp"

namespace {

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";
constexpr std::int64_t PASS_NS = 100'000'000; // the reference time of one pass

// Waits for a pid that a followed shell writes to /proc/<name>; 0 if none comes.
int read_pid_file(const kernel_tree &tree, const std::string &name)
{
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::ifstream file(tree.path("proc/" + name));
        int pid = 0;
        if (file >> pid && pid > 0) {
            return pid;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
}

// A v3d client busy on render only, with its job count and memory lines.
std::string render_client(int client_id, std::int64_t render_ns, std::int64_t jobs, const std::string &memory)
{
    return "drm-driver:\tv3d\ndrm-client-id:\t" + std::to_string(client_id) + "\ndrm-engine-render: \t" +
           std::to_string(render_ns) + " ns\nv3d-jobs-render: \t" + std::to_string(jobs) + " jobs\n" + memory;
}

// gpu_stats after `pass` passes, the render queue busy 80 % of the time.
std::string gpu_stats_at(std::int64_t pass)
{
    std::string text = "queue\ttimestamp\tjobs\truntime\n";
    for (const char *queue : {"bin", "render", "tfu", "csd", "cache_clean", "cpu"}) {
        const bool render = std::string(queue) == "render";
        text += std::string(queue) + "\t" + std::to_string(pass * PASS_NS) + "\t0\t" +
                std::to_string(render ? pass * PASS_NS * 8 / 10 : 0) + "\n";
    }
    return text;
}

std::string line_starting(const std::string &text, const std::string &start)
{
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(start, 0) == 0) {
            return line;
        }
    }
    return "";
}

std::string file_text(const std::string &path)
{
    std::ifstream file(path);
    return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The command holds client 81; its child starts a grandchild holding client 82
// and ends at once. Four passes, render per cent, worked out by hand:
//   pass        1    2    3    4
//   81         10   20   30   40   (render ns 10M, 30M, 60M, 100M; jobs 1, 3, 6, 10)
//   82         50    0   20   30   (render ns 50M, 50M, 70M, 100M; jobs 5, 5, 7, 10)
//   summed     60   20   50   70   -> mean 50.0, p95 (rank 4 of 4) 70.0, max 70.0
// busy 0.2 s over 20 jobs: 10 ms a job; the whole GPU's render 80 % busy. A
// client outside the tree (83) is busy 90 % and left out.
TEST(follow_end_to_end, summarises_the_command_tree_and_exits_with_its_status)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    std::atomic<int> program{0};
    int command = 0;
    int child = 0;
    int grandchild = 0;
    const std::array<std::int64_t, 5> command_ns = {0, 10'000'000, 30'000'000, 60'000'000, 100'000'000};
    const std::array<std::int64_t, 5> command_jobs = {0, 1, 3, 6, 10};
    const std::array<std::int64_t, 5> grandchild_ns = {0, 50'000'000, 50'000'000, 70'000'000, 100'000'000};
    const std::array<std::int64_t, 5> grandchild_jobs = {0, 5, 5, 7, 10};
    const std::array<const char *, 5> grandchild_memory = {"8 MiB", "8 MiB", "8 MiB", "16 MiB", "8 MiB"};
    const auto prepare = [&](std::size_t pass) {
        if (pass == 0) {
            while (program.load() == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            command = read_pid_file(tree, "command.pid");
            child = read_pid_file(tree, "child.pid");
            grandchild = read_pid_file(tree, "grandchild.pid");
            tree.add_process(command, "command", 0, 0, program.load());
            tree.add_process(child, "child", 0, 0, command);
            tree.add_process(grandchild, "grandchild", 0, 0, child);
            tree.add_process(4'000'000, "stranger");
        }
        if (pass == 2) {
            // The child ends; the kernel gives its orphan to the subreaper.
            tree.write("proc/child.ends", "");
            tree.remove("proc/" + std::to_string(child));
            tree.add_process(grandchild, "grandchild", 0, 0, program.load());
        }
        tree.add_fdinfo(command, 5,
                        render_client(81, command_ns[pass], command_jobs[pass],
                                      "drm-total-memory:\t15168 KiB\ndrm-resident-memory:\t15168 KiB\n"));
        tree.add_fdinfo(grandchild, 7,
                        render_client(82, grandchild_ns[pass], grandchild_jobs[pass],
                                      std::string("drm-total-memory:\t") + grandchild_memory[pass] + "\n"));
        tree.add_fdinfo(4'000'000, 3, render_client(83, static_cast<std::int64_t>(pass) * PASS_NS * 9 / 10, 0, ""));
    };
    const fifo_server stats(tree.path(GPU_STATS),
                            {gpu_stats_at(0), gpu_stats_at(1), gpu_stats_at(2), gpu_stats_at(3), gpu_stats_at(4)},
                            prepare);
    // Each wait gives up after about 30 s, so that a failed test leaves nothing running.
    const std::string script = "echo $$ > /proc/command.pid\n"
                               "sh -c 'sleep 30 & echo $! > /proc/grandchild.pid; echo $$ > /proc/child.pid;"
                               " for i in $(seq 1500); do [ -e /proc/child.ends ] && break; sleep 0.02; done' &\n"
                               "for i in $(seq 1500); do [ -e /proc/finish ] && break; sleep 0.02; done\n"
                               "kill $(cat /proc/grandchild.pid)\n"
                               "exit 3\n";
    const std::string summary_file = tree.path("summary.json");
    const std::string stream_file = tree.path("stream.csv");
    program_run run(tree, {"-d", "0.1", "--census", "0.1", "-n", "4", "--summary-json", summary_file, "--csv", "-o", stream_file, "--",
                           "sh", "-c", script});
    program.store(run.pid());
    ASSERT_TRUE(stats.wait_served(5)) << run.read_errors(std::chrono::seconds(1));
    tree.write("proc/finish", "");
    const std::string errors = run.read_errors();
    EXPECT_EQ(run.wait(), 3) << errors;

    EXPECT_NE(line_starting(errors, "v3dwatch summary: ").find(", 4 samples, "), std::string::npos) << errors;
    EXPECT_EQ(line_starting(errors, "render"),
              "render         50.0    70.0    70.0     0.200        20   10.000        80.0");
    EXPECT_EQ(line_starting(errors, "81 "), "81       " + std::to_string(command) +
                                                std::string(9 - std::to_string(command).size(), ' ') +
                                                "command                 15168 KiB        15168 KiB");
    EXPECT_EQ(line_starting(errors, "82 "), "82       " + std::to_string(grandchild) +
                                                std::string(9 - std::to_string(grandchild).size(), ' ') +
                                                "grandchild              16384 KiB                -");
    EXPECT_EQ(line_starting(errors, "83 "), "");
    EXPECT_NE(line_starting(errors, "CPU time: "), "");

    const std::string json = file_text(summary_file);
    EXPECT_NE(json.find(R"("samples":4,)"), std::string::npos) << json;
    EXPECT_NE(json.find(R"("render":{"busy_mean_percent":50.0,"busy_p95_percent":70.0,"busy_max_percent":70.0,)"
                        R"("busy_seconds":0.200,"jobs":20,"average_job_ms":10.000,"gpu_busy_mean_percent":80.0})"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find(R"({"client_id":82,"pid":)" + std::to_string(grandchild) +
                        R"(,"process":"grandchild","peak_total_bytes":16777216})"),
              std::string::npos)
        << json;
    EXPECT_EQ(json.find(R"("client_id":83)"), std::string::npos) << json;

    // The stream went to the file of -o: the two followed clients, four passes.
    std::istringstream stream(file_text(stream_file));
    std::string line;
    std::getline(stream, line);
    EXPECT_EQ(line, "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%");
    std::multiset<std::string> clients;
    while (std::getline(stream, line)) {
        clients.insert(split_csv_fields(line)[1]);
    }
    EXPECT_EQ(clients, (std::multiset<std::string>{"81", "81", "81", "81", "82", "82", "82", "82"}));
}

// The command's status is v3dwatch's: its own, or 128 + the signal that ended
// it. SIGINT from the terminal reaches both; v3dwatch outlives the command and
// still writes the summary.
TEST(follow_end_to_end, ends_with_the_status_of_the_command)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    const std::vector<std::pair<std::string, int>> commands = {{"exit 0", 0}, {"exit 3", 3}, {"kill -TERM $$", 143}};
    for (const auto &[script, status] : commands) {
        program_run run(tree, {"-d", "0.1", "--census", "0.1", "--", "sh", "-c", script});
        const std::string errors = run.read_errors();
        EXPECT_EQ(run.wait(), status) << script;
        EXPECT_EQ(errors.rfind("v3dwatch summary: ", 0), 0U) << errors;
    }

    program_run run(tree, {"-d", "0.1", "--census", "0.1", "--", "sh", "-c", "echo $$ > /proc/command.pid; exec sleep 30"});
    const int command = read_pid_file(tree, "command.pid");
    ASSERT_NE(command, 0);
    run.signal(SIGINT);
    ::kill(command, SIGINT);
    const std::string errors = run.read_errors();
    EXPECT_EQ(run.wait(), 128 + SIGINT);
    EXPECT_EQ(errors.rfind("v3dwatch summary: ", 0), 0U) << errors;
}

// As shells do: 127 for a command not found, 126 for one that cannot be run,
// with one line and nothing else.
TEST(follow_end_to_end, refuses_a_command_that_cannot_run)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    tree.write("not_executable", "echo hello\n");
    const std::string missing = tree.path("no_such_command");
    const std::string plain = tree.path("not_executable");
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {missing, 127, "Error: cannot run " + missing + ": No such file or directory\n"},
        {plain, 126, "Error: cannot run " + plain + ": Permission denied\n"},
    };
    for (const auto &[command, status, message] : cases) {
        program_run run(tree, {"--", command});
        EXPECT_TRUE(run.read_all().empty());
        EXPECT_EQ(run.read_errors(), message);
        EXPECT_EQ(run.wait(), status);
    }
}

// -p 100: 100, its child 200 and grandchild 300 are listed, 400 is not; when
// all three have ended the CSV stream ends, with status 0.
TEST(follow_end_to_end, follows_a_running_tree_until_it_ends)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    const auto prepare = [&tree](std::size_t pass) {
        if (pass == 0) {
            tree.add_process(100, "root");
            tree.add_process(200, "child", 0, 0, 100);
            tree.add_process(300, "grandchild", 0, 0, 200);
            tree.add_process(400, "stranger");
            for (const int pid : {100, 200, 300, 400}) {
                tree.add_v3d_client(pid, 5, pid / 100 + 80, 0, 0, 0);
            }
        }
        for (const int pid : {100, 200, 300, 400}) {
            tree.add_v3d_client(pid, 5, pid / 100 + 80, static_cast<std::int64_t>(pass) * PASS_NS / 10, 0, 0);
        }
        if (pass == 2) {
            for (const int pid : {100, 200, 300}) {
                tree.remove("proc/" + std::to_string(pid));
            }
        }
    };
    prepare(0);
    tree.set_gpu_stats(1000);
    {
        program_run missing(tree, {"--csv", "-p", "100,999"});
        EXPECT_EQ(missing.read_errors(), "Error: no process 999\n");
        EXPECT_EQ(missing.wait(), 1);
    }
    const fifo_server stats(tree.path(GPU_STATS), {gpu_stats_at(0), gpu_stats_at(1), gpu_stats_at(2)}, prepare);
    program_run run(tree, {"--csv", "-d", "0.1", "--census", "0.1", "-p", "100,200", "--wall-clock"});
    const std::vector<std::string> lines = run.read_all();
    EXPECT_EQ(run.wait(), 0) << run.read_errors(std::chrono::seconds(1));
    std::set<std::string> pids;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        const std::vector<std::string> fields = split_csv_fields(lines[index]);
        pids.insert(fields[2]);
        EXPECT_EQ(fields[4], "10.0") << lines[index];
        EXPECT_NEAR(std::stod(fields[0]), static_cast<double>(::time(nullptr)), 60.0) << "Unix time";
    }
    EXPECT_EQ(pids, (std::set<std::string>{"100", "200", "300"}));
    EXPECT_EQ(lines.size(), 4U);
}

// A wrong output refuses the run before the command starts, two outputs of
// one file are refused before either is written, and a command that cannot
// start leaves the files as they were.
TEST(follow_end_to_end, refuses_wrong_outputs_before_the_command_and_loses_no_file)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    tree.write("kept.out", "kept\n");
    const std::string ran = tree.path("ran");
    const std::string missing = tree.path("missing/x.prom");
    const std::string same = tree.path("same.out");
    const std::string kept = tree.path("kept.out");
    const std::string fresh = tree.path("fresh.out");
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"--prometheus", missing, "--", "sh", "-c", "echo ran > " + ran}, 1,
         "Error: cannot write metrics file " + missing + ": No such file or directory\n"},
        {{"--csv", "-o", same, "--summary-json", same, "-n", "2"}, 1,
         "Error: two outputs name the same file: " + same + "\n"},
        {{"--csv", "-o", kept, "--summary-json", tree.root() + "/./kept.out", "--", "sh", "-c", "echo ran > " + ran},
         1, "Error: two outputs name the same file: " + tree.root() + "/./kept.out\n"},
        {{"--csv", "-o", kept, "--summary-json", fresh, "--", "no-such-command"}, 127,
         "Error: cannot run no-such-command: No such file or directory\n"},
    };
    for (const auto &[arguments, status, message] : cases) {
        SCOPED_TRACE(arguments.back());
        program_run run(tree, arguments);
        EXPECT_EQ(run.read_errors(), message);
        EXPECT_EQ(run.wait(), status);
        EXPECT_FALSE(std::filesystem::exists(ran)) << "the command ran";
        EXPECT_FALSE(std::filesystem::exists(same) || std::filesystem::exists(fresh));
        EXPECT_EQ(file_text(kept), "kept\n");
    }
}

// A command that ends at once still has one interval, from its start to its
// end: the whole GPU's render queue was 80 % busy over it. A client busy only
// on csd counts in the summary, though the default CSV does not list it:
// 50 % of the queue's time in each of two passes, 0.1 s busy in all.
TEST(follow_end_to_end, summarises_a_short_command_and_every_client_busy_on_any_queue)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "renderer");
    tree.add_process(200, "compute");
    const auto prepare = [&tree](std::size_t pass) {
        const auto gained = static_cast<std::int64_t>(pass) * PASS_NS / 2;
        tree.add_fdinfo(100, 3, render_client(81, gained, 0, ""));
        tree.add_fdinfo(200, 3,
                        "drm-driver:\tv3d\ndrm-client-id:\t82\ndrm-engine-render:\t0 ns\ndrm-engine-csd:\t" +
                            std::to_string(gained) + " ns\n");
    };
    {
        const fifo_server stats(tree.path(GPU_STATS), {gpu_stats_at(0), gpu_stats_at(1)}, prepare);
        program_run run(tree, {"--", "sh", "-c", "exit 3"});
        const std::string errors = run.read_errors();
        EXPECT_EQ(run.wait(), 3);
        EXPECT_NE(line_starting(errors, "v3dwatch summary: ").find(" s, 1 sample, "), std::string::npos) << errors;
        EXPECT_EQ(line_starting(errors, "render"),
                  "render          0.0     0.0     0.0     0.000         0        -        80.0")
            << errors;
    }
    const fifo_server stats(tree.path(GPU_STATS), {gpu_stats_at(0), gpu_stats_at(1), gpu_stats_at(2)}, prepare);
    program_run run(tree, {"--csv", "--summary", "-n", "2", "-d", "0.1", "--census", "0.1"});
    const std::vector<std::string> lines = run.read_all();
    const std::string errors = run.read_errors();
    EXPECT_EQ(run.wait(), 0);
    ASSERT_EQ(lines.size(), 3U);
    for (std::size_t index = 1; index < lines.size(); ++index) {
        EXPECT_EQ(split_csv_fields(lines[index])[1], "81") << lines[index];
    }
    EXPECT_EQ(line_starting(errors, "csd"), "csd            50.0    50.0    50.0     0.100         0        -         0.0");
    EXPECT_EQ(line_starting(errors, "82 "), "82       200      compute                         -                -");
}

bool process_alive(int pid)
{
    return ::kill(pid, 0) == 0;
}

// Whether this kernel, or the emulator this test runs under, lets a process
// become a child subreaper: qemu's user emulation does not.
bool subreaper_available()
{
    const pid_t child = ::fork();
    if (child == 0) {
        ::_exit(::prctl(PR_SET_CHILD_SUBREAPER, 1) == 0 ? 0 : 1);
    }
    int status = 0;
    return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The run lasts as long as anything below the command, and a stop passed on
// reaches all of it: a background child outlives a command that ends at
// once, and SIGTERM leaves nothing of `sleep 30 & wait` running.
TEST(follow_end_to_end, follows_the_tree_to_its_end_and_leaves_nothing_running)
{
    REQUIRE_NAMESPACES();
    if (!subreaper_available()) {
        GTEST_SKIP() << "no child subreaper can be made here (qemu user emulation), so orphans go to init";
    }
    kernel_tree tree;
    tree.set_gpu_stats(1000);
    {
        const auto start = std::chrono::steady_clock::now();
        program_run run(tree, {"-d", "0.1", "--census", "0.1", "--", "sh", "-c", "sleep 1 &"});
        const std::string errors = run.read_errors();
        EXPECT_EQ(run.wait(), 0);
        EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(950));
        EXPECT_EQ(line_starting(errors, "v3dwatch summary: ").find(", 1 sample, "), std::string::npos) << errors;
    }
    std::atomic<int> program{0};
    int command = 0;
    int background = 0;
    const auto prepare = [&](std::size_t pass) {
        if (pass == 1) {
            command = read_pid_file(tree, "command.pid");
            background = read_pid_file(tree, "background.pid");
            tree.add_process(command, "sh", 0, 0, program.load());
            tree.add_process(background, "sleep", 0, 0, command);
        }
    };
    const fifo_server stats(tree.path(GPU_STATS), {gpu_stats_at(0), gpu_stats_at(1), gpu_stats_at(2)}, prepare);
    program_run run(tree, {"-d", "0.1", "--census", "0.1", "--", "sh", "-c",
                           "echo $$ > /proc/command.pid; sleep 30 & echo $! > /proc/background.pid; wait"});
    program.store(run.pid());
    ASSERT_TRUE(stats.wait_served(4)) << "a census after the tree was written";
    ASSERT_TRUE(background != 0 && process_alive(background));
    run.signal(SIGTERM);
    const std::string errors = run.read_errors();
    EXPECT_EQ(run.wait(), 128 + SIGTERM) << errors;
    EXPECT_FALSE(process_alive(background)) << "sleep 30 outlived v3dwatch";
    EXPECT_EQ(errors.rfind("v3dwatch summary: ", 0), 0U) << errors;
}

} // namespace
