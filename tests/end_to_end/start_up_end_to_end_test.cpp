// Start-up of the real binary: refusals, help and the choice of device.
#include <gtest/gtest.h>

#include <cstdlib>

#include "end_to_end/program_run.hpp"

namespace {

std::string usage()
{
    return std::string("Usage: ") + V3DWATCH_BINARY +
           " [options]\n\n"
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
}

struct finished_run {
    int status;
    std::vector<std::string> output;
    std::string errors;
};

finished_run finish(const kernel_tree &tree, const std::vector<std::string> &arguments)
{
    program_run run(tree, arguments);
    finished_run result;
    result.output = run.read_all();
    result.errors = run.read_errors();
    result.status = run.wait();
    return result;
}

TEST(start_up_end_to_end, refuses_unknown_options_and_gives_help_on_request)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.set_gpu_stats(1);
    struct expectation {
        std::vector<std::string> arguments;
        int status;
        std::string errors;
    };
    const std::vector<expectation> cases = {
        {{"--csv", "--bogus"}, 1, "Unknown option: --bogus\n" + usage()},
        {{"csv"}, 1, "Unknown option: csv\n" + usage()},
        {{"--csv", "--help"}, 0, usage()},
        {{"-h", "--nonsense"}, 0, usage()},
    };
    for (const expectation &expected : cases) {
        SCOPED_TRACE(expected.arguments.back());
        const finished_run result = finish(tree, expected.arguments);
        EXPECT_EQ(result.status, expected.status);
        EXPECT_EQ(result.errors, expected.errors);
        EXPECT_TRUE(result.output.empty()) << "nothing on standard output";
    }
}

TEST(start_up_end_to_end, stops_where_no_statistics_file_exists)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 1, 1, 1);
    for (const std::vector<std::string> &arguments : {std::vector<std::string>{}, {"--csv"}}) {
        const finished_run result = finish(tree, arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.errors, "Error: no V3D gpu_stats found\n");
        EXPECT_TRUE(result.output.empty());
    }
}

TEST(start_up_end_to_end, needs_ncursesw_for_the_terminal_view_only)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 1, 1, 1);
    tree.set_gpu_stats(1);
    // An empty file the dynamic loader finds first and cannot load stands in
    // for a missing ncursesw.
    tree.write("lib/libncursesw.so.6", "");
    ASSERT_EQ(::setenv("LD_LIBRARY_PATH", tree.path("lib").c_str(), 1), 0);
    const finished_run view = finish(tree, {});
    const finished_run csv = finish(tree, {"--csv", "-n", "1"});
    ASSERT_EQ(::unsetenv("LD_LIBRARY_PATH"), 0);

    EXPECT_EQ(view.status, 1);
    EXPECT_EQ(view.errors,
              "Error: cannot load the terminal library: " + tree.path("lib/libncursesw.so.6") + ": file too short\n");
    EXPECT_TRUE(view.output.empty());
    EXPECT_EQ(csv.status, 0);
    EXPECT_EQ(csv.errors, "");
    ASSERT_EQ(csv.output.size(), 2U);
    EXPECT_EQ(csv.output[0], "timestamp,client_id,pid,process,render%,tfu%,bin%,cpu%");
}

TEST(start_up_end_to_end, watches_card10_before_card2)
{
    REQUIRE_NAMESPACES();
    kernel_tree tree;
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 1, 1, 1);
    tree.set_gpu_stats(5, 2);
    tree.write("sys/class/drm/card10/device/placeholder", "");
    // Only a reader of card10's file takes texts from this server.
    const fifo_server card10(tree.path("sys/class/drm/card10/device/gpu_stats"),
                             {kernel_tree::gpu_stats(1000), kernel_tree::gpu_stats(2000)});
    program_run run(tree, {"--csv"});
    EXPECT_TRUE(card10.wait_served(2));
    EXPECT_EQ(run.read_lines(2).size(), 2U);
    run.signal(SIGTERM);
    EXPECT_EQ(run.wait(), 0);
}

} // namespace
