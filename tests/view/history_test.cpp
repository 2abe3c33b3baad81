#include "view/history.hpp"

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
    EXPECT_EQ(find_client_history(history, 7)->engines[ENGINE_CSD].count, 3U);

    forget_unseen_clients(history); // a pass without client 7
    EXPECT_EQ(find_client_history(history, 7), nullptr);
    row.client_id = 8;
    record_client_loads(history, row);
    ASSERT_NE(find_client_history(history, 8), nullptr);
    EXPECT_EQ(find_client_history(history, 8)->engines[ENGINE_CSD].count, 1U) << "nothing of client 7 is left";
    forget_unseen_clients(history);
    forget_unseen_clients(history);
}
