// Start-up: the options, the statistics file, clock ticks and the stop signals.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "control/control.hpp"
#include "support/kernel_tree.hpp"

namespace {

const std::string USAGE = "Usage: v3dwatch [options]\n\n"
                          "Monitor VideoCore VII GPU block utilisation on Quenzil.\n\n"
                          "  --csv   Output in CSV format (pipe to file)\n"
                          "  --help  Show this help message\n";

struct start_up_run {
    start_up_result result;
    std::string messages;
    std::string standard_output;
};

class start_up_test : public ::testing::Test {
protected:
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
        ::testing::internal::CaptureStdout();
        start_up_run outcome;
        outcome.result = start_up(static_cast<int>(arguments.size()), argv.data(), messages, stats_pattern.c_str());
        outcome.standard_output = ::testing::internal::GetCapturedStdout();
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
    EXPECT_EQ(outcome.result.mode, output_mode::terminal);
    EXPECT_EQ(outcome.messages, "");
    EXPECT_EQ(std::string(stats_path), tree.path("sys/class/drm/card0/device/gpu_stats"));
    EXPECT_GT(clock_ticks, 0);
}

TEST_F(start_up_test, csv_may_be_given_more_than_once)
{
    const start_up_run outcome = run({"--csv", "--csv"});
    EXPECT_FALSE(outcome.result.stop);
    EXPECT_EQ(outcome.result.mode, output_mode::csv);
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

TEST_F(start_up_test, installs_the_stop_signals)
{
    ASSERT_FALSE(run({}).result.stop);
    stop_requested = 0;
    std::raise(SIGTERM);
    EXPECT_EQ(stop_requested, 1);
    stop_requested = 0;
    std::raise(SIGINT);
    EXPECT_EQ(stop_requested, 1);
    stop_requested = 0;
}

} // namespace
