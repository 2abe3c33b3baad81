// The followed tree: who belongs to it from one census to the next, and the
// CPU time of members that have ended.
#include <gtest/gtest.h>

#include <memory>
#include <set>

#include "sampling/client_table.hpp"
#include "support/kernel_tree.hpp"

namespace {

std::set<std::int32_t> listed_pids(const client_table &table)
{
    std::set<std::int32_t> pids;
    for (int index = 0; index < table.count; ++index) {
        pids.insert(table.records[static_cast<std::size_t>(index)].pid);
    }
    return pids;
}

// Faults caught: a grandchild missed, a stranger listed, an orphan dropped, a
// reused pid taken for the process that had it, an ended member's time counted
// twice (its parent's children's time holds it) or lost (its parent is not followed).
TEST(process_tree, follows_descendants_and_keeps_the_time_of_those_that_end)
{
    kernel_tree tree;
    tree.add_process(100, "root", 10, 1);
    tree.add_process(200, "child", 20, 2, 100);
    tree.add_process(300, "grandchild", 30, 3, 200);
    tree.add_process(400, "stranger", 40, 4);
    for (const int pid : {100, 200, 300, 400}) {
        tree.add_v3d_client(pid, 5, pid, 1000, 0, 0);
    }
    auto followed = std::make_unique<process_tree>();
    const std::int32_t root = 100;
    std::int32_t missing = 0;
    ASSERT_TRUE(start_process_tree(*followed, &root, 1, missing, tree.proc().c_str()));
    auto table = std::make_unique<client_table>();

    scan_clients(*table, tree.proc().c_str(), client_listing::default_queues, followed.get());
    EXPECT_EQ(listed_pids(*table), (std::set<std::int32_t>{100, 200, 300}));
    std::int64_t user = 0;
    std::int64_t system = 0;
    tree_cpu_ticks(*followed, user, system);
    EXPECT_EQ(user, 10 + 20 + 30);
    EXPECT_EQ(system, 1 + 2 + 3);

    // 200 reaps 300 and takes its time; the root ends, its orphan goes to init,
    // and pid 300 comes back as a stranger's.
    tree.remove("proc/300");
    tree.add_process(200, "child", 20 + 30, 2 + 3, 1);
    tree.remove("proc/100");
    tree.add_process(300, "reused", 7, 7, 1, 99999);
    tree.add_v3d_client(300, 5, 301, 1000, 0, 0);
    scan_clients(*table, tree.proc().c_str(), client_listing::default_queues, followed.get());
    EXPECT_EQ(listed_pids(*table), (std::set<std::int32_t>{200}));
    EXPECT_EQ(tree_member_count(*followed), 1);
    tree_cpu_ticks(*followed, user, system);
    EXPECT_EQ(user, 10 + 50);
    EXPECT_EQ(system, 1 + 5);

    const std::int32_t gone = 100;
    EXPECT_FALSE(start_process_tree(*followed, &gone, 1, missing, tree.proc().c_str()));
    EXPECT_EQ(missing, 100);
}

} // namespace
