// Start-up: the options, the statistics file, clock ticks and the stop signals.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "control/control.hpp"
#include "support/kernel_tree.hpp"

namespace {

const std::string USAGE = "Usage: v3dwatch [options]\n\n"
                          "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
                          "  -a, --all             Show every queue, client memory and the whole GPU's load\n"
                          "  --csv                 Output in CSV format (pipe to file)\n"
                          "  --json                Output JSON Lines, one object per sample, with everything\n"
                          "  --text                Output the table as plain text, one frame per sample\n"
                          "  --prometheus FILE     Write metrics for Prometheus to FILE every interval\n"
                          "  -d, --interval S      Seconds between samples, 0.01 to 3600 (default 1)\n"
                          "  --census S            Seconds between searches for clients, 0.1 to 3600,\n"
                          "                        no less than the interval (default 1 or the interval)\n"
                          "  -n, --count N         Stop after N samples\n"
                          "  -p, --pid PID[,PID]   Follow only these processes and their descendants\n"
                          "  -o, --output FILE     Write the CSV or JSON stream to FILE\n"
                          "  --summary             Write a summary of the run to standard error at the end\n"
                          "  --summary-json FILE   Write the summary as JSON to FILE as well\n"
                          "  --wall-clock          CSV and JSON timestamps in Unix time\n"
                          "  --sort COLUMN         Start the view sorted by render, tfu, bin or cpu;\n"
                          "                        with -a also csd, cache_clean, cpu_job, total, resident\n"
                          "  --color WHEN          Colour the view: auto (the -a view), always or never\n"
                          "  -- COMMAND [ARG...]   Run COMMAND, follow it and its descendants, then summarise\n"
    "  --replay FILE         Replay a recording that --json wrote (- reads standard input)\n"
    "  --compare A B         Compare two summaries that --summary-json wrote\n"
                          "  --version             Show the version\n"
                          "  -h, --help            Show this help message\n";

struct start_up_run {
    start_up_result result;
    std::string messages;
    std::string standard_output;
    std::string metrics_file;
};

// A pseudo-terminal whose far end collects what is written to it, raw.
struct pseudo_terminal {
    int controller = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    std::FILE *output = nullptr;

    pseudo_terminal()
    {
        if (controller < 0 || ::grantpt(controller) != 0 || ::unlockpt(controller) != 0) {
            return;
        }
        output = std::fopen(::ptsname(controller), "w");
        termios settings{};
        if (output != nullptr && ::tcgetattr(::fileno(output), &settings) == 0) {
            ::cfmakeraw(&settings);
            (void)::tcsetattr(::fileno(output), TCSANOW, &settings);
        }
    }
    ~pseudo_terminal()
    {
        if (output != nullptr) {
            std::fclose(output);
        }
        ::close(controller);
    }
    pseudo_terminal(const pseudo_terminal &) = delete;
    pseudo_terminal &operator=(const pseudo_terminal &) = delete;

    std::string take_output()
    {
        std::fflush(output);
        std::string text;
        char buffer[256];
        for (ssize_t got = 0; (got = ::read(controller, buffer, sizeof buffer)) > 0;) {
            text.append(buffer, static_cast<std::size_t>(got));
        }
        return text;
    }
};

class start_up_test : public ::testing::Test {
protected:
    pseudo_terminal terminal;
    std::FILE *output_file = nullptr;
    kernel_tree tree;
    std::string pattern = tree.root() + "/sys/class/drm/card*/device/gpu_stats";

    start_up_run run(std::vector<std::string> arguments, const std::string &stats_pattern)
    {
        arguments.insert(arguments.begin(), "v3dwatch");
        std::vector<char *> argv;
        for (std::string &argument : arguments) {
            argv.push_back(argument.data());
        }
        argv.push_back(nullptr);
        std::FILE *messages = std::tmpfile();
        start_up_run outcome;
        // Standard output is a terminal unless a test gives a file.
        std::FILE *output = output_file != nullptr ? output_file : terminal.output;
        outcome.result =
            start_up(static_cast<int>(arguments.size()), argv.data(), messages, stats_pattern.c_str(), output);
        outcome.standard_output = output_file != nullptr ? "" : terminal.take_output();
        // The settings point into the arguments, which end with this call.
        if (outcome.result.settings.metrics_file != nullptr) {
            outcome.metrics_file = outcome.result.settings.metrics_file;
        }
        std::rewind(messages);
        char buffer[4096];
        std::size_t got = 0;
        while ((got = std::fread(buffer, 1, sizeof buffer, messages)) > 0) {
            outcome.messages.append(buffer, got);
        }
        std::fclose(messages);
        return outcome;
    }

    start_up_run run(std::vector<std::string> arguments) { return run(std::move(arguments), pattern); }

    void SetUp() override { tree.set_gpu_stats(1000); }
};

TEST_F(start_up_test, goes_on_in_terminal_mode_without_arguments)
{
    const start_up_run outcome = run({});
    EXPECT_FALSE(outcome.result.stop);
    EXPECT_EQ(outcome.result.settings.mode, output_mode::terminal);
    EXPECT_EQ(outcome.messages, "");
    EXPECT_EQ(std::string(stats_path), tree.path("sys/class/drm/card0/device/gpu_stats"));
    EXPECT_GT(clock_ticks, 0);
}

TEST_F(start_up_test, refuses_the_terminal_view_when_standard_output_is_no_terminal)
{
    output_file = std::tmpfile();
    const start_up_run view = run({"-a"});
    const start_up_run csv = run({"--csv"});
    std::fclose(output_file);
    EXPECT_TRUE(view.result.stop);
    EXPECT_EQ(view.result.exit_status, 1);
    EXPECT_EQ(view.messages,
              "Error: standard output is not a terminal; use --csv or --json to write to a file or a pipe\n");
    EXPECT_FALSE(csv.result.stop) << csv.messages;
}

// --sort names a sortable heading of the view it starts, in lower case; a
// queue of -a only with -a, and no other output.
TEST_F(start_up_test, sort_takes_a_column_of_the_view)
{
    const std::string rule = "(a column: render, tfu, bin or cpu, and with -a also csd, cache_clean, cpu_job, "
                             "total or resident)\n";
    EXPECT_EQ(run({"--sort", "tfu"}).result.settings.sort_column, 4);
    EXPECT_EQ(run({"--sort=cpu"}).result.settings.sort_column, 6) << "the process's CPU";
    EXPECT_EQ(run({"-a", "--sort", "cpu_job"}).result.settings.sort_column, 9) << "the driver's cpu queue";
    EXPECT_EQ(run({"--sort", "resident", "-a"}).result.settings.sort_column, 11);
    EXPECT_EQ(run({}).result.settings.sort_column, -1);
    const start_up_run added = run({"--sort", "csd"});
    EXPECT_EQ(added.result.exit_status, 1);
    EXPECT_EQ(added.messages, "Invalid value for --sort: 'csd' " + rule);
    EXPECT_EQ(run({"--sort", "PID"}).messages, "Invalid value for --sort: 'PID' " + rule) << "not sortable";
    EXPECT_EQ(run({"--sort"}).messages, "Missing value for --sort " + rule);
    const start_up_run csv = run({"--csv", "--sort", "tfu"});
    EXPECT_EQ(csv.result.exit_status, 1);
    EXPECT_EQ(csv.messages, "Error: --sort is for the terminal view and --text\n");
}

// --text takes the view's options, needs no terminal, and writes alone.
TEST_F(start_up_test, text_takes_the_view_options_and_no_other_output)
{
    output_file = std::tmpfile();
    const start_up_run text = run({"--text", "-a", "--sort", "csd"});
    std::fclose(output_file);
    EXPECT_FALSE(text.result.stop) << text.messages;
    EXPECT_EQ(text.result.settings.mode, output_mode::text);
    EXPECT_EQ(text.result.settings.sort_column, 7);
    EXPECT_EQ(run({"--text", "--json"}).messages, "Error: --text and --json cannot be used together\n");
    EXPECT_EQ(run({"--prometheus", "m.prom", "--text"}).messages,
              "Error: --text and --prometheus cannot be used together\n");
    EXPECT_EQ(run({"--text", "--", "true"}).messages, "Error: --text cannot be used with a command\n");
    EXPECT_EQ(run({"--color=always"}).result.settings.colour, 1);
    EXPECT_EQ(run({"--color", "never"}).result.settings.colour, 2);
    EXPECT_EQ(run({"--color", "sometimes"}).messages,
              "Invalid value for --color: 'sometimes' (auto, always or never)\n");
}

TEST_F(start_up_test, csv_may_be_given_more_than_once)
{
    const start_up_run outcome = run({"--csv", "--csv"});
    EXPECT_FALSE(outcome.result.stop);
    EXPECT_EQ(outcome.result.settings.mode, output_mode::csv);
    EXPECT_EQ(outcome.messages, "");
}

TEST_F(start_up_test, the_first_argument_that_is_not_csv_decides)
{
    struct expectation {
        std::vector<std::string> arguments;
        int status;
        std::string messages;
    };
    const std::vector<expectation> cases = {
        {{"--help"}, 0, USAGE},
        {{"-h"}, 0, USAGE},
        {{"--csv", "--help"}, 0, USAGE},
        {{"--help", "-x"}, 0, USAGE},
        {{"-x", "--help"}, 1, "Unknown option: -x\n" + USAGE},
        {{"--csv", "-x"}, 1, "Unknown option: -x\n" + USAGE},
        {{"--CSV"}, 1, "Unknown option: --CSV\n" + USAGE},
        {{"--csv=1"}, 1, "Unknown option: --csv=1\n" + USAGE},
        {{"--"}, 1, "Unknown option: --\n" + USAGE},
        {{"plain"}, 1, "Unknown option: plain\n" + USAGE},
        {{""}, 1, "Unknown option: \n" + USAGE},
    };
    for (const expectation &expected : cases) {
        const start_up_run outcome = run(expected.arguments);
        SCOPED_TRACE(expected.arguments.front());
        EXPECT_TRUE(outcome.result.stop);
        EXPECT_EQ(outcome.result.exit_status, expected.status);
        EXPECT_EQ(outcome.messages, expected.messages);
        EXPECT_EQ(outcome.standard_output, "");
    }
}

TEST_F(start_up_test, reads_the_interval_and_the_count_exactly)
{
    struct expectation {
        std::vector<std::string> arguments;
        std::int64_t interval_ns;
        int frame_limit;
        std::int64_t census_ns = 1'000'000'000;
    };
    const std::vector<expectation> cases = {
        {{}, 1'000'000'000, 0},
        {{"-d", "0.1"}, 100'000'000, 0},
        {{"-d", "0.01"}, 10'000'000, 0},
        {{"--interval", "3600"}, 3'600'000'000'000, 0, 3'600'000'000'000},
        {{"-d", "0.02", "--census", "0.1"}, 20'000'000, 0, 100'000'000},
        {{"--census=7", "-d", "7"}, 7'000'000'000, 0, 7'000'000'000},
        {{"-d", "2", "--census", "3600"}, 2'000'000'000, 0, 3'600'000'000'000},
        {{"--interval=.25", "-n", "1"}, 250'000'000, 1},
        {{"-d", "2.0000000019", "--count=2147483647"}, 2'000'000'001, 2147483647, 2'000'000'001},
        {{"-d", "0.5", "-d", "7"}, 7'000'000'000, 0, 7'000'000'000},
        {{"-d5"}, 5'000'000'000, 0, 5'000'000'000},
        {{"-an1"}, 1'000'000'000, 1},
        {{"-ad", "2", "-n", "3"}, 2'000'000'000, 3, 2'000'000'000},
    };
    for (const expectation &expected : cases) {
        const start_up_run outcome = run(expected.arguments);
        ASSERT_FALSE(outcome.result.stop) << outcome.messages;
        EXPECT_EQ(outcome.result.settings.sample_interval_ns, expected.interval_ns);
        EXPECT_EQ(outcome.result.settings.census_interval_ns, expected.census_ns);
        EXPECT_EQ(outcome.result.settings.frame_limit, expected.frame_limit);
    }
    const start_up_run all = run({"-a", "--json"});
    EXPECT_TRUE(all.result.settings.all_queues);
    EXPECT_TRUE(run({"-an1"}).result.settings.all_queues);
    EXPECT_EQ(all.result.settings.mode, output_mode::json);
    for (const std::vector<std::string> &arguments :
         {std::vector<std::string>{"--prometheus", "v3d.prom"}, {"--prometheus=v3d.prom"}}) {
        const start_up_run metrics = run(arguments);
        EXPECT_FALSE(metrics.result.stop) << metrics.messages;
        EXPECT_EQ(metrics.result.settings.mode, output_mode::prometheus);
        EXPECT_EQ(metrics.metrics_file, "v3d.prom");
    }
}

TEST_F(start_up_test, refuses_bad_values_in_one_line_before_anything_else)
{
    const std::string interval_rule = " (seconds from 0.01 to 3600)\n";
    const std::string census_rule = " (seconds from 0.1 to 3600, at least the interval)\n";
    const std::string count_rule = " (a count from 1 to 2147483647)\n";
    const std::string long_name(4096, 'm');
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-d", "0"}, "Invalid value for -d: '0'" + interval_rule},
        {{"-d", "abc"}, "Invalid value for -d: 'abc'" + interval_rule},
        {{"-d", "1e999"}, "Invalid value for -d: '1e999'" + interval_rule},
        {{"-d", "0.005"}, "Invalid value for -d: '0.005'" + interval_rule},
        {{"--census", "0.05", "-d", "0.01"}, "Invalid value for --census: '0.05'" + census_rule},
        {{"--census=0.5", "-d", "1"}, "Invalid value for --census: '0.5'" + census_rule},
        {{"--census", "3601"}, "Invalid value for --census: '3601'" + census_rule},
        {{"--census"}, "Missing value for --census" + census_rule},
        {{"-d", "3600.5"}, "Invalid value for -d: '3600.5'" + interval_rule},
        {{"-d", "-1"}, "Invalid value for -d: '-1'" + interval_rule},
        {{"--interval=", "--csv"}, "Invalid value for --interval: ''" + interval_rule},
        {{"--csv", "-d"}, "Missing value for -d" + interval_rule},
        {{"-n", "-3"}, "Invalid value for -n: '-3'" + count_rule},
        {{"-n", "0"}, "Invalid value for -n: '0'" + count_rule},
        {{"--count", "2147483648"}, "Invalid value for --count: '2147483648'" + count_rule},
        {{"-n"}, "Missing value for -n" + count_rule},
        {{"-d0"}, "Invalid value for -d: '0'" + interval_rule},
        {{"-an"}, "Missing value for -n" + count_rule},
        {{"-ax"}, "Unknown option: -ax\n" + USAGE},
        {{"-ah"}, "Unknown option: -ah\n" + USAGE},
        {{"--csv", "--json"}, "Error: --csv and --json cannot be used together\n"},
        {{"--prometheus"}, "Missing value for --prometheus (a file to write the metrics to)\n"},
        {{"--prometheus="}, "Invalid value for --prometheus: '' (a file to write the metrics to)\n"},
        {{"--csv", "--prometheus", "v3d.prom"}, "Error: --prometheus and --csv cannot be used together\n"},
        {{"--prometheus=v3d.prom", "--json"}, "Error: --prometheus and --json cannot be used together\n"},
        {{"--prometheus", long_name}, "Error: cannot write metrics file " + long_name + ": File name too long\n"},
        {{"-p", "0"}, "Invalid value for -p: '0' (process ids, as PID[,PID...], 64 at most)\n"},
        {{"--pid=12,,13"}, "Invalid value for --pid: '12,,13' (process ids, as PID[,PID...], 64 at most)\n"},
        {{"-o", "out", "--prometheus", "v3d.prom"}, "Error: --output needs --csv or --json\n"},
        {{"--json", "--", "true"}, "Error: --json with a command needs --output FILE\n"},
    };
    const std::string nowhere = tree.root() + "/nowhere*";
    for (const auto &[arguments, message] : cases) {
        const start_up_run outcome = run(arguments, nowhere);
        SCOPED_TRACE(arguments.front());
        EXPECT_TRUE(outcome.result.stop);
        EXPECT_EQ(outcome.result.exit_status, 1);
        EXPECT_EQ(outcome.messages, message);
        EXPECT_EQ(outcome.standard_output, "");
    }
    const start_up_run version = run({"--version", "-d", "0"}, nowhere);
    EXPECT_EQ(version.result.exit_status, 0);
    EXPECT_EQ(version.standard_output, "v3dwatch " V3DWATCH_VERSION "\n");
    EXPECT_EQ(version.messages, "");
}

// A replay reads no kernel file, and refuses the options that only a
// sampling of the kernel has, in one line each.
TEST_F(start_up_test, a_replay_needs_no_statistics_file_and_refuses_the_kernels_options)
{
    const std::string nowhere = tree.root() + "/nowhere*";
    tree.write("run.json", "");
    const start_up_run replay = run({"--replay", tree.path("run.json"), "--csv"}, nowhere);
    EXPECT_FALSE(replay.result.stop) << replay.messages;
    EXPECT_GE(replay.result.settings.replay_fd, 0);
    ::close(replay.result.settings.replay_fd);
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"-d", "2"}, "Error: --replay cannot be used with -d\n"},
        {{"--census=2"}, "Error: --replay cannot be used with --census\n"},
        {{"--prometheus", "m.prom"}, "Error: --replay cannot be used with --prometheus\n"},
        {{"--wall-clock"}, "Error: --replay cannot be used with --wall-clock\n"},
        {{"--summary", "--", "true"}, "Error: --replay cannot be used with a command\n"},
    };
    for (const auto &[arguments, message] : cases) {
        std::vector<std::string> with_replay = {"--replay", tree.path("run.json")};
        with_replay.insert(with_replay.end(), arguments.begin(), arguments.end());
        EXPECT_EQ(run(with_replay, nowhere).messages, message);
    }
    // The view takes its keys from standard input.
    EXPECT_EQ(run({"--replay", "-"}, nowhere).messages,
              "Error: --replay - takes standard input, where the view takes its keys; use --csv, --json, --text or "
              "--summary\n");
    EXPECT_EQ(run({"--replay", tree.path("none.json"), "--csv"}, nowhere).messages,
              "Error: cannot read " + tree.path("none.json") + ": No such file or directory\n");
    EXPECT_EQ(run({"--compare", "a.json", "b.json", "--csv"}, nowhere).messages,
              "Error: --compare takes no option but --json\n");
}

TEST_F(start_up_test, refuses_to_run_without_a_statistics_file)
{
    const std::string nowhere = tree.root() + "/sys/class/drm/none*/device/gpu_stats";
    for (const std::vector<std::string> &arguments : {std::vector<std::string>{}, {"--csv"}}) {
        const start_up_run outcome = run(arguments, nowhere);
        EXPECT_TRUE(outcome.result.stop);
        EXPECT_EQ(outcome.result.exit_status, 1);
        EXPECT_EQ(outcome.messages, "Error: no V3D gpu_stats found\n");
        EXPECT_EQ(outcome.standard_output, "");
    }
    // Options come first, so help still works there.
    const start_up_run help = run({"--help"}, nowhere);
    EXPECT_EQ(help.result.exit_status, 0);
    EXPECT_EQ(help.messages, USAGE);
}

TEST_F(start_up_test, takes_the_first_card_in_byte_order)
{
    tree.set_gpu_stats(1, 2);
    tree.set_gpu_stats(1, 10);
    tree.remove("sys/class/drm/card0");
    const start_up_run outcome = run({"--csv"});
    EXPECT_FALSE(outcome.result.stop);
    EXPECT_EQ(std::string(stats_path), tree.path("sys/class/drm/card10/device/gpu_stats"));
}

TEST_F(start_up_test, cuts_a_long_statistics_path_to_its_buffer)
{
    const std::string deep = std::string(250, 'a') + "/" + std::string(250, 'b');
    tree.write(deep + "/card0/device/gpu_stats", "queue\n");
    const start_up_run outcome = run({}, tree.path(deep + "/card*/device/gpu_stats"));
    ASSERT_FALSE(outcome.result.stop);
    const std::string full = tree.path(deep + "/card0/device/gpu_stats");
    ASSERT_GT(full.size(), static_cast<std::size_t>(STATS_PATH_SIZE));
    EXPECT_EQ(std::string(stats_path), full.substr(0, STATS_PATH_SIZE - 1));
}

TEST_F(start_up_test, fails_when_the_help_or_the_version_cannot_be_written)
{
    for (std::string argument : {"--version", "-h"}) {
        SCOPED_TRACE(argument);
        std::FILE *full = std::fopen("/dev/full", "w");
        ASSERT_NE(full, nullptr);
        std::string program = "v3dwatch";
        std::array<char *, 3> argv = {program.data(), argument.data(), nullptr};
        const start_up_result result = start_up(2, argv.data(), full, pattern.c_str(), full);
        std::fclose(full);
        EXPECT_TRUE(result.stop);
        EXPECT_EQ(result.exit_status, 1);
    }
}

TEST_F(start_up_test, installs_the_stop_signals)
{
    ASSERT_FALSE(run({}).result.stop);
    for (const int signal_number : {SIGTERM, SIGINT, SIGQUIT, SIGHUP}) {
        stop_requested = 0;
        std::raise(signal_number);
        EXPECT_EQ(stop_requested, 1) << signal_number;
    }
    stop_requested = 0;
}

} // namespace
