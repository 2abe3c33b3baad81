// The terminal view of the real binary, inside tmux: the screen, the keys, and
// the terminal handed back.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "end_to_end/program_run.hpp"
#include "end_to_end/tmux_session.hpp"

namespace {

const std::string HEADINGS = "Client  PID      Process            render      tfu      bin      CPU";
const std::string RULE(70, '-');

const char *const GPU_STATS = "sys/class/drm/card0/device/gpu_stats";

// The queues in the order the kernel writes them, in gpu_stats and in fdinfo.
constexpr std::array<const char *, 6> QUEUES = {"bin", "render", "tfu", "csd", "cache_clean", "cpu"};
using queue_values = std::array<std::int64_t, 6>;

// A client whose queues gain the same busy time at every sample, in kernel order.
// It is busy from the baseline sample on, so its CPU time has two readings at
// the first frame.
struct steady_client {
    int pid;
    std::string name;
    int client_id;
    queue_values gain;
    std::string memory;             // the memory lines; none on an older kernel
    std::size_t queue_count = 6;    // the first queues listed; 3 on an older kernel
};

std::string steady_fdinfo(const steady_client &client, std::int64_t sample)
{
    std::string text = "pos:\t0\nflags:\t02400002\ndrm-driver:\tv3d\ndrm-client-id:\t" +
                       std::to_string(client.client_id) + "\n";
    for (std::size_t queue = 0; queue < client.queue_count; ++queue) {
        text += std::string("drm-engine-") + QUEUES[queue] + ": \t" + std::to_string(client.gain[queue] * (sample + 1)) +
                " ns\nv3d-jobs-" + QUEUES[queue] + ": \t" + std::to_string(sample) + " jobs\n";
    }
    return text + client.memory;
}

// gpu_stats of sample `sample`: 0.1 s of the GPU's clock per sample, and per
// queue `jobs` jobs and `runtime` busy nanoseconds more each time.
std::string steady_gpu_stats(std::int64_t sample, const queue_values &jobs, const queue_values &runtime)
{
    std::string text = "queue\ttimestamp\tjobs\truntime\n";
    for (std::size_t queue = 0; queue < QUEUES.size(); ++queue) {
        text += std::string(QUEUES[queue]) + "\t" + std::to_string(1'000'000'000 + 100'000'000 * sample) + "\t" +
                std::to_string(jobs[queue] * sample) + "\t" + std::to_string(runtime[queue] * sample) + "\n";
    }
    return text;
}

class terminal_end_to_end : public ::testing::Test {
protected:
    kernel_tree tree;

    void add_two_clients() const
    {
        tree.set_gpu_stats(1000);
        tree.add_process(100, "game", 1, 1);
        tree.add_v3d_client(100, 5, 81, 10, 0, 0);
        tree.add_process(200, "a-very-long-process-name", 1, 1);
        tree.add_v3d_client(200, 5, 82, 0, 10, 0);
    }

    // v3dwatch with `arguments` under `locale`, its pid and then its exit
    // status written beside the tree; the pane stays open afterwards.
    std::string command(const std::string &arguments = "", const std::string &locale = "C") const
    {
        // A trap, not an ignored signal, so that Ctrl-C ends only v3dwatch.
        // The inner shell execs, so the pid it writes becomes v3dwatch's.
        tree.write("run", "trap : INT\n"
                          "echo starting v3dwatch\n"
                          "sh -c 'echo $$ > " + tree.path("pid") + "; exec env LC_ALL= LC_CTYPE= LANG=" + locale +
                              " \"$@\"' v3dwatch " + FAKE_KERNEL_RUN + " " + tree.root() + " " + V3DWATCH_BINARY +
                              " " + arguments + "\n"
                              "echo $? > " + status_path() + "\n"
                              "exec sleep 600\n");
        return "sh " + tree.path("run");
    }
    std::string status_path() const { return tree.root() + "/status"; }
    pid_t program_pid() const
    {
        std::ifstream in(tree.path("pid"));
        pid_t pid = 0;
        in >> pid;
        return pid;
    }

    // The exit status once the program has ended, or "" while it runs.
    std::string status(int tenths = 50) const
    {
        for (int attempt = 0; attempt < tenths; ++attempt) {
            std::ifstream in(status_path());
            std::string text;
            if (std::getline(in, text) && !text.empty()) {
                return text;
            }
            ::usleep(100'000);
        }
        return "";
    }
};

TEST_F(terminal_end_to_end, draws_the_table)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    const tmux_session session(command());
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation")) << ::testing::PrintToString(session.screen());
    ASSERT_TRUE(session.wait_for_line(5, "    82  200      a-very-long-process-name     0.0%     0.0%     0.0%     0.0%") ||
                session.wait_for_line(5, "    81  100      game                 0.0%     0.0%     0.0%     0.0%"));
    // capture-pane leaves out the empty lines at the bottom.
    std::vector<std::string> lines = session.screen();
    ASSERT_GE(lines.size(), 6U);
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(lines[2], HEADINGS);
    EXPECT_EQ(lines[3], RULE);
    std::vector<std::string> clients = {lines[4], lines[5]};
    std::sort(clients.begin(), clients.end());
    EXPECT_EQ(clients[0], "    81  100      game                 0.0%     0.0%     0.0%     0.0%");
    EXPECT_EQ(clients[1], "    82  200      a-very-long-process-name     0.0%     0.0%     0.0%     0.0%");
    for (std::size_t row = 6; row < lines.size(); ++row) {
        EXPECT_EQ(lines[row], "") << "row " << row;
    }
    EXPECT_EQ(session.display("#{cursor_flag}"), "0") << "the cursor is hidden";
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

// Input that never pauses (a key held down over a slow link, or input piped
// in) does not keep the view from sampling: frames keep coming at the interval.
TEST_F(terminal_end_to_end, keeps_sampling_through_a_flood_of_keys)
{
    REQUIRE_NAMESPACES();
    tree.add_process(100, "game", 1, 1);
    tree.add_v3d_client(100, 5, 81, 10, 0, 0);
    const fifo_server stats(tree.path(GPU_STATS), {kernel_tree::gpu_stats(1000)});
    const tmux_session session("yes | " + command("-d 0.2 --census 0.2"));
    EXPECT_TRUE(session.wait_for_line(4, "    81  100      game                 0.0%     0.0%     0.0%     0.0%"))
        << ::testing::PrintToString(session.screen());
    EXPECT_TRUE(stats.wait_served(10)) << "a sample each interval, not one";
    ::kill(program_pid(), SIGTERM);
    EXPECT_EQ(status(), "0");
}

TEST_F(terminal_end_to_end, quits_on_q_Q_ctrl_c_or_sigquit_and_hands_the_terminal_back)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    for (const std::string quit : {"q", "Q", "C-c", "SIGQUIT"}) {
        SCOPED_TRACE(quit);
        std::filesystem::remove(status_path());
        const tmux_session session(command());
        ASSERT_TRUE(session.wait_for_line(3, RULE));
        if (quit == "q") {
            session.send_keys("Space");
            EXPECT_TRUE(session.wait_for_line(0, "GPU Utilisation - frozen, space resumes"));
            EXPECT_EQ(status(20), "") << "the space bar only freezes the screen";
        }
        if (quit == "SIGQUIT") {
            ::kill(program_pid(), SIGQUIT);
        } else {
            session.send_keys(quit);
        }
        EXPECT_EQ(status(), "0");
        // The terminal is handed back: normal screen with what it held before, cursor shown.
        EXPECT_EQ(session.display("#{alternate_on} #{cursor_flag}"), "0 1");
        const std::vector<std::string> lines = session.screen();
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "starting v3dwatch");
        EXPECT_EQ(std::count(lines.begin(), lines.end(), RULE), 0);
    }
}

// A terminal with no cursor addressing would get the whole view on one line:
// refused at start, with one line and nothing drawn.
TEST_F(terminal_end_to_end, refuses_a_terminal_that_cannot_place_the_cursor)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    const tmux_session session(command("", "C TERM=dumb"));
    EXPECT_EQ(status(), "1");
    std::vector<std::string> lines = session.screen();
    lines.erase(std::remove(lines.begin(), lines.end(), ""), lines.end());
    // A sanitizer build may add warnings of its own between the two.
    ASSERT_GE(lines.size(), 2U);
    EXPECT_EQ(lines.front(), "starting v3dwatch");
    EXPECT_EQ(lines.back(), "Error: this terminal cannot place the cursor; use --csv or --json instead");
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const std::string &line) { return line.find("GPU Utilisation") != std::string::npos; }),
              0);
}

// Colour where asked: --color always colours even the default view (the
// render heading in magenta, a calm figure in green), never leaves -a plain,
// and the default view with no key stays as it was; c switches it.
TEST_F(terminal_end_to_end, colours_the_view_where_asked)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    constexpr const char *MAGENTA = "\x1b[35m";
    constexpr const char *GREEN = "\x1b[32m";
    for (const auto &[arguments, coloured] :
         {std::pair{"--color always", true}, {"-a --color never", false}, {"", false}}) {
        SCOPED_TRACE(arguments);
        std::filesystem::remove(status_path());
        const tmux_session session(command(arguments));
        // The first frame's figures, after the headings.
        bool figures_shown = false;
        for (int tenth = 0; tenth < 50 && !figures_shown; ++tenth) {
            const std::vector<std::string> lines = session.screen();
            figures_shown = std::any_of(lines.begin(), lines.end(), [](const std::string &line) {
                return line.find("game") != std::string::npos && line.find("0.0%") != std::string::npos;
            });
            ::usleep(100'000);
        }
        ASSERT_TRUE(figures_shown) << ::testing::PrintToString(session.screen());
        const std::string screen = session.escaped_screen();
        EXPECT_EQ(screen.find(MAGENTA) != std::string::npos, coloured) << screen;
        EXPECT_EQ(screen.find(GREEN) != std::string::npos, coloured) << screen;
        if (!coloured) {
            session.send_keys("c");
            for (int tenth = 0; tenth < 50 && session.escaped_screen().find(MAGENTA) == std::string::npos; ++tenth) {
                ::usleep(100'000);
            }
            EXPECT_NE(session.escaped_screen().find(MAGENTA), std::string::npos) << "c turns colour on";
        }
        session.send_keys("q");
        EXPECT_EQ(status(), "0");
    }
}

// --sort starts sorted by a column; S goes back through the columns, past
// census order to the last.
TEST_F(terminal_end_to_end, sorts_from_the_command_line_and_backwards)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    const tmux_session session(command("--sort tfu"));
    // The sorted heading is marked with a * before it.
    const auto marked = [](const char *heading) {
        std::string line = HEADINGS;
        line[line.find(heading) - 1] = '*';
        return line;
    };
    ASSERT_TRUE(session.wait_for_line(2, marked("tfu"))) << ::testing::PrintToString(session.screen());
    session.send_keys("S");
    EXPECT_TRUE(session.wait_for_line(2, marked("render"))) << ::testing::PrintToString(session.screen());
    session.send_keys("S");
    EXPECT_TRUE(session.wait_for_line(2, HEADINGS)) << ::testing::PrintToString(session.screen());
    session.send_keys("S");
    EXPECT_TRUE(session.wait_for_line(2, marked("CPU"))) << ::testing::PrintToString(session.screen());
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

// With -a, the GPU's conditions under its block, in capitals where the supply
// sags, and the name an application gave its client after its process's.
TEST_F(terminal_end_to_end, all_queues_show_the_conditions_and_the_client_name)
{
    REQUIRE_NAMESPACES();
    add_two_clients();
    tree.add_fdinfo(100, 5, "pos:\t0\ndrm-driver:\tv3d\ndrm-client-id:\t81\ndrm-client-name:\tstk-main\n"
                            "drm-engine-render: \t10 ns\n");
    tree.write("sys/kernel/debug/clk/fw-clk-v3d/clk_enable_count", "1\n");
    tree.write("sys/kernel/debug/clk/fw-clk-v3d/clk_rate", "500000000\n");
    tree.write("sys/kernel/debug/clk/fw-clk-v3d/clk_max_rate", "960000000\n");
    tree.write("sys/class/thermal/thermal_zone0/temp", "61500\n");
    tree.write("sys/class/hwmon/hwmon0/in0_lcrit_alarm", "1\n");
    tree.write("sys/devices/system/cpu/cpufreq/policy0/scaling_cur_freq", "2400000\n");
    const tmux_session session(command("-a -d 0.2"));
    ASSERT_TRUE(session.wait_for_line(6, "clock 500/960 MHz  SoC 61.5 C  CPU 2.4 GHz  !! UNDER-VOLTAGE !!"))
        << ::testing::PrintToString(session.screen());
    const std::vector<std::string> lines = session.screen();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                            [](const std::string &line) { return line.find("  game [stk-main]  ") != std::string::npos; }))
        << ::testing::PrintToString(lines);
    // The chart's 86 columns of 0.2 s, under its bands.
    EXPECT_TRUE(std::find(lines.begin(), lines.end(), std::string(14, ' ') + "each band 0-100 %, last 17 s") !=
                lines.end())
        << ::testing::PrintToString(lines);
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

TEST_F(terminal_end_to_end, all_queues_at_80_and_132_columns_sorted_and_with_help)
{
    REQUIRE_NAMESPACES();
    // Per sample of 0.1 s: client 81 gains 10 ms of bin, 50 ms of render and
    // 1 ms of cache_clean; 82 computes only (75 ms of csd, 2.5 ms of cpu
    // jobs); 83 runs on a kernel without memory keys or the later queues.
    const std::vector<steady_client> clients = {
        {100, "glmark2", 81, {10'000'000, 50'000'000, 0, 0, 1'000'000, 0},
         "drm-total-memory:\t15168 KiB\ndrm-shared-memory:\t9336 KiB\ndrm-resident-memory:\t8 MiB\n"},
        {200, "clpeak", 82, {0, 0, 0, 75'000'000, 0, 2'500'000}, "drm-total-memory:\t512\ndrm-resident-memory:\t0\n"},
        {300, "old-kernel", 83, {0, 20'000'000, 5'000'000, 0, 0, 0}, "", 3},
    };
    for (const steady_client &client : clients) {
        tree.add_process(client.pid, client.name, 7, 3);
    }
    std::vector<std::string> texts;
    for (std::int64_t sample = 0; sample < 100; ++sample) {
        texts.push_back(steady_gpu_stats(sample, {5, 20, 1, 1, 3, 2},
                                         {10'000'000, 70'000'000, 5'000'000, 75'000'000, 1'000'000, 2'500'000}));
    }
    const fifo_server stats(tree.path(GPU_STATS), texts, [&](std::size_t sample) {
        for (const steady_client &client : clients) {
            tree.add_fdinfo(client.pid, 4, steady_fdinfo(client, static_cast<std::int64_t>(sample)));
        }
    });
    const tmux_session session(command("-a -d 0.2 --census 0.2"), 80, 24);

    // 80 columns: whole columns only, from the left, as far as csd, and the
    // rule's arrow says that more follow. A job's length is Δruntime / Δjobs:
    // 10 ms / 5 on bin, 1 ms / 3 on cache_clean, 2.5 ms / 2 on cpu (a tie,
    // which printf rounds to even).
    const std::vector<std::string> top_80 = {
        "GPU Utilisation",
        "",
        // The queues in the view's one order, the driver's cpu queue as cpu_job.
        "GPU      render      tfu      bin      csd cache_clean  cpu_job",
        "busy      70.0%     5.0%    10.0%    75.0%        1.0%     2.5%",
        "jobs/s    200.0     10.0     50.0     10.0        30.0     20.0",
        "job ms      3.5      5.0      2.0     75.0         0.3      1.2",
        "",
        "Client  PID      Process             render      tfu      bin      CPU      csd",
        std::string(79, '-') + ">",
    };
    ASSERT_TRUE(session.wait_for_line(3, top_80[3])) << ::testing::PrintToString(session.screen());
    // g hides the history chart that -a shows.
    session.send_keys("g");
    ASSERT_TRUE(session.wait_for_line(7, top_80[7])) << ::testing::PrintToString(session.screen());
    std::vector<std::string> lines = session.screen();
    ASSERT_GE(lines.size(), 12U);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 9), top_80);
    std::vector<std::string> rows(lines.begin() + 9, lines.begin() + 12);
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (std::vector<std::string>{
                        "    81  100      glmark2              50.0%     0.0%    10.0%     0.0%     0.0%",
                        "    82  200      clpeak                0.0%     0.0%     0.0%     0.0%    75.0%",
                        "    83  300      old-kernel           20.0%     5.0%     0.0%     0.0%        -",
                    }));

    // s: the busiest render client first, its heading marked.
    session.send_keys("s");
    ASSERT_TRUE(session.wait_for_line(7, "Client  PID      Process             *render      tfu      bin      CPU      csd"));
    lines = session.screen();
    EXPECT_EQ(lines.at(9), "    81  100      glmark2               50.0%     0.0%    10.0%     0.0%     0.0%");
    EXPECT_EQ(lines.at(10), "    83  300      old-kernel            20.0%     5.0%     0.0%     0.0%        -");

    // ? shows the keys until the next key.
    session.send_keys("?");
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation: keys"));
    EXPECT_EQ(session.screen().at(7), "                csd, cache_clean, cpu_job, total, resident");
    session.send_keys("x");
    ASSERT_TRUE(session.wait_for_line(0, "GPU Utilisation"));

    // 132 columns: everything, the order and the mark kept. The resize
    // signal may cut short the sample that waits on the statistics FIFO, so
    // the figures are awaited past that one frame of zeros.
    session.resize(132, 40);
    const std::vector<std::string> table_132 = {
        "Client  PID      Process             *render      tfu      bin      CPU      csd    cache_clean    cpu_job"
        "      total   resident",
        std::string(129, '-'),
        "    81  100      glmark2               50.0%     0.0%    10.0%     0.0%     0.0%           1.0%       0.0%"
        "   14.8 MiB    8.0 MiB",
        "    83  300      old-kernel            20.0%     5.0%     0.0%     0.0%        -              -          -"
        "          -          -",
        "    82  200      clpeak                 0.0%     0.0%     0.0%     0.0%    75.0%           0.0%       2.5%"
        "      512 B        0 B",
    };
    ASSERT_TRUE(session.wait_for_line(9, table_132[2])) << ::testing::PrintToString(session.screen());
    lines = session.screen();
    ASSERT_GE(lines.size(), 12U);
    EXPECT_EQ(std::vector<std::string>(lines.begin() + 7, lines.begin() + 12), table_132);
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

TEST_F(terminal_end_to_end, reaches_sixty_clients_in_24_lines_and_follows_a_resize)
{
    REQUIRE_NAMESPACES();
    tree.set_gpu_stats(1000);
    for (int client = 0; client < 60; ++client) {
        tree.add_process(1000 + client, "client" + std::to_string(client), 1, 1);
        tree.add_v3d_client(1000 + client, 5, 2000 + client, 10, 0, 0);
    }
    const tmux_session session(command("-d 0.1 --census 0.1"), 80, 24);
    // The client ids on screen; every other line below the rule is the count.
    std::set<std::string> seen;
    const auto shown_clients = [&session, &seen](std::size_t expected_rows) {
        const std::vector<std::string> lines = session.screen();
        EXPECT_EQ(lines.size(), 4 + expected_rows + 1);
        for (std::size_t row = 4; row < 4 + expected_rows && row < lines.size(); ++row) {
            EXPECT_EQ(lines[row].size(), 69U) << lines[row];
            seen.insert(lines[row].substr(0, 6));
        }
    };
    ASSERT_TRUE(session.wait_for_line(23, "Clients 1-19 of 60")) << ::testing::PrintToString(session.screen());
    shown_clients(19);
    for (const char *page : {"Clients 20-38 of 60", "Clients 39-57 of 60"}) {
        session.send_keys("NPage");
        ASSERT_TRUE(session.wait_for_line(23, page));
        shown_clients(19);
    }
    session.send_keys("End");
    ASSERT_TRUE(session.wait_for_line(23, "Clients 42-60 of 60"));
    shown_clients(19);
    EXPECT_EQ(seen.size(), 60U) << "every client has been on screen";
    session.send_keys("Up");
    ASSERT_TRUE(session.wait_for_line(23, "Clients 41-59 of 60"));

    // Taller: the position is kept in range; back: nothing of the larger screen stays.
    session.resize(100, 30);
    ASSERT_TRUE(session.wait_for_line(29, "Clients 36-60 of 60")) << ::testing::PrintToString(session.screen());
    shown_clients(25);
    session.resize(80, 24);
    ASSERT_TRUE(session.wait_for_line(23, "Clients 36-54 of 60")) << ::testing::PrintToString(session.screen());
    shown_clients(19);
    EXPECT_EQ(session.screen().at(2), HEADINGS);
    session.send_keys("Home");
    ASSERT_TRUE(session.wait_for_line(23, "Clients 1-19 of 60"));

    // Equal figures keep census order when sorted.
    const std::vector<std::string> census = session.screen();
    session.send_keys("s");
    ASSERT_TRUE(session.wait_for_line(2, "Client  PID      Process           *render      tfu      bin      CPU"));
    const std::vector<std::string> sorted = session.screen();
    EXPECT_EQ(std::vector<std::string>(sorted.begin() + 3, sorted.end()),
              std::vector<std::string>(census.begin() + 3, census.end()));
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

TEST_F(terminal_end_to_end, shows_names_as_characters_of_the_locale)
{
    REQUIRE_NAMESPACES();
    tree.set_gpu_stats(1000);
    // The kernel cuts names at 15 bytes, here in the middle of the last character.
    // Format characters (a zero-width joiner, a right-to-left override) would
    // move the cells after them or turn the text round; a combining mark stays.
    const std::vector<std::string> names = {"caf\xC3\xA9", "\xE7\x94\xBB\xE9\x9D\xA2", "bad\xFFname",
                                            "\xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE\xD0\x92\xD0\xB8\xD0",
                                            "a\u200Db", "c\u200Dd", "\uFF46\uFF55\uFF4C\uFF4C", "nai\u0308ve",
                                            "\u202Eevil"};
    for (std::size_t client = 0; client < names.size(); ++client) {
        const int pid = 100 * static_cast<int>(client + 1);
        tree.add_process(pid, names[client], 1, 1);
        tree.add_v3d_client(pid, 5, 81 + static_cast<int>(client), 10, 0, 0);
    }
    const std::string zeros = "     0.0%     0.0%     0.0%     0.0%";
    const std::map<std::string, std::vector<std::string>> expected = {
        {"C.UTF-8",
         {"    81  100      caf\xC3\xA9            " + zeros, "    82  200      \xE7\x94\xBB\xE9\x9D\xA2            " + zeros,
          "    83  300      bad?name        " + zeros,
          "    84  400      \xD0\x92\xD0\xB8\xD0\xB4\xD0\xB5\xD0\xBE\xD0\x92\xD0\xB8?        " + zeros,
          "    85  500      a?b             " + zeros, "    86  600      c?d             " + zeros,
          "    87  700      \uFF46\uFF55\uFF4C\uFF4C        " + zeros, "    88  800      nai\u0308ve           " + zeros,
          "    89  900      ?evil           " + zeros}},
        {"C",
         {"    81  100      caf??           " + zeros, "    82  200      ??????          " + zeros,
          "    83  300      bad?name        " + zeros, "    84  400      ??????????????? " + zeros,
          "    85  500      a???b           " + zeros, "    86  600      c???d           " + zeros,
          "    87  700      ????????????    " + zeros, "    88  800      nai??ve         " + zeros,
          "    89  900      ???evil         " + zeros}},
    };
    for (const auto &[locale, rows] : expected) {
        SCOPED_TRACE(locale);
        std::filesystem::remove(status_path());
        const tmux_session session(command("-d 0.1 --census 0.1", locale), 80, 24);
        ASSERT_TRUE(session.wait_for_line(3, RULE));
        std::vector<std::string> lines;
        for (int attempt = 0; attempt < 50 && lines.size() < 4 + names.size(); ++attempt) {
            ::usleep(100'000);
            lines = session.screen();
        }
        ASSERT_EQ(lines.size(), 4 + names.size());
        std::vector<std::string> shown(lines.begin() + 4, lines.end());
        std::sort(shown.begin(), shown.end());
        EXPECT_EQ(shown, rows);
        session.send_keys("q");
        EXPECT_EQ(status(), "0");
    }
}

// Render busy for 0, 50 and 100 % of each 0.1 s step in turn: its runtime
// after sample `sample`.
std::int64_t stepped_runtime(std::int64_t sample)
{
    std::int64_t total = 0;
    for (std::int64_t step = 1; step <= sample; ++step) {
        total += 50'000'000 * ((step - 1) % 3);
    }
    return total;
}

std::string repeated(const std::string &text, int count)
{
    std::string result;
    for (int time = 0; time < count; ++time) {
        result += text;
    }
    return result;
}

TEST_F(terminal_end_to_end, charts_known_steps_frozen_across_a_resize)
{
    REQUIRE_NAMESPACES();
    tree.add_process(100, "steps", 1, 1);
    std::vector<std::string> texts;
    for (std::int64_t sample = 0; sample < 600; ++sample) {
        std::string text = "queue\ttimestamp\tjobs\truntime\n";
        for (const char *queue : QUEUES) {
            text += std::string(queue) + "\t" + std::to_string(1'000'000'000 + 100'000'000 * sample) + "\t0\t" +
                    std::to_string(std::string(queue) == "render" ? stepped_runtime(sample) : 0) + "\n";
        }
        texts.push_back(text);
    }
    // Per locale: the chart's cells for 0, 50 and 100 % in one line, and the
    // sparkline of passes 11 to 20 (50, 100, 0 % three times, then 50 %).
    struct drawing {
        std::string locale, half_cell, full_cell, sparkline;
    };
    for (const drawing &chart :
         {drawing{"C", ":", "#", ":#_:#_:#_:"},
          drawing{"C.UTF-8", "\u2584", "\u2588", repeated("\u2585\u2588\u2581", 3) + "\u2585"}}) {
        SCOPED_TRACE(chart.locale);
        std::filesystem::remove(status_path());
        // The sample of pass 20 waits until the space bar is on its way, so
        // the screen freezes on pass 20: 0, 50, 100 % six times, then 0 and 50 %.
        std::atomic<bool> waiting{false};
        std::atomic<bool> freezing{false};
        const fifo_server stats(tree.path(GPU_STATS), texts, [&](std::size_t sample) {
            waiting = sample == 20;
            for (int tenth = 0; sample == 20 && !freezing && tenth < 100; ++tenth) {
                ::usleep(100'000);
            }
            tree.add_fdinfo(100, 4, "drm-driver:\tv3d\ndrm-client-id:\t1\ndrm-engine-render:\t" +
                                        std::to_string(stepped_runtime(static_cast<std::int64_t>(sample))) + " ns\n");
        });
        const tmux_session session(command("-d 0.1 --census 0.1", chart.locale), 80, 24);
        ASSERT_TRUE(session.wait_for_line(3, RULE));
        session.send_keys("g");
        for (int tenth = 0; tenth < 100 && !waiting; ++tenth) {
            ::usleep(100'000);
        }
        ASSERT_TRUE(waiting) << "pass 20 never began";
        session.send_keys("Space");
        ::usleep(200'000); // the key reaches the terminal before the sample goes on
        freezing = true;

        // 80x24: one line per queue, one column per pass, the newest on the right.
        const std::string client = "     1  100      steps            " + chart.sparkline +
                                   "    50.0%     0.0%     0.0%     0.0%";
        const std::vector<std::string> screen_80 = {
            "GPU Utilisation - frozen, space resumes",
            "",
            "render  50.0% " + std::string(46, ' ') +
                repeated(" " + chart.half_cell + chart.full_cell, 6) + " " + chart.half_cell,
            "tfu      0.0%",
            "bin      0.0%",
            "csd      0.0%",
            // 66 columns of 0.1 s.
            std::string(14, ' ') + "each band 0-100 %, last 7 s",
            "Client  PID      Process             history   render      tfu      bin      CPU",
            std::string(80, '-'),
            client,
        };
        ASSERT_TRUE(session.wait_for_line(0, screen_80[0])) << ::testing::PrintToString(session.screen());
        EXPECT_EQ(session.screen(), screen_80);

        // 132x40, still frozen: four lines per queue, the same passes.
        session.resize(132, 40);
        const std::string legend(14, ' ');
        const std::string top = legend + std::string(98, ' ') + repeated("  " + chart.full_cell, 6);
        const std::string bottom = legend + std::string(98, ' ') +
                                   repeated(" " + chart.full_cell + chart.full_cell, 6) + " " + chart.full_cell;
        std::vector<std::string> screen_132 = {screen_80[0], "", "render  50.0%" + top.substr(13), top,
                                               bottom,       bottom};
        for (const char *queue : {"tfu      0.0%", "bin      0.0%", "csd      0.0%"}) {
            screen_132.insert(screen_132.end(), {queue, "", "", ""});
        }
        screen_132.insert(screen_132.end(),
                          {legend + "each band 0-100 %, last 12 s", screen_80[7], std::string(81, '-'), client});
        ASSERT_TRUE(session.wait_for_line(5, bottom)) << ::testing::PrintToString(session.screen());
        EXPECT_EQ(session.screen(), screen_132);
        session.send_keys("q");
        EXPECT_EQ(status(), "0");
    }
}

// Per sample of 0.1 s the GPU's render queue is busy 70 ms in 12 jobs, and
// the two clients 20 ms each: the game in 10 jobs (100.0 jobs/s, 2.0 ms
// each), the video in 2. Others: 70 % - 40 % = 30.0 %. Then the game's
// kernel counts 110 ms a sample, and the clients' 130 % are an overcount.
TEST_F(terminal_end_to_end, others_row_job_figures_and_every_column_at_80_columns)
{
    REQUIRE_NAMESPACES();
    tree.add_process(100, "game", 7, 3);
    tree.add_process(200, "video", 7, 3);
    std::vector<std::string> texts;
    for (std::int64_t sample = 0; sample < 600; ++sample) {
        texts.push_back(steady_gpu_stats(sample, {0, 12, 0, 0, 0, 0}, {0, 70'000'000, 0, 0, 0, 0}));
    }
    std::atomic<bool> overcounting{false};
    // Both clients are listed from the first sample on, so that their CPU
    // percentages are known from the first frame.
    std::int64_t game_render = 10'000'000;
    const auto fdinfo = [](int client_id, std::int64_t render, std::int64_t jobs, const std::string &memory) {
        std::string text = "drm-driver:\tv3d\ndrm-client-id:\t" + std::to_string(client_id) + "\n";
        for (const char *queue : QUEUES) {
            const bool is_render = std::string(queue) == "render";
            text += std::string("drm-engine-") + queue + ": \t" + std::to_string(is_render ? render : 0) +
                    " ns\nv3d-jobs-" + queue + ": \t" + std::to_string(is_render ? jobs : 0) + " jobs\n";
        }
        return text + memory;
    };
    const fifo_server stats(tree.path(GPU_STATS), texts, [&](std::size_t served) {
        const auto sample = static_cast<std::int64_t>(served);
        game_render += sample == 0 ? 0 : overcounting ? 110'000'000 : 20'000'000;
        tree.add_fdinfo(100, 4, fdinfo(81, game_render, 10 * sample,
                                       "drm-total-memory:\t20 MiB\ndrm-resident-memory:\t12 MiB\n"));
        tree.add_fdinfo(200, 4, fdinfo(82, 10'000'000 + 20'000'000 * sample, 2 * sample, ""));
    });
    const tmux_session session(command("-a -d 0.1 --census 0.1"), 80, 24);
    ASSERT_TRUE(session.wait_for_line(3, "busy      70.0%     0.0%     0.0%     0.0%        0.0%     0.0%"))
        << ::testing::PrintToString(session.screen());
    session.send_keys("g");
    const std::string others = "                 (others)             30.0%     0.0%     0.0%              0.0%";
    ASSERT_TRUE(session.wait_for_line(11, others)) << ::testing::PrintToString(session.screen());
    const auto rows = [&session] {
        const std::vector<std::string> lines = session.screen();
        const auto end = static_cast<std::ptrdiff_t>(std::min<std::size_t>(lines.size(), 11));
        std::vector<std::string> clients(lines.begin() + 9, lines.begin() + end);
        std::sort(clients.begin(), clients.end());
        return clients;
    };
    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "    81  100      game                 20.0%     0.0%     0.0%     0.0%     0.0%",
                          "    82  200      video                20.0%     0.0%     0.0%     0.0%     0.0%",
                      }));

    // j: jobs per second, then the average job's length, without the others row.
    session.send_keys("j");
    ASSERT_TRUE(session.wait_for_line(7, "Client  PID      Process           render/s    tfu/s    bin/s      CPU    csd/s"))
        << ::testing::PrintToString(session.screen());
    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "    81  100      game                 100.0      0.0      0.0     0.0%      0.0",
                          "    82  200      video                 20.0      0.0      0.0     0.0%      0.0",
                      }));
    EXPECT_EQ(session.screen().size(), 11U);
    session.send_keys("j");
    ASSERT_TRUE(session.wait_for_line(7, "Client  PID      Process          render ms   tfu ms   bin ms      CPU   csd ms"))
        << ::testing::PrintToString(session.screen());
    EXPECT_EQ(rows(), (std::vector<std::string>{
                          "    81  100      game                   2.0        -        -     0.0%        -",
                          "    82  200      video                 10.0        -        -     0.0%        -",
                      }));
    session.send_keys("j");

    // Right: the next screen of columns after Process, as far as the total
    // memory, with more to the right.
    session.send_keys("Right");
    const std::vector<std::string> screen_80 = {
        "GPU Utilisation",
        "",
        "GPU      render      tfu      bin      csd cache_clean  cpu_job",
        "busy      70.0%     0.0%     0.0%     0.0%        0.0%     0.0%",
        "jobs/s    120.0      0.0      0.0      0.0         0.0      0.0",
        "job ms      5.8        -        -        -           -        -",
        "",
        "Client  PID      Process             cache_clean    cpu_job      total",
        std::string(33, '-') + "<" + std::string(36, '-') + ">",
        "    81  100      game                       0.0%       0.0%   20.0 MiB",
        "    82  200      video                      0.0%       0.0%          -",
        "                 (others)                   0.0%       0.0%",
    };
    ASSERT_TRUE(session.wait_for_line(7, screen_80[7])) << ::testing::PrintToString(session.screen());
    std::vector<std::string> screen = session.screen();
    std::sort(screen.begin() + 9, screen.begin() + 11);
    EXPECT_EQ(screen, screen_80);

    // s brings the sorted column back into view; the game's time is now
    // more than the whole GPU's.
    overcounting = true;
    session.send_keys("s");
    ASSERT_TRUE(session.wait_for_line(11, "                 (others)                  !     0.0%     0.0%              0.0%"))
        << ::testing::PrintToString(session.screen());
    EXPECT_EQ(session.screen().at(7), "Client  PID      Process             *render      tfu      bin      CPU      csd");

    // 60x8: no row fits, and the last line says so.
    session.resize(60, 8);
    ASSERT_TRUE(session.wait_for_line(7, "Clients 0 of 2 shown: enlarge the terminal"))
        << ::testing::PrintToString(session.screen());
    session.send_keys("q");
    EXPECT_EQ(status(), "0");
}

} // namespace
