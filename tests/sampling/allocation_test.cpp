// The program's own code allocates nothing while it samples: every malloc of
// the process, and so every operator new (which takes its memory from malloc),
// is counted over a census and a whole pass.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include "control/control.hpp"
#include "support/kernel_tree.hpp"
#include "support/kernel_readers.hpp"

extern "C" void *__libc_malloc(std::size_t size);
extern "C" void *__libc_calloc(std::size_t count, std::size_t size);
extern "C" void *__libc_realloc(void *pointer, std::size_t size);

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void note_allocation()
{
    if (counting.load(std::memory_order_relaxed)) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
} // namespace

extern "C" void *malloc(std::size_t size)
{
    note_allocation();
    return __libc_malloc(size);
}
extern "C" void *calloc(std::size_t count, std::size_t size)
{
    note_allocation();
    return __libc_calloc(count, size);
}
extern "C" void *realloc(void *pointer, std::size_t size)
{
    note_allocation();
    return __libc_realloc(pointer, size);
}

namespace {

output_buffer sink;

// Where a DRM device node can be made (as root), half the processes have fd/
// links, so that the census takes both of its ways.
void build_tree(const kernel_tree &tree)
{
    const std::string node = tree.path("render");
    const bool has_node = ::mknod(node.c_str(), S_IFCHR | 0600, makedev(226, 128)) == 0;
    for (int pid = 100; pid < 140; ++pid) {
        tree.add_process(pid, "process" + std::to_string(pid), pid, pid);
        tree.add_fdinfo(pid, 0, "pos:\t0\nflags:\t02\nmnt_id:\t25\nino:\t7\n");
        tree.add_v3d_client(pid, 3, pid, pid * 1000, 0, pid);
        tree.add_v3d_client(pid, 4, 7, 1, 1, 1);
        if (has_node && pid % 2 == 0) {
            const std::string folder = tree.path("proc/" + std::to_string(pid) + "/fd");
            std::filesystem::create_directories(folder);
            std::filesystem::create_symlink(tree.path("proc/" + std::to_string(pid) + "/comm"), folder + "/0");
            std::filesystem::create_symlink(node, folder + "/3");
            std::filesystem::create_symlink(node, folder + "/4");
        }
    }
    tree.set_gpu_stats(5'000'000);
}

TEST(allocations, none_during_a_census)
{
    kernel_tree tree;
    build_tree(tree);
    client_table table;
    const std::string proc = tree.proc();
    const std::string stats = tree.path("sys/class/drm/card0/device/gpu_stats");
    allocations = 0;
    counting = true;
    const int count = scan_clients(table, proc.c_str());
    const std::int64_t reference = read_reference_counter(stats.c_str());
    counting = false;
    EXPECT_EQ(count, 41);
    EXPECT_EQ(reference, 5'000'000);
    EXPECT_EQ(allocations.load(), 0);
}

// The loop's records, as the entry point owns them: too large for the stack.
program_state loop_program;

// Counts from the report's open to its close: the baseline, a pass, its rows.
int counting_open(output_state &)
{
    allocations = 0;
    counting = true;
    return 0;
}
int counting_begin_frame(output_state &, const frame &)
{
    return 0;
}
// Both text writers: the CSV line with every column, and a JSON string.
int counting_row(output_state &, const utilisation_row &row, double sample_time)
{
    write_csv_all_queues_row(sink, row, sample_time);
    return append_json_string(sink, row.name.data());
}
int frames_written = 0;
int counting_end_frame(output_state &, const frame &)
{
    ++frames_written;
    return flush_output(sink);
}
// The wait after the baseline lets the one pass come.
void counting_wait(output_state &, std::int64_t)
{
    stop_requested = frames_written > 0 ? 1 : 0;
}
int counting_close(output_state &)
{
    counting = false;
    return 0;
}

TEST(allocations, none_during_a_pass_of_the_loop)
{
    kernel_tree tree;
    build_tree(tree);
    std::FILE *file = std::tmpfile();
    ASSERT_NE(file, nullptr);
    sink.fd = fileno(file);
    const report_operations counting_report = {counting_open, counting_begin_frame, counting_row, counting_end_frame,
                                               counting_wait, counting_close, "", false};
    const std::string proc = tree.proc();
    const std::string stats = tree.path("sys/class/drm/card0/device/gpu_stats");
    stop_requested = 0;
    run_settings settings;
    settings.all_queues = true;
    const int status = run_sample_loop(loop_program, counting_report, proc.c_str(), stats.c_str(), settings);
    stop_requested = 0;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(frames_written, 1);
    EXPECT_GT(::lseek(sink.fd, 0, SEEK_END), 0) << "the pass wrote its rows";
    std::fclose(file);
    EXPECT_EQ(allocations.load(), 0);
}

// The metrics file, from the report's open to its close: the baseline frame,
// one pass, and each time a new file renamed over the last.
int metrics_frames = 0;
int counting_metrics_open(output_state &state)
{
    counting_open(state);
    return PROMETHEUS_REPORT.open(state);
}
int counting_metrics_end_frame(output_state &state, const frame &whole)
{
    ++metrics_frames;
    return PROMETHEUS_REPORT.end_frame(state, whole);
}
void counting_metrics_wait(output_state &, std::int64_t)
{
    stop_requested = metrics_frames >= 2 ? 1 : 0;
}
int counting_metrics_close(output_state &state)
{
    const int failure = PROMETHEUS_REPORT.close(state);
    counting = false;
    return failure;
}

TEST(allocations, none_while_writing_the_metrics_file)
{
    kernel_tree tree;
    build_tree(tree);
    const std::string file = tree.path("v3dwatch.prom");
    report_operations counting_report = PROMETHEUS_REPORT;
    counting_report.open = counting_metrics_open;
    counting_report.end_frame = counting_metrics_end_frame;
    counting_report.wait = counting_metrics_wait;
    counting_report.close = counting_metrics_close;
    const std::string proc = tree.proc();
    const std::string stats = tree.path("sys/class/drm/card0/device/gpu_stats");
    stop_requested = 0;
    run_settings settings;
    settings.mode = output_mode::prometheus;
    settings.metrics_file = file.c_str();
    const int status = run_sample_loop(loop_program, counting_report, proc.c_str(), stats.c_str(), settings);
    stop_requested = 0;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(metrics_frames, 2);
    struct stat written {};
    ASSERT_EQ(::stat(file.c_str(), &written), 0);
    EXPECT_GT(written.st_size, 0);
    EXPECT_EQ(allocations.load(), 0);
}

} // namespace

namespace {

// RapidJSON parses a recorded line in place, its stack in a fixed buffer: a
// replay allocates nothing per line either.
TEST(allocations, none_while_reading_a_recording)
{
    kernel_tree tree;
    const std::string line =
        R"({"timestamp":1.000,"wall_time":1700000001.000,"gpu":{"render":{"timestamp_ns":2,"jobs":1,"runtime_ns":1}},)"
        R"("conditions":{"power":"active"},"previous":{"timestamp":0.000,"wall_time":1700000000.000,)"
        R"("gpu":{"render":{"timestamp_ns":1,"jobs":0,"runtime_ns":0}},"conditions":{}},"unreadable_processes":0,)"
        R"("clients":[{"client_id":7,"pid":70,"process":"st\u00e9pper \"quoted\"","busy":{"render":0.0},)"
        R"("jobs_per_second":{"render":0.0},"busy_ns":{"render":1},"busy_ns_gained":{"render":1},)"
        R"("jobs_gained":{"render":0},"gained_over_ns":1,"process_cpu":1.5,"memory":{"total":4096}}],)"
        R"("others":{"busy":{"render":0.0},"overcount":["render"]}})"
        "\n";
    tree.write("run.json", line + line);
    recording_reader &reader = loop_program.replay.reader;
    const file_descriptor recording(::open(tree.path("run.json").c_str(), O_RDONLY | O_CLOEXEC));
    reader.fd = recording.fd;
    std::array<char, RECORDING_REASON_SIZE> reason{};
    allocations = 0;
    counting = true;
    const recording_result first = read_recorded_frame(reader, loop_program.replay.frames[0], reason);
    const recording_result second = read_recorded_frame(reader, loop_program.replay.frames[1], reason);
    const recording_result end = read_recorded_frame(reader, loop_program.replay.frames[0], reason);
    counting = false;
    EXPECT_EQ(first, recording_result::frame) << reason.data();
    EXPECT_EQ(second, recording_result::frame) << reason.data();
    EXPECT_EQ(end, recording_result::end);
    EXPECT_EQ(loop_program.replay.frames[1].whole.row_count, 1);
    EXPECT_EQ(allocations.load(), 0);
}

} // namespace
