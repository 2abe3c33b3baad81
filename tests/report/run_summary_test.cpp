// The summary's arithmetic: the mean, the nearest-rank 95th percentile and the
// maximum of the per-pass sums, and the folding of a run longer than the record.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <utility>

#include "report/run_summary.hpp"

namespace {

std::string summary_text(const run_summary &summary)
{
    std::FILE *file = std::tmpfile();
    EXPECT_EQ(write_summary_text(summary, fileno(file)), 0);
    std::rewind(file);
    std::string text(4096, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file));
    std::fclose(file);
    return text;
}

void add_pass(run_summary &summary, double render_first, double render_second)
{
    utilisation_row first;
    first.client_id = 1;
    first.engine[ENGINE_RENDER] = render_first;
    utilisation_row second;
    second.client_id = 2;
    second.engine[ENGINE_RENDER] = render_second;
    add_summary_row(summary, first);
    add_summary_row(summary, second);
    end_summary_pass(summary, gpu_counters{});
}

// Faults caught: the clients of a pass not summed, a percentile one rank off
// (95 % of 20 is exactly rank 19), a mean over the wrong count.
TEST(run_summary, sums_the_clients_of_a_pass_and_takes_the_nearest_rank)
{
    auto summary = std::make_unique<run_summary>();
    begin_summary(*summary, gpu_counters{}, 0.0, 0.0, 0, 0);
    // Passes 1 to 20, each split between two clients, in a shuffled order.
    for (const int value : {7, 20, 1, 14, 3, 19, 10, 5, 18, 2, 12, 16, 4, 9, 11, 6, 17, 8, 15, 13}) {
        add_pass(*summary, value * 0.75, value * 0.25);
    }
    finish_summary(*summary, 20.0, 20.0, 0, 0);
    const queue_figures &render = summary->figures[ENGINE_RENDER];
    EXPECT_DOUBLE_EQ(render.mean, 10.5);
    EXPECT_DOUBLE_EQ(render.p95, 19.0);
    EXPECT_DOUBLE_EQ(render.max, 20.0);
}

// The mean weighs each pass by its length on the GPU's clock: the last pass of
// a command's run, cut short by its end, counts for the 10 ms it lasted, not
// as a whole second of an idle GPU (the plain mean would say 40.0).
TEST(run_summary, weighs_the_mean_by_each_pass_length)
{
    auto summary = std::make_unique<run_summary>();
    gpu_counters counters;
    begin_summary(*summary, counters, 0.0, 0.0, 0, 0);
    for (const auto &[busy, length] : {std::pair{60.0, 1'000'000'000}, {60.0, 1'000'000'000}, {0.0, 10'000'000}}) {
        utilisation_row row;
        row.client_id = 1;
        row.engine[ENGINE_RENDER] = busy;
        add_summary_row(*summary, row);
        counters.reference += length;
        end_summary_pass(*summary, counters);
    }
    finish_summary(*summary, 2.01, 2.01, 0, 0);
    EXPECT_NEAR(summary->figures[ENGINE_RENDER].mean, 120.0 / 2.01, 1e-9);
    EXPECT_DOUBLE_EQ(summary->figures[ENGINE_RENDER].max, 60.0) << "the maximum stays a pass's";
}

// Past the record's size, neighbouring passes fold into their mean: the pairs
// (0, 100) of the first day become 50s, which the 95th percentile then finds
// above the second day's 10s. Keeping a pair's sum or its larger value, or
// dropping passes, gives another percentile; the mean and maximum stay exact.
TEST(run_summary, folds_a_longer_run_into_pairs)
{
    auto summary = std::make_unique<run_summary>();
    begin_summary(*summary, gpu_counters{}, 0.0, 0.0, 0, 0);
    for (int pass = 0; pass < SUMMARY_SAMPLE_CAPACITY; ++pass) {
        add_pass(*summary, pass % 2 == 0 ? 0.0 : 100.0, 0.0);
    }
    for (int pass = 0; pass < SUMMARY_SAMPLE_CAPACITY; ++pass) {
        add_pass(*summary, 10.0, 0.0);
    }
    finish_summary(*summary, 1.0, 1.0, 0, 0);
    EXPECT_EQ(summary->passes, 2 * SUMMARY_SAMPLE_CAPACITY);
    EXPECT_EQ(summary->fold_level, 1);
    const queue_figures &render = summary->figures[ENGINE_RENDER];
    EXPECT_DOUBLE_EQ(render.mean, 30.0);
    EXPECT_DOUBLE_EQ(render.p95, 50.0);
    EXPECT_DOUBLE_EQ(render.max, 100.0);
}

// A run that measured nothing must not read as an idle GPU: no table of zeros,
// and "1 sample", not "1 samples".
TEST(run_summary, says_no_samples_rather_than_zeros)
{
    auto summary = std::make_unique<run_summary>();
    gpu_counters counters;
    counters.queue_count = 1;
    std::strcpy(counters.queues[0].name.data(), "render");
    map_queue_row(counters, 0);
    begin_summary(*summary, counters, 0.0, 0.0, 0, 0);
    finish_summary(*summary, 0.0, 0.0, 0, 0);
    const std::string nothing = summary_text(*summary);
    EXPECT_NE(nothing.find(", no samples, "), std::string::npos) << nothing;
    EXPECT_EQ(nothing.find("render"), std::string::npos) << nothing;

    add_pass(*summary, 10.0, 0.0);
    summary->last_counters = counters;
    finish_summary(*summary, 1.0, 1.0, 0, 0);
    const std::string one = summary_text(*summary);
    EXPECT_NE(one.find(", 1 sample, "), std::string::npos) << one;
    EXPECT_NE(one.find("\nrender         10.0    10.0    10.0 "), std::string::npos) << one;
}

} // namespace
