// Every descriptor the readers open is closed on every path: over trees where
// each file and folder is missing, of the wrong kind or not readable, and
// across many passes of the sampling loop in the CSV, metrics and terminal modes.
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "view/terminal_report.hpp"
#include "control/control.hpp"
#include "end_to_end/program_run.hpp"
#include "fake_tree.hpp"
#include "sampling/held_clients.hpp"
#include "support/kernel_tree.hpp"
#include "support/kernel_readers.hpp"

namespace {

constexpr int CENSUS_REPEATS = 20;

// One readable client among processes whose every part is missing or of the
// wrong kind: files that are folders, folders that are files, dangling links,
// FIFOs nobody writes to and sockets nobody listens on. Returns the client ids
// that must be listed.
std::set<std::uint64_t> build_hostile_tree(const fake_tree &tree)
{
    tree.write_file("proc/100/fdinfo/3", kernel_tree::v3d_fdinfo(1, 1000, 0, 0));
    tree.write_file("proc/100/comm", "good\n");
    tree.write_file("proc/100/stat", kernel_tree::stat_line(100, "good", 250, 50));
    tree.make_symlink("proc/self", "100");

    tree.write_file("proc/101/comm", "no fdinfo\n");
    tree.write_file("proc/102/fdinfo", "a file, not a folder\n");
    tree.make_symlink("proc/103/fdinfo", "nowhere");
    tree.make_fifo("proc/104/fdinfo");
    tree.make_socket("proc/105/fdinfo");
    tree.write_file("proc/106", "a file where a process folder should be\n");
    tree.make_symlink("proc/107", "nowhere");

    tree.make_directory("proc/108/fdinfo/3");
    tree.make_symlink("proc/108/fdinfo/4", "nowhere");
    tree.make_fifo("proc/108/fdinfo/5");
    tree.make_socket("proc/108/fdinfo/6");
    tree.write_file("proc/108/fdinfo/7", "");
    tree.write_file("proc/108/fdinfo/8", kernel_tree::v3d_fdinfo(2, 0, 10, 0));
    tree.make_directory("proc/108/comm");
    tree.make_directory("proc/108/stat");

    tree.write_file("proc/109/fdinfo/3", kernel_tree::v3d_fdinfo(3, 0, 0, 10));
    tree.make_fifo("proc/109/comm");
    tree.make_fifo("proc/109/stat");

    tree.write_file("proc/110/fdinfo/3", kernel_tree::v3d_fdinfo(4, 5, 5, 5));
    tree.make_symlink("proc/110/comm", "nowhere");

    tree.write_file("proc/111/fdinfo/3", kernel_tree::v3d_fdinfo(5, 7, 0, 0));
    tree.make_socket("proc/111/comm");
    tree.make_socket("proc/111/stat");

    tree.make_directory("proc/112/fdinfo");
    tree.write_file("proc/113/fdinfo/.hidden", kernel_tree::v3d_fdinfo(6, 1, 1, 1));
    tree.write_file("proc/99999999999/fdinfo/3", kernel_tree::v3d_fdinfo(7, 1, 1, 1));
    return {1, 2, 3, 4, 5};
}

std::set<std::uint64_t> listed_ids(const client_table &table)
{
    std::set<std::uint64_t> ids;
    for (int index = 0; index < table.count; ++index) {
        ids.insert(table.records[static_cast<std::size_t>(index)].client_id);
    }
    return ids;
}

TEST(descriptor_leaks, census_over_missing_proc_folder_or_wrong_kinds_of_it)
{
    const fake_tree tree;
    tree.write_file("proc_file", "not a folder\n");
    tree.make_symlink("proc_dangling", "nowhere");
    tree.make_fifo("proc_fifo");
    tree.make_socket("proc_socket");
    static client_table table;
    const int before = open_descriptor_count();
    for (const char *proc : {"missing", "proc_file", "proc_dangling", "proc_fifo", "proc_socket"}) {
        for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
            EXPECT_EQ(scan_clients(table, tree.path(proc).c_str()), 0) << proc;
        }
        EXPECT_EQ(open_descriptor_count(), before) << proc;
    }
}

TEST(descriptor_leaks, census_over_every_kind_of_unreadable_part)
{
    const fake_tree tree;
    const std::set<std::uint64_t> expected = build_hostile_tree(tree);
    static client_table table;
    const int before = open_descriptor_count();
    for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
        scan_clients(table, tree.path("proc").c_str());
        ASSERT_EQ(listed_ids(table), expected);
        ASSERT_EQ(open_descriptor_count(), before) << "after census " << repeat;
    }
    // Unreadable names fall back to the pid; the readable one is kept.
    for (int index = 0; index < table.count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        EXPECT_STREQ(record.name.data(), record.pid == 100 ? "good" : std::to_string(record.pid).c_str());
    }
}

// Held files: one per listed client and one for the statistics file while
// held, all closed at the next census's hold, at a release and when the holder goes.
TEST(descriptor_leaks, held_files_across_censuses)
{
    const fake_tree tree;
    const std::set<std::uint64_t> expected = build_hostile_tree(tree);
    tree.write_file("gpu_stats", "queue\ttimestamp\tjobs\truntime\nbin\t1000\t1\t1\n");
    static client_table census;
    static client_table table;
    static gpu_counters counters;
    const int before = open_descriptor_count();
    {
        held_clients held;
        for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
            scan_clients(census, tree.path("proc").c_str());
            hold_clients(held, census, tree.path("proc").c_str(), tree.path("gpu_stats").c_str());
            ASSERT_EQ(sample_held_clients(held, table, counters), static_cast<int>(expected.size()));
            ASSERT_EQ(open_descriptor_count(), before + static_cast<int>(expected.size()) + 1) << "census " << repeat;
        }
        release_clients(held);
        EXPECT_EQ(open_descriptor_count(), before);
        hold_clients(held, census, tree.path("proc").c_str(), tree.path("gpu_stats").c_str());
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

// Another user's process: its folders and files are there but refuse to open.
// Root passes every permission check, so a child drops to an unprivileged
// user first; it reports through its exit status. An ordinary user owns the
// tree and could read its folders, so only root can make them another user's.
enum unreadable_outcome { CENSUS_RIGHT = 0, WRONG_CLIENTS = 1, DESCRIPTOR_LEAKED = 2, CANNOT_DROP_ROOT = 3 };

TEST(descriptor_leaks, census_over_folders_and_files_it_may_not_read)
{
    REQUIRE_HERE(::geteuid() == 0, "needs root, to read the tree as a user that does not own it");
    const fake_tree tree;
    tree.write_file("proc/300/fdinfo/3", kernel_tree::v3d_fdinfo(1, 1, 1, 1));
    tree.set_mode("proc/300/fdinfo", 0700);
    tree.write_file("proc/301/fdinfo/3", kernel_tree::v3d_fdinfo(2, 1, 1, 1));
    tree.set_mode("proc/301/fdinfo/3", 0);
    tree.write_file("proc/302/fdinfo/3", kernel_tree::v3d_fdinfo(3, 1, 1, 1));
    tree.write_file("proc/302/comm", "secret\n");
    tree.set_mode("proc/302/comm", 0);
    tree.write_file("proc/302/stat", kernel_tree::stat_line(302, "secret", 500, 500));
    tree.set_mode("proc/302/stat", 0);
    tree.write_file("proc/303/fdinfo/3", kernel_tree::v3d_fdinfo(4, 1, 1, 1));
    tree.set_mode("proc/303", 0700);
    tree.set_mode("", 0755);
    const std::string proc = tree.path("proc");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        constexpr uid_t NOBODY = 65534;
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(NOBODY) != 0 || ::setuid(NOBODY) != 0)) {
            ::_exit(CANNOT_DROP_ROOT);
        }
        static client_table table;
        const int before = open_descriptor_count();
        for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
            scan_clients(table, proc.c_str());
            // Only pid 302's client can be read, under its pid for a name, with its CPU time unknown;
            // 300's and 303's fdinfo/ are closed to us, which counts them, while 301's is open.
            const client_sample &only = table.records[0];
            if (table.count != 1 || table.unreadable_processes != 2 || only.client_id != 3 || std::string(only.name.data()) != "302" ||
                only.cpu_seconds != CPU_SECONDS_UNKNOWN ||
                read_process_cpu_seconds(302, proc.c_str()) != CPU_SECONDS_UNKNOWN) {
                ::_exit(WRONG_CLIENTS);
            }
            if (open_descriptor_count() != before) {
                ::_exit(DESCRIPTOR_LEAKED);
            }
        }
        ::_exit(CENSUS_RIGHT);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_NE(WEXITSTATUS(status), CANNOT_DROP_ROOT) << "could not become an unprivileged user";
    EXPECT_NE(WEXITSTATUS(status), WRONG_CLIENTS) << "listed a client it may not read, or missed the readable one";
    EXPECT_NE(WEXITSTATUS(status), DESCRIPTOR_LEAKED) << "descriptors held after a census";
    EXPECT_EQ(WEXITSTATUS(status), CENSUS_RIGHT);
}

TEST(descriptor_leaks, process_cpu_time_over_every_kind_of_stat)
{
    const fake_tree tree;
    build_hostile_tree(tree);
    const std::string proc = tree.path("proc");
    clock_ticks = 100;
    const int before = open_descriptor_count();
    for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
        EXPECT_DOUBLE_EQ(read_process_cpu_seconds(100, proc.c_str()), 3.0);
        for (const int pid : {101, 106, 107, 108, 109, 110, 111, 4242}) {
            EXPECT_DOUBLE_EQ(read_process_cpu_seconds(pid, proc.c_str()), CPU_SECONDS_UNKNOWN) << pid;
        }
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

TEST(descriptor_leaks, reference_counter_over_every_kind_of_statistics_file)
{
    const fake_tree tree;
    tree.write_file("good", "queue\ttimestamp\tjobs\truntime\nbin\t4242\t1\t1\n");
    tree.write_file("header_only", "queue\ttimestamp\tjobs\truntime\n");
    tree.make_directory("folder");
    tree.make_symlink("dangling", "nowhere");
    tree.make_socket("socket");
    const int before = open_descriptor_count();
    for (int repeat = 0; repeat < CENSUS_REPEATS; ++repeat) {
        EXPECT_EQ(read_reference_counter(tree.path("good").c_str()), 4242);
        // No FIFO: the reader waits for a writer there, on purpose.
        for (const char *name : {"header_only", "folder", "dangling", "socket", "missing"}) {
            EXPECT_EQ(read_reference_counter(tree.path(name).c_str()), 0) << name;
        }
    }
    EXPECT_EQ(open_descriptor_count(), before);
}

// A report that passes everything to a mode's own operations, counts what it
// is handed and stops the loop after a set number of passes.
struct counting_state {
    const report_operations *mode = nullptr;
    int passes_left = 0;
    int rows = 0;
    int frames = 0;
    std::vector<int> descriptors_after_pass;
};
counting_state counting;
// The loop's records, as the entry point owns them: too large for the stack.
program_state loop_program;

int counting_open(output_state &state)
{
    return counting.mode->open(state);
}
int counting_begin_frame(output_state &state, const frame &frame)
{
    return counting.mode->begin_frame(state, frame);
}
int counting_row(output_state &state, const utilisation_row &row, double sample_time)
{
    ++counting.rows;
    return counting.mode->row(state, row, sample_time);
}
int counting_end_frame(output_state &state, const frame &frame)
{
    ++counting.frames;
    return counting.mode->end_frame(state, frame);
}
void counting_wait(output_state &, std::int64_t)
{
    if (counting.frames == 0) {
        return; // the wait after the baseline
    }
    counting.descriptors_after_pass.push_back(open_descriptor_count());
    if (--counting.passes_left <= 0) {
        stop_requested = 1;
    }
}
int counting_close(output_state &state)
{
    return counting.mode->close(state);
}

const report_operations COUNTING_REPORT = {
    counting_open, counting_begin_frame, counting_row, counting_end_frame, counting_wait, counting_close, "", false,
};

// Runs the loop over the hostile tree with the output of the mode sent to
// /dev/null, and checks the descriptors held before, during and after.
void check_loop_holds_no_descriptors(const report_operations &mode, const run_settings &settings = {})
{
    constexpr int PASSES = 40;
    const fake_tree tree;
    const std::set<std::uint64_t> expected = build_hostile_tree(tree);
    tree.write_file("gpu_stats", "queue\ttimestamp\tjobs\truntime\nbin\t1000\t1\t1\n");

    std::fflush(stdout);
    const int saved_output = ::dup(STDOUT_FILENO);
    ASSERT_GE(saved_output, 0);
    const int null_output = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    ASSERT_GE(null_output, 0);
    ::dup2(null_output, STDOUT_FILENO);
    ::close(null_output);

    counting = counting_state{&mode, PASSES, 0, 0, {}};
    stop_requested = 0;
    const int before = open_descriptor_count();
    const int status = run_sample_loop(loop_program, COUNTING_REPORT, tree.path("proc").c_str(),
                                       tree.path("gpu_stats").c_str(), settings);
    const int after = open_descriptor_count();
    stop_requested = 0;

    std::fflush(stdout);
    ::dup2(saved_output, STDOUT_FILENO);
    ::close(saved_output);

    EXPECT_EQ(status, 0);
    EXPECT_EQ(counting.frames, PASSES);
    EXPECT_EQ(counting.rows, PASSES * static_cast<int>(expected.size()));
    ASSERT_EQ(counting.descriptors_after_pass.size(), static_cast<std::size_t>(PASSES));
    // The mode may hold its own output open while it runs, but no pass adds one.
    for (std::size_t pass = 1; pass < counting.descriptors_after_pass.size(); ++pass) {
        EXPECT_EQ(counting.descriptors_after_pass[pass], counting.descriptors_after_pass[0]) << "pass " << pass;
    }
    EXPECT_EQ(after, before);
}

TEST(descriptor_leaks, many_passes_of_the_loop_in_csv_mode)
{
    check_loop_holds_no_descriptors(CSV_REPORT);
}

// A census every third sample: the held files are as many after every pass,
// and all closed when the loop ends.
TEST(descriptor_leaks, many_passes_of_the_loop_between_censuses)
{
    run_settings settings;
    settings.sample_interval_ns = 10'000'000;
    settings.census_interval_ns = 30'000'000;
    check_loop_holds_no_descriptors(CSV_REPORT, settings);
}

TEST(descriptor_leaks, many_passes_of_the_loop_in_metrics_mode)
{
    // Each pass makes a new file and renames it over the last.
    const fake_tree output;
    const std::string file = output.path("v3dwatch.prom");
    run_settings settings;
    settings.metrics_file = file.c_str();
    check_loop_holds_no_descriptors(PROMETHEUS_REPORT, settings);
}

TEST(descriptor_leaks, many_passes_of_the_loop_in_terminal_mode)
{
    // A terminal type that every ncurses installation has; the screen goes to /dev/null.
    ::setenv("TERM", "vt100", 1);
    // As start-up does before the view opens.
    ASSERT_EQ(load_terminal_library(), nullptr);
    check_loop_holds_no_descriptors(TERMINAL_REPORT);
}

} // namespace
