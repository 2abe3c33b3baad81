#include "view/history.hpp"
#include "view/history_chart.hpp"
#include "view/view_state.hpp"

#include <gtest/gtest.h>

TEST(history_ring, keeps_the_newest_values_across_the_wrap)
{
    history_ring<4> ring;
    double value = 0.0;
    EXPECT_FALSE(sample_at(ring, 0, value));
    for (int sample = 1; sample <= 6; ++sample) {
        add_sample(ring, sample);
    }
    ASSERT_TRUE(sample_at(ring, 0, value));
    EXPECT_EQ(value, 6.0);
    ASSERT_TRUE(sample_at(ring, 3, value));
    EXPECT_EQ(value, 3.0);
    EXPECT_FALSE(sample_at(ring, 4, value)) << "1 and 2 have dropped off";
}

TEST(client_history, a_client_gone_from_a_pass_is_forgotten_and_its_place_starts_afresh)
{
    static view_history history; // too large for the stack
    utilisation_row row;
    row.client_id = 7;
    row.engine[ENGINE_CSD] = 40.0;
    for (int pass = 0; pass < 3; ++pass) {
        record_client_loads(history, row);
        forget_unseen_clients(history);
    }
    ASSERT_NE(find_client_history(history, 7), nullptr);
    EXPECT_EQ(find_client_history(history, 7)->figures[0][ENGINE_CSD].count, 3U);

    forget_unseen_clients(history); // a pass without client 7
    EXPECT_EQ(find_client_history(history, 7), nullptr);
    row.client_id = 8;
    record_client_loads(history, row);
    ASSERT_NE(find_client_history(history, 8), nullptr);
    EXPECT_EQ(find_client_history(history, 8)->figures[0][ENGINE_CSD].count, 1U) << "nothing of client 7 is left";
    forget_unseen_clients(history);
    forget_unseen_clients(history);
}

// After j the sparkline draws the figure the columns show: jobs per second
// against the largest in the line, and no mark where no job completed.
TEST(client_history, the_sparkline_follows_the_figure_shown)
{
    static terminal_state terminal; // too large for the stack
    terminal.view.utf8 = false; // ASCII levels "_.:|#": a quarter a step
    utilisation_row row;
    row.client_id = 9;
    for (const double jobs : {10.0, 20.0, 40.0}) {
        row.jobs_per_second[ENGINE_RENDER] = jobs;
        row.engine[ENGINE_RENDER] = jobs * 2.0;
        row.job_milliseconds[ENGINE_RENDER] = jobs == 20.0 ? NO_JOB_LENGTH : jobs;
        record_client_loads(terminal.history, row);
    }
    const client_history *client = find_client_history(terminal.history, 9);
    const auto sparkline = [client](queue_figure figure) {
        terminal.view.figure = figure;
        screen_line line;
        add_sparkline(terminal, line, client, ENGINE_RENDER);
        return std::wstring(line.text.data(), line.length);
    };
    EXPECT_EQ(sparkline(queue_figure::busy), L"       .:|") << "20, 40 and 80 % of 100";
    EXPECT_EQ(sparkline(queue_figure::jobs_per_second), L"       .:#") << "10, 20 and 40 of 40";
    EXPECT_EQ(sparkline(queue_figure::job_length), L"       . #") << "10 and 40 ms of 40";
}
