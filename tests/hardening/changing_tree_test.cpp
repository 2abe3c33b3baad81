// The census over a tree that changes under it: processes and descriptors
// appear and vanish while it reads. It must end, keep its invariants and
// hold no descriptor afterwards.
#include <atomic>
#include <cstring>
#include <limits>
#include <set>
#include <string>
#include <thread>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include "fake_tree.hpp"
#include "support/kernel_tree.hpp"
#include "sampling/client_table.hpp"

namespace {

constexpr int FIRST_PID = 200;
constexpr int PROCESS_SLOTS = 40;
// The changer makes a fixed number of changes; censuses run until it is done,
// and at least this many.
constexpr long TREE_CHANGES = 3 * 3 * PROCESS_SLOTS * 4;
constexpr int MINIMUM_CENSUSES = 100;
constexpr long CHILDREN = 300;

void check_table_invariants(const client_table &table, int lowest_pid, int highest_pid)
{
    ASSERT_GE(table.count, 0);
    ASSERT_LE(table.count, MAX_CLIENTS);
    std::set<std::uint64_t> ids;
    for (int index = 0; index < table.count; ++index) {
        const client_sample &record = table.records[static_cast<std::size_t>(index)];
        ASSERT_TRUE(ids.insert(record.client_id).second) << "client " << record.client_id << " listed twice";
        ASSERT_GE(record.pid, lowest_pid);
        ASSERT_LE(record.pid, highest_pid);
        ASSERT_NE(std::memchr(record.name.data(), '\0', record.name.size()), nullptr);
    }
}

// Another thread creates processes with descriptors, rewrites their files and
// removes them, in a fixed cycle.
TEST(changing_tree, census_while_processes_and_descriptors_come_and_go)
{
    const fake_tree tree;
    const std::string proc = tree.path("proc");
    tree.make_directory("proc");
    std::atomic<bool> scanning{false};
    std::atomic<bool> done{false};
    std::atomic<long> changes{0};
    std::atomic<int> censuses_during_changes{0};

    const int before = open_descriptor_count();
    std::thread changer([&] {
        while (!scanning.load()) {
            std::this_thread::yield();
        }
        // On a loaded machine one census can outlast a fixed number of
        // changes, so they go on until a census has run through them.
        for (long step = 0; step < TREE_CHANGES || censuses_during_changes.load() == 0; ++step) {
            const int slot = static_cast<int>(step % PROCESS_SLOTS);
            const std::string process = "proc/" + std::to_string(FIRST_PID + slot);
            switch ((step / PROCESS_SLOTS) % 3) {
            case 0:
                tree.write_file(process + "/comm", "changing\n");
                tree.write_file(process + "/stat", kernel_tree::stat_line(FIRST_PID + slot, "changing", step, 1));
                for (int fd = 3; fd < 6; ++fd) {
                    // Client ids are shared between slots, as for inherited descriptors.
                    tree.write_file(process + "/fdinfo/" + std::to_string(fd),
                                    kernel_tree::v3d_fdinfo((slot + fd) % 16, step + 1, 0, step));
                }
                break;
            case 1:
                tree.remove(process + "/fdinfo/" + std::to_string(3 + step % 3));
                tree.write_file(process + "/fdinfo/9", kernel_tree::v3d_fdinfo(slot, 0, step + 1, 0));
                break;
            default:
                tree.remove(process);
                break;
            }
            changes.fetch_add(1);
        }
        done.store(true);
    });

    static client_table table;
    for (int census = 0; census < MINIMUM_CENSUSES || !done.load(); ++census) {
        const bool changing = !done.load();
        scanning.store(true);
        scan_clients(table, proc.c_str());
        check_table_invariants(table, FIRST_PID, FIRST_PID + PROCESS_SLOTS - 1);
        if (HasFatalFailure()) {
            break;
        }
        censuses_during_changes += changing && !done.load() ? 1 : 0;
    }
    changer.join();

    EXPECT_GE(changes.load(), TREE_CHANGES);
    EXPECT_GT(censuses_during_changes.load(), 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

// The real /proc, while this process forks short-lived children and opens
// and closes descriptors of its own in another thread.
TEST(changing_tree, census_of_the_real_proc_while_this_process_changes)
{
    std::atomic<bool> scanning{false};
    std::atomic<bool> done{false};
    std::atomic<long> children{0};
    std::atomic<int> censuses_during_changes{0};
    const int before = open_descriptor_count();
    std::thread changer([&] {
        while (!scanning.load()) {
            std::this_thread::yield();
        }
        // On a loaded machine one census can outlast a fixed number of
        // children, so the changes go on until a census has run through them.
        for (long child_number = 0; child_number < CHILDREN || censuses_during_changes.load() == 0; ++child_number) {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) == 0) {
                ::close(ends[0]);
                ::close(ends[1]);
            }
            const pid_t child = ::fork();
            if (child == 0) {
                ::_exit(0);
            }
            if (child > 0) {
                ::waitpid(child, nullptr, 0);
                children.fetch_add(1);
            }
        }
        done.store(true);
    });

    static client_table table;
    for (int census = 0; census < 3 || !done.load(); ++census) {
        const bool changing = !done.load();
        scanning.store(true);
        scan_clients(table, "/proc");
        check_table_invariants(table, 1, std::numeric_limits<std::int32_t>::max());
        if (HasFatalFailure()) {
            break;
        }
        censuses_during_changes += changing && !done.load() ? 1 : 0;
    }
    changer.join();

    EXPECT_GE(children.load(), CHILDREN);
    EXPECT_GT(censuses_during_changes.load(), 0);
    EXPECT_EQ(open_descriptor_count(), before);
}

} // namespace
