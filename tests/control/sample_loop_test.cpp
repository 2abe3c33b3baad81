// The sampling loop over a fake kernel, with a report that records what it is
// handed and moves the kernel on between passes.
#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include <unistd.h>

#include "control/control.hpp"
#include "support/kernel_tree.hpp"

namespace {

struct recorded_row {
    std::uint64_t client_id;
    int pid;
    std::string name;
    double render;
    double tfu;
    double bin;
    double sample_time;
    bool cpu_known;
    double cpu;
};

// The report's operations are plain functions, so what they record lives here.
struct recording {
    std::vector<std::string> calls;
    std::vector<std::vector<recorded_row>> frames;
    std::vector<std::function<void()>> between_passes;
    int failing_end_frame = -1;
};
recording *current_recording = nullptr;

// The loop's records, as the entry point owns them: too large for the stack.
program_state loop_program;

int record_open(output_state &)
{
    current_recording->calls.emplace_back("open");
    return 0;
}
int record_begin_frame(output_state &, const frame &)
{
    current_recording->calls.emplace_back("begin");
    current_recording->frames.emplace_back();
    return 0;
}
int record_row(output_state &, const utilisation_row &row, double sample_time)
{
    current_recording->calls.emplace_back("row");
    current_recording->frames.back().push_back({row.client_id, row.pid, row.name.data(), row.engine[ENGINE_RENDER],
                                                row.engine[ENGINE_TFU], row.engine[ENGINE_BIN], sample_time,
                                                row.cpu_known, row.cpu});
    return 0;
}
int record_end_frame(output_state &, const frame &)
{
    current_recording->calls.emplace_back("end");
    return static_cast<int>(current_recording->frames.size()) == current_recording->failing_end_frame ? EPIPE : 0;
}
// The wait after the baseline goes on at once; each later one moves the
// kernel on as the test says, or stops the loop.
void record_wait(output_state &, std::int64_t)
{
    current_recording->calls.emplace_back("wait");
    if (current_recording->frames.empty()) {
        return;
    }
    const std::size_t pass = current_recording->frames.size() - 1;
    if (pass < current_recording->between_passes.size()) {
        current_recording->between_passes[pass]();
    } else {
        stop_requested = 1;
    }
}
int record_close(output_state &)
{
    current_recording->calls.emplace_back("close");
    return 0;
}

const report_operations RECORDING_REPORT = {
    record_open, record_begin_frame, record_row, record_end_frame, record_wait, record_close,
    "Error: cannot write test output: ", false,
};

class sample_loop_test : public ::testing::Test {
protected:
    kernel_tree tree;
    recording record;

    void SetUp() override
    {
        clock_ticks = 100;
        stop_requested = 0;
        current_recording = &record;
    }
    void TearDown() override
    {
        stop_requested = 0;
        current_recording = nullptr;
    }
    run_settings settings;
    int run(const report_operations &report = RECORDING_REPORT)
    {
        return run_sample_loop(loop_program, report, tree.proc().c_str(), tree.path("gpu_stats").c_str(), settings);
    }
    void set_reference(std::int64_t timestamp) const { tree.write("gpu_stats", kernel_tree::gpu_stats(timestamp)); }
};

TEST_F(sample_loop_test, reports_each_pass_against_the_one_before)
{
    // The baseline and the first pass see the same kernel.
    set_reference(1'000'000'000);
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    tree.add_process(200, "video");
    tree.add_v3d_client(200, 3, 82, 0, 5'000'000, 0);
    record.between_passes = {
        [this] {
            set_reference(1'020'000'000);
            tree.add_v3d_client(100, 3, 81, 45'000'000, 0, 1'000'000);
            tree.remove("proc/200");
            tree.add_process(300, "new");
            tree.add_v3d_client(300, 3, 83, 0, 0, 30'000'000);
        },
    };

    EXPECT_EQ(run(), 0);

    const std::vector<std::string> expected_calls = {"open", "wait", "begin", "row",  "row", "end",  "wait",
                                                     "begin", "row",  "row", "end", "wait", "close"};
    EXPECT_EQ(record.calls, expected_calls);
    ASSERT_EQ(record.frames.size(), 2U);
    for (const recorded_row &row : record.frames[0]) {
        EXPECT_DOUBLE_EQ(row.render + row.tfu + row.bin, 0.0) << "nothing moved since the baseline";
    }
    const std::vector<recorded_row> &second = record.frames[1];
    ASSERT_EQ(second.size(), 2U);
    const recorded_row &game = second[0].client_id == 81 ? second[0] : second[1];
    const recorded_row &fresh = second[0].client_id == 81 ? second[1] : second[0];
    EXPECT_EQ(game.pid, 100);
    EXPECT_EQ(game.name, "game");
    EXPECT_DOUBLE_EQ(game.render, 25.0);
    EXPECT_DOUBLE_EQ(game.bin, 5.0);
    EXPECT_EQ(fresh.client_id, 83);
    EXPECT_DOUBLE_EQ(fresh.bin, 150.0) << "a new client is measured from zero";
    EXPECT_EQ(game.sample_time, fresh.sample_time);
    EXPECT_GT(game.sample_time, record.frames[0][0].sample_time);
}

TEST_F(sample_loop_test, reports_the_baseline_as_a_frame_of_its_own_when_asked_and_counts_it)
{
    set_reference(1'000'000'000);
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    record.between_passes = {
        [this] {
            set_reference(1'020'000'000);
            tree.add_v3d_client(100, 3, 81, 45'000'000, 0, 0);
        },
    };
    report_operations counters_report = RECORDING_REPORT;
    counters_report.reports_baseline = true;
    settings.frame_limit = 2;
    EXPECT_EQ(run(counters_report), 0);

    // No wait before the baseline's frame, and none after the second frame.
    EXPECT_EQ(record.calls, (std::vector<std::string>{"open", "begin", "row", "end", "wait", "begin", "row", "end",
                                                      "close"}));
    ASSERT_EQ(record.frames.size(), 2U);
    EXPECT_DOUBLE_EQ(record.frames[0][0].render, 0.0) << "the baseline against itself";
    EXPECT_DOUBLE_EQ(record.frames[1][0].render, 25.0);
}

TEST_F(sample_loop_test, takes_a_reference_delta_beyond_64_bits_as_no_time_base)
{
    tree.write("gpu_stats", "queue\nbin\t-9223372036854775808\n");
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    record.between_passes = {
        [this] {
            tree.write("gpu_stats", "queue\nbin\t9223372036854775807\n");
            tree.add_v3d_client(100, 3, 81, 50'000'000, 0, 0);
        },
    };
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(record.frames.size(), 2U);
    ASSERT_EQ(record.frames[1].size(), 1U);
    EXPECT_DOUBLE_EQ(record.frames[1][0].render, 0.0);
}

TEST_F(sample_loop_test, makes_no_frame_when_stopped_before_the_first_pass)
{
    set_reference(1);
    stop_requested = 1;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(record.calls, (std::vector<std::string>{"open", "close"}));
}

TEST_F(sample_loop_test, ends_with_status_1_and_the_reason_when_a_write_fails)
{
    set_reference(1);
    record.failing_end_frame = 1;
    ::testing::internal::CaptureStderr();
    const int status = run();
    const std::string messages = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(status, 1);
    EXPECT_EQ(messages, "Error: cannot write test output: Broken pipe\n");
    EXPECT_EQ(record.calls, (std::vector<std::string>{"open", "wait", "begin", "end", "close"}));
}

// The clients of one frame by id.
std::map<std::uint64_t, recorded_row> by_client(const std::vector<recorded_row> &frame)
{
    std::map<std::uint64_t, recorded_row> rows;
    for (const recorded_row &row : frame) {
        rows.emplace(row.client_id, row);
    }
    return rows;
}

// At 10 ms with a census every 100 ms, a census is every tenth sample (the
// baseline is sample 0) and the others read only the held files, which the
// fake kernel rewrites in place as the kernel's own files change under a
// descriptor held open.
TEST_F(sample_loop_test, samples_between_censuses_read_the_held_clients_again)
{
    settings.sample_interval_ns = 10'000'000;
    settings.census_interval_ns = 100'000'000;
    set_reference(1'000'000'000);
    tree.add_process(100, "game", 100, 0);
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    tree.add_process(200, "closes");
    tree.add_v3d_client(200, 4, 82, 0, 10, 0);
    tree.add_process(400, "reuses");
    tree.add_v3d_client(400, 6, 84, 0, 0, 10);
    constexpr int PASSES = 20;
    for (int pass = 0; pass < PASSES - 1; ++pass) {
        // Before sample pass + 2: the time base gains 10 ms, client 81 5 ms of render.
        record.between_passes.emplace_back([this, pass] {
            const std::int64_t step = pass + 1;
            tree.rewrite_in_place("gpu_stats", kernel_tree::gpu_stats(1'000'000'000 + step * 10'000'000));
            tree.rewrite_in_place("proc/100/fdinfo/3", kernel_tree::v3d_fdinfo(81, 40'000'000 + step * 5'000'000, 0, 0));
            if (pass == 1) {
                tree.add_process(300, "newcomer");
                tree.add_v3d_client(300, 5, 83, 1'000, 0, 0);
            } else if (pass == 3) {
                tree.rewrite_in_place("proc/200/fdinfo/4", ""); // the descriptor closed
            } else if (pass == 5) {
                tree.rewrite_in_place("proc/400/fdinfo/6", kernel_tree::v3d_fdinfo(85, 0, 0, 20));
            } else if (pass == 7) {
                tree.add_process(100, "game", 300, 0);
            }
        });
    }
    EXPECT_EQ(run(), 0);
    ASSERT_EQ(record.frames.size(), static_cast<std::size_t>(PASSES));
    const std::map<std::uint64_t, recorded_row> tenth = by_client(record.frames[9]);
    for (std::size_t frame = 0; frame < record.frames.size(); ++frame) {
        const std::size_t sample = frame + 1;
        const std::map<std::uint64_t, recorded_row> rows = by_client(record.frames[frame]);
        SCOPED_TRACE("sample " + std::to_string(sample));
        ASSERT_EQ(rows.count(81), 1U);
        EXPECT_DOUBLE_EQ(rows.at(81).render, sample == 1 ? 0.0 : 50.0);
        // A new client waits for the census; a file that no longer shows its
        // client drops it at once, and the reused number's client waits too.
        EXPECT_EQ(rows.count(83), sample >= 10 ? 1U : 0U);
        EXPECT_EQ(rows.count(82), sample < 5 ? 1U : 0U);
        EXPECT_EQ(rows.count(84), sample < 7 ? 1U : 0U);
        EXPECT_EQ(rows.count(85), sample >= 10 ? 1U : 0U);
        // CPU is over the last census period: none before a second census, and
        // from one census to the next the same figure on every row.
        EXPECT_EQ(rows.at(81).cpu_known, sample >= 10);
        if (sample >= 10 && sample < 20) {
            EXPECT_DOUBLE_EQ(rows.at(81).cpu, tenth.at(81).cpu);
        }
    }
    EXPECT_GT(tenth.at(81).cpu, 0.0);
}

// A report that redraws at most every 100 ms, at 10 ms: one frame per ten
// samples, measured over all ten. The render time grows by 10 ms on every
// other sample, which one sample alone would show as 0 or 100 %.
kernel_tree *stepping_tree = nullptr;
int stepping_samples = 0;
void step_every_other_sample(output_state &, std::int64_t)
{
    if (stepping_samples == 30) {
        stop_requested = 1;
        return;
    }
    ++stepping_samples;
    const std::int64_t busy = static_cast<std::int64_t>(stepping_samples / 2) * 10'000'000;
    stepping_tree->rewrite_in_place("gpu_stats", kernel_tree::gpu_stats(1'000'000'000 + stepping_samples * 10'000'000LL));
    stepping_tree->rewrite_in_place("proc/100/fdinfo/3", kernel_tree::v3d_fdinfo(81, 40'000'000 + busy, 0, 0));
    current_recording->calls.emplace_back("wait");
}

TEST_F(sample_loop_test, a_slow_report_is_measured_from_its_last_frame)
{
    settings.sample_interval_ns = 10'000'000;
    settings.census_interval_ns = 1'000'000'000;
    set_reference(1'000'000'000);
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    stepping_tree = &tree;
    stepping_samples = 0;
    report_operations slow = RECORDING_REPORT;
    slow.wait = step_every_other_sample;
    slow.shortest_frame_ns = 100'000'000;
    EXPECT_EQ(run(slow), 0);
    stepping_tree = nullptr;
    ASSERT_EQ(record.frames.size(), 3U);
    for (const std::vector<recorded_row> &frame : record.frames) {
        ASSERT_EQ(frame.size(), 1U);
        EXPECT_DOUBLE_EQ(frame[0].render, 50.0);
    }
}

// The CSV report at 10 ms, its waits real, with a fake kernel that moves on
// before each sample: the time base by 10 ms and the client's render by 5 ms.
kernel_tree *moving_tree = nullptr;
int moving_step = 0;
void move_then_wait(output_state &, std::int64_t due)
{
    ++moving_step;
    moving_tree->rewrite_in_place("gpu_stats", kernel_tree::gpu_stats(1'000'000'000 + moving_step * 10'000'000LL));
    moving_tree->rewrite_in_place("proc/100/fdinfo/3",
                                  kernel_tree::v3d_fdinfo(81, 40'000'000 + moving_step * 5'000'000LL, 0, 0));
    sleep_until_due(due, run_signals.events);
}

TEST_F(sample_loop_test, writes_csv_at_a_hundred_samples_a_second)
{
    settings.sample_interval_ns = 10'000'000;
    settings.census_interval_ns = 1'000'000'000;
    set_reference(1'000'000'000);
    tree.add_process(100, "game");
    tree.add_v3d_client(100, 3, 81, 40'000'000, 0, 0);
    moving_tree = &tree;
    moving_step = 0;
    report_operations moving_csv = CSV_REPORT;
    moving_csv.wait = move_then_wait;
    settings.mode = output_mode::csv;
    settings.frame_limit = 50;

    std::FILE *output = std::tmpfile();
    ASSERT_NE(output, nullptr);
    std::fflush(stdout);
    const int saved_output = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(output), STDOUT_FILENO);
    const int status = run(moving_csv);
    ::dup2(saved_output, STDOUT_FILENO);
    ::close(saved_output);
    moving_tree = nullptr;
    EXPECT_EQ(status, 0);

    std::rewind(output);
    std::vector<std::string> lines;
    std::array<char, 256> line{};
    while (std::fgets(line.data(), static_cast<int>(line.size()), output) != nullptr) {
        lines.emplace_back(line.data());
    }
    std::fclose(output);
    ASSERT_EQ(lines.size(), 51U);
    double last_time = 0.0;
    for (std::size_t index = 1; index < lines.size(); ++index) {
        SCOPED_TRACE(lines[index]);
        const std::string timestamp = lines[index].substr(0, lines[index].find(','));
        EXPECT_EQ(timestamp.size() - timestamp.find('.'), 7U) << "six decimals";
        EXPECT_GT(std::stod(timestamp), last_time);
        last_time = std::stod(timestamp);
        if (index > 1) {
            EXPECT_EQ(lines[index].substr(timestamp.size()), ",81,100,game,50.0,0.0,0.0,0.0\n");
        }
    }
    // Loosely: fifty samples 10 ms apart span about half a second.
    const double span = last_time - std::stod(lines[1]);
    EXPECT_GT(span, 0.3);
    EXPECT_LT(span, 30.0);
}

// Due times come an interval apart; a pass that ran past some of them is
// followed by the first one still ahead, not by those it missed.
TEST(sample_grid_test, takes_the_next_due_time_and_skips_those_missed)
{
    constexpr std::int64_t SECOND = 1'000'000'000;
    sample_grid grid;
    start_sample_grid(grid, 10 * SECOND);
    const std::int64_t start = grid.last_due_ns;
    EXPECT_EQ(next_sample_due(grid), start + 10 * SECOND);
    grid.last_due_ns = start - 35 * SECOND; // three due times missed, the fourth 5 s ahead
    EXPECT_EQ(next_sample_due(grid), start + 5 * SECOND);
    EXPECT_EQ(grid.last_due_ns, start + 5 * SECOND);
}

} // namespace
