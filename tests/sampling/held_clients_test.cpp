// The held clients: a sample reads each held file again from its start, and a
// file that no longer shows the census's client drops that client until the
// next census.
#include <gtest/gtest.h>

#include "sampling/held_clients.hpp"
#include "support/kernel_tree.hpp"

namespace {

class held_clients_test : public ::testing::Test {
protected:
    kernel_tree tree;
    std::string stats_file;
    client_table census;
    client_table table;
    gpu_counters counters;
    held_clients held;

    void SetUp() override
    {
        tree.add_process(100, "game");
        tree.add_v3d_client(100, 5, 81, 1000, 0, 0);
        tree.add_process(200, "compositor");
        tree.add_v3d_client(200, 7, 82, 0, 300, 0);
        stats_file = tree.set_gpu_stats(5'000'000);
        ASSERT_EQ(scan_clients(census, tree.proc().c_str()), 2);
        hold_clients(held, census, tree.proc().c_str(), stats_file.c_str());
    }

    int sample() { return sample_held_clients(held, table, counters); }

    const client_sample *find(std::uint64_t client_id) const
    {
        for (int index = 0; index < table.count; ++index) {
            if (table.records[static_cast<std::size_t>(index)].client_id == client_id) {
                return &table.records[static_cast<std::size_t>(index)];
            }
        }
        return nullptr;
    }
};

// A read from the current offset would find the held files at their end.
TEST_F(held_clients_test, every_sample_reads_the_held_files_again_from_their_start)
{
    for (const std::int64_t render : {2000, 3500}) {
        tree.rewrite_in_place("proc/100/fdinfo/5", kernel_tree::v3d_fdinfo(81, render, 0, 40));
        tree.rewrite_in_place("sys/class/drm/card0/device/gpu_stats", kernel_tree::gpu_stats(render * 1000));
        ASSERT_EQ(sample(), 2);
        const client_sample *game = find(81);
        ASSERT_NE(game, nullptr);
        EXPECT_EQ(game->engine[ENGINE_RENDER], render);
        EXPECT_EQ(game->engine[ENGINE_BIN], 40);
        EXPECT_EQ(game->pid, 100);
        EXPECT_STREQ(game->name.data(), "game");
        EXPECT_EQ(counters.reference, render * 1000);
        ASSERT_NE(find(82), nullptr);
        EXPECT_EQ(find(82)->engine[ENGINE_TFU], 300);
    }
}

// A closed descriptor's file reads as nothing (or fails); its number reused by
// another client shows that client's id. Either drops the client at once, and
// it stays dropped until the next census even if the file shows it again.
TEST_F(held_clients_test, drops_a_client_whose_file_no_longer_shows_it)
{
    tree.rewrite_in_place("proc/100/fdinfo/5", "");
    tree.rewrite_in_place("proc/200/fdinfo/7", kernel_tree::v3d_fdinfo(90, 0, 900, 0));
    EXPECT_EQ(sample(), 0);
    tree.rewrite_in_place("proc/100/fdinfo/5", kernel_tree::v3d_fdinfo(81, 1000, 0, 0));
    EXPECT_EQ(sample(), 0);

    ASSERT_EQ(scan_clients(census, tree.proc().c_str()), 2);
    hold_clients(held, census, tree.proc().c_str(), stats_file.c_str());
    ASSERT_EQ(sample(), 2);
    EXPECT_NE(find(81), nullptr);
    EXPECT_NE(find(90), nullptr);
}

TEST_F(held_clients_test, drops_a_client_whose_file_stops_being_v3d)
{
    tree.rewrite_in_place("proc/100/fdinfo/5", "drm-driver:\ti915\ndrm-client-id:\t81\ndrm-engine-render:\t5 ns\n");
    ASSERT_EQ(sample(), 1);
    EXPECT_EQ(find(81), nullptr);
    EXPECT_NE(find(82), nullptr);
}

} // namespace
