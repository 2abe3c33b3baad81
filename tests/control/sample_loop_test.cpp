// The sampling loop over a fake kernel, with a report that records what it is
// handed and moves the kernel on between passes.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

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
};

// The report's operations are plain functions, so what they record lives here.
struct recording {
    std::vector<std::string> calls;
    std::vector<std::vector<recorded_row>> frames;
    std::vector<std::function<void()>> between_passes;
    int failing_end_frame = -1;
};
recording *current_recording = nullptr;

int record_open()
{
    current_recording->calls.emplace_back("open");
    return 0;
}
int record_begin_frame(const frame_summary &)
{
    current_recording->calls.emplace_back("begin");
    current_recording->frames.emplace_back();
    return 0;
}
int record_row(const utilisation_row &row, double sample_time)
{
    current_recording->calls.emplace_back("row");
    current_recording->frames.back().push_back({row.client_id, row.pid, row.name.data(), row.engine[ENGINE_RENDER],
                                                row.engine[ENGINE_TFU], row.engine[ENGINE_BIN], sample_time});
    return 0;
}
int record_end_frame()
{
    current_recording->calls.emplace_back("end");
    return static_cast<int>(current_recording->frames.size()) == current_recording->failing_end_frame ? EPIPE : 0;
}
// The wait after the baseline goes on at once; each later one moves the
// kernel on as the test says, or stops the loop.
void record_wait()
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
int record_close()
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
    int run() { return run_sample_loop(RECORDING_REPORT, tree.proc().c_str(), tree.path("gpu_stats").c_str()); }
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
    run_settings settings;
    settings.frame_limit = 2;
    EXPECT_EQ(run_sample_loop(counters_report, tree.proc().c_str(), tree.path("gpu_stats").c_str(), settings), 0);

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

// Due times come an interval apart; a pass that ran past some of them is
// followed by the first one still ahead, not by those it missed.
TEST(sample_grid_test, takes_the_next_due_time_and_skips_those_missed)
{
    constexpr std::int64_t SECOND = 1'000'000'000;
    sample_interval_ns = 10 * SECOND;
    start_sample_grid();
    const std::int64_t start = last_sample_due_ns;
    EXPECT_EQ(next_sample_due(), start + 10 * SECOND);
    last_sample_due_ns = start - 35 * SECOND; // three due times missed, the fourth 5 s ahead
    EXPECT_EQ(next_sample_due(), start + 5 * SECOND);
    EXPECT_EQ(last_sample_due_ns, start + 5 * SECOND);
    sample_interval_ns = DEFAULT_SAMPLE_INTERVAL_NS;
}

} // namespace
