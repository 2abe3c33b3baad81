// Percentages from two censuses: engine time by client id against the
// reference delta, CPU time against the same process over the elapsed time.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "report/report.hpp"

namespace {

client_sample client(std::uint64_t client_id, int pid, std::int64_t render, std::int64_t tfu, std::int64_t bin,
                     double cpu_seconds, const char *name = "game")
{
    client_sample sample;
    sample.client_id = client_id;
    sample.pid = pid;
    std::strncpy(sample.name.data(), name, sample.name.size() - 1);
    sample.engine = {render, tfu, bin};
    sample.cpu_seconds = cpu_seconds;
    return sample;
}

client_table table_of(std::initializer_list<client_sample> samples)
{
    client_table table;
    for (const client_sample &sample : samples) {
        table.records[static_cast<std::size_t>(table.count++)] = sample;
    }
    return table;
}

constexpr std::int64_t TEN_MS = 10'000'000;

TEST(engine_percentages, divide_busy_time_gained_by_the_reference_delta)
{
    const client_table previous = table_of({client(7, 100, 1'000'000, 2'000'000, 0, 2.5)});
    const utilisation_row row = compute_utilisation(client(7, 100, 6'000'000, 4'500'000, 100'000, 3.0, "game"),
                                                    previous, TEN_MS, 1.0);
    EXPECT_EQ(row.client_id, 7);
    EXPECT_EQ(row.pid, 100);
    EXPECT_STREQ(row.name.data(), "game");
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_RENDER], 50.0);
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_TFU], 25.0);
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_BIN], 1.0);
    EXPECT_DOUBLE_EQ(row.cpu, 50.0);
}

TEST(engine_percentages, are_zero_without_gain_or_without_a_time_base)
{
    const client_table previous = table_of({client(7, 100, 5'000, 5'000, 5'000, 1.0)});
    const utilisation_row still = compute_utilisation(client(7, 100, 5'000, 4'000, 9'000, 1.5), previous, TEN_MS, 1.0);
    EXPECT_DOUBLE_EQ(still.engine[ENGINE_RENDER], 0.0) << "unchanged";
    EXPECT_DOUBLE_EQ(still.engine[ENGINE_TFU], 0.0) << "went down";
    EXPECT_GT(still.engine[ENGINE_BIN], 0.0);
    for (const std::int64_t reference_delta : {std::int64_t{0}, std::int64_t{-TEN_MS}}) {
        const utilisation_row row =
            compute_utilisation(client(7, 100, 9'000, 9'000, 9'000, 1.5), previous, reference_delta, 1.0);
        EXPECT_DOUBLE_EQ(row.engine[ENGINE_RENDER] + row.engine[ENGINE_TFU] + row.engine[ENGINE_BIN], 0.0);
        EXPECT_DOUBLE_EQ(row.cpu, 50.0) << "CPU is still measured";
    }
}

TEST(engine_percentages, measure_a_new_client_from_zero_and_may_pass_100)
{
    const client_table previous = table_of({client(8, 100, 1, 1, 1, 0.0)});
    const utilisation_row row = compute_utilisation(client(7, 100, 25'000'000, 0, 0, 0.0), previous, TEN_MS, 1.0);
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_RENDER], 250.0);
}

// Between censuses a client the last census met first opened its file at some
// time in the census period: its 0.4 s of render over the 1 s since the census
// before is 40 %, not 4000 % of the last 10 ms sample; a known client keeps
// the sample's interval.
TEST(engine_percentages, spread_a_client_new_between_censuses_over_the_census_period)
{
    const client_table previous = table_of({client(8, 100, 1'000'000, 0, 0, 0.0)});
    constexpr std::int64_t CENSUS_PERIOD = 1'000'000'000;
    const utilisation_row fresh =
        compute_utilisation(client(7, 100, 400'000'000, 0, 0, 0.0), previous, TEN_MS, 1.0, nullptr, CENSUS_PERIOD);
    EXPECT_DOUBLE_EQ(fresh.engine[ENGINE_RENDER], 40.0);
    const utilisation_row known =
        compute_utilisation(client(8, 100, 5'000'000, 0, 0, 0.0), previous, TEN_MS, 1.0, nullptr, CENSUS_PERIOD);
    EXPECT_DOUBLE_EQ(known.engine[ENGINE_RENDER], 40.0);
}

TEST(engine_percentages, come_with_the_busy_time_and_jobs_gained_per_queue)
{
    client_sample before = client(7, 100, 1'000'000, 2'000'000, 0, 0.0);
    before.jobs = {10, 4, 0, 3, 0, 0};
    client_sample now = client(7, 100, 6'000'000, 1'000'000, 100'000, 0.0);
    now.jobs = {15, 4, 2, 1, 0, 0};
    const utilisation_row row = compute_utilisation(now, table_of({before}), TEN_MS, 0.5);
    EXPECT_EQ(row.engine_gained_nanoseconds, (std::array<std::int64_t, ENGINE_COUNT>{5'000'000, 0, 100'000}))
        << "a fall is no gain";
    EXPECT_EQ(row.jobs_gained, (std::array<std::int64_t, ENGINE_COUNT>{5, 0, 2, 0, 0, 0}));
    EXPECT_EQ(row.jobs, now.jobs);
    EXPECT_DOUBLE_EQ(row.elapsed, 0.5);

    const utilisation_row fresh = compute_utilisation(now, table_of({}), TEN_MS, 0.5);
    EXPECT_EQ(fresh.jobs_gained, now.jobs) << "a new client's jobs are all new";
}

TEST(engine_percentages, stay_defined_at_the_limits_of_64_bits)
{
    constexpr std::int64_t top = std::numeric_limits<std::int64_t>::max();
    constexpr std::int64_t bottom = std::numeric_limits<std::int64_t>::min();
    const client_table previous = table_of({client(7, 100, bottom, -1, 0, 0.0)});
    const utilisation_row row = compute_utilisation(client(7, 100, top, top, top, 0.0), previous, TEN_MS, 1.0);
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_RENDER], 0.0) << "an overflowing difference is no gain";
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_TFU], 0.0);
    EXPECT_DOUBLE_EQ(row.engine[ENGINE_BIN], static_cast<double>(top) / static_cast<double>(TEN_MS) * 100.0);
}

TEST(cpu_percentage, is_measured_against_the_same_process_only)
{
    // A long-running process that opens its first client: no earlier reading.
    const client_table before_open = table_of({client(8, 200, 1, 0, 0, 5.0)});
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 12.0), before_open, TEN_MS, 1.0).cpu, 0.0);

    // The client changed owner: the base is the new owner's own earlier record.
    const client_table changed_owner =
        table_of({client(7, 1200, 1, 0, 0, 50.0), client(9, 900, 1, 0, 0, 2.0), client(10, 900, 1, 0, 0, 1.0)});
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 900, 1, 0, 0, 2.5), changed_owner, TEN_MS, 0.5).cpu, 100.0);

    // The matched record's pid wins over an earlier record of the same pid.
    const client_table same_owner = table_of({client(9, 100, 1, 0, 0, 1.0), client(7, 100, 1, 0, 0, 2.0)});
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 2.25), same_owner, TEN_MS, 1.0).cpu, 25.0);
}

TEST(cpu_percentage, needs_two_known_readings_of_the_process)
{
    const client_table known = table_of({client(7, 100, 1, 0, 0, 9.0)});
    const client_table unknown = table_of({client(7, 100, 1, 0, 0, CPU_SECONDS_UNKNOWN)});
    const utilisation_row after_gap = compute_utilisation(client(7, 100, 1, 0, 0, 12.0), unknown, TEN_MS, 1.0);
    EXPECT_FALSE(after_gap.cpu_known);
    EXPECT_DOUBLE_EQ(after_gap.cpu, 0.0) << "no spike from a missing reading";
    const utilisation_row ended =
        compute_utilisation(client(7, 100, 1, 0, 0, CPU_SECONDS_UNKNOWN), known, TEN_MS, 1.0);
    EXPECT_FALSE(ended.cpu_known);
    EXPECT_DOUBLE_EQ(ended.cpu, 0.0);
    EXPECT_FALSE(compute_utilisation(client(7, 100, 1, 0, 0, 12.0), table_of({}), TEN_MS, 1.0).cpu_known)
        << "a process seen for the first time";
    EXPECT_TRUE(compute_utilisation(client(7, 100, 1, 0, 0, 9.0), known, TEN_MS, 1.0).cpu_known)
        << "no gain is a known 0";
}

TEST(cpu_percentage, is_zero_for_a_reused_pid_or_no_elapsed_time)
{
    const client_table previous = table_of({client(7, 100, 1, 0, 0, 9.0)});
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 0.5), previous, TEN_MS, 1.0).cpu, 0.0);
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 10.0), previous, TEN_MS, 0.0).cpu, 0.0);
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 10.0), previous, TEN_MS, -1.0).cpu, 0.0);
    EXPECT_DOUBLE_EQ(compute_utilisation(client(7, 100, 1, 0, 0, 13.0), previous, TEN_MS, 2.0).cpu, 200.0)
        << "several threads";
}

} // namespace

// Faults caught: a difference under half a point shown as a row, a queue
// without a time base taken for an idle one and flagged as overcounted, and
// a queue matched to the wrong engine by position instead of by name.
TEST(others_load, is_hidden_below_half_a_point_and_needs_a_measured_queue)
{
    gpu_counters counters;
    counters.queue_count = 2;
    std::strcpy(counters.queues[0].name.data(), "csd");
    std::strcpy(counters.queues[1].name.data(), "render");
    map_queue_row(counters, 0);
    map_queue_row(counters, 1);
    frame_header frame;
    frame.counters = &counters;
    frame.queues[0] = {0.0, 0.0, NO_JOB_LENGTH, false}; // no earlier reading
    frame.queues[1] = {40.4, 0.0, NO_JOB_LENGTH, true};
    client_busy_sum clients{};
    utilisation_row row;
    row.engine[ENGINE_RENDER] = 40.0;
    row.engine[ENGINE_CSD] = 20.0;
    add_client_busy(clients, row);
    others_load others = compute_others(frame, clients);
    EXPECT_NEAR(others.busy[ENGINE_RENDER], 0.4, 1e-9);
    EXPECT_FALSE(others.overcount[ENGINE_CSD]);
    EXPECT_FALSE(others.shown);

    frame.queues[1].busy = 40.5;
    others = compute_others(frame, clients);
    EXPECT_TRUE(others.shown);
    EXPECT_DOUBLE_EQ(others.busy[ENGINE_TFU], 0.0);
}
